# 64-bit ARM: cross-builds the daemon and the unit tests, then runs the unit
# tests of the bounded functions, the log writer and the inventory under
# qemu user emulation (system calls, namespaces included, go to this kernel).
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/cross.sh"
need_build_packages
need_packages qemu-user-static file
need_cross_packages arm64 crossbuild-essential-arm64 libc6-dev:arm64 libstdc++-12-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
cd "$ZARVEL_ROOT"

cmake -S . -B build-arm64 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-arm64.cmake -DZARVEL_BENCH=OFF >/dev/null
cmake --build build-arm64 --target ceph-zarvel unit_tests
file -b build-arm64/ceph-zarvel | grep -q 'ARM aarch64' || { echo "daemon is not an arm64 binary"; exit 1; }

# Broad suite patterns, so that suites added later are picked up too.
suites='*Memset*:*Memcpy*:*Strncpy*:*Strtok*:*Format*:*Bounded*'
suites+=':*Log*'
suites+=':*DevName*:*DevMap*:*Refresh*:*Target*:*Tables*:*Inventory*:*SysAccess*:*KernelView*'
log=build-arm64/unit-tests.log
qemu-aarch64-static -L /usr/aarch64-linux-gnu build-arm64/tests/unit_tests \
    --gtest_filter="$suites" 2>&1 | tee "$log" | grep -E '^\[ *(PASSED|FAILED|==========) *\]|^\[  FAILED  \]'
status=${PIPESTATUS[0]}
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p' "$log")
echo "arm64 unit tests: ${ran:-0} run under qemu-aarch64"
[ "$status" -eq 0 ] && [ "${ran:-0}" -gt 0 ]
