# The installed package under systemd as PID 1 on Debian's own kernel: a
# Debian 12 guest (its root built once with mmdebstrap, cached in
# build/e2e-system/) on the e2e node installs, runs, confines, upgrades and
# removes the amd64 package as an operator would (tests/e2e/system/run).
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
cd "$ZARVEL_ROOT"
bash scripts/package amd64
version="$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)"
exec tests/e2e/system/run "build-package/ceph-zarvel_${version}_amd64.deb"
