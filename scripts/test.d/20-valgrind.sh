# Memcheck over the daemon and the inventory code: no leak, no invalid
# access, no descriptor left open.
#  1. The daemon itself, one cycle per run over a sequence of inventories
#     (it sleeps 600 s between cycles, so a run is one cycle), with its open
#     descriptors compared at every sleep and valgrind's --track-fds report
#     at every exit.
#  2. The inventory and guarded-access unit tests, which drive the tables
#     through many cycles (steady state, rebuilds, failures) in one process.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
need_build_packages
need_packages valgrind
cd "$ZARVEL_ROOT"
build_preset default >/dev/null

status=0
ZARVEL_VALGRIND=1 build/tests/system_tests --gtest_filter='ValgrindTest.*' || status=1
valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    build/tests/unit_tests \
    --gtest_filter='DevNameTest.*:DevMapTest.*:RefreshTest.*:TargetTest.*:KernelViewTest.*' \
    || status=1
exit $status
