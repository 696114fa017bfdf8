# Both presets: build, then every unit and system test (the asan preset runs
# them all under AddressSanitizer and UndefinedBehaviorSanitizer).
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
need_build_packages
cd "$ZARVEL_ROOT"
status=0
for preset in default asan; do
    build_preset "$preset"
    ctest --preset "$preset" -j2 || status=1
done
exit $status
