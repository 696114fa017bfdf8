# The daemon on Debian's own kernel under QEMU, with emulated SATA and SCSI
# disks, real LVM and OSD directories: every row of tests/e2e/scenarios.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
need_build_packages
build_preset default >/dev/null
exec "$ZARVEL_ROOT/tests/e2e/run"
