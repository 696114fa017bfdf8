# The daemon on Debian's own kernel under QEMU, with emulated SATA and SCSI
# disks, real LVM and OSD directories: every row of tests/e2e/scenarios.
set -euo pipefail
# tests/e2e/run installs what it uses and builds the two binaries it boots.
exec "$(dirname "$0")/../../tests/e2e/run"
