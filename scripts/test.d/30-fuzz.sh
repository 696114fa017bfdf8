# Fuzzing: every target under tests/fuzz built with libFuzzer, ASan and UBSan
# in build-fuzz/ (clang), then run for FUZZ_SECONDS each (about a minute in
# all). A crash fails the stage and leaves the input in build-fuzz/findings/;
# move it into tests/fuzz/corpus/<target>/ once fixed, where the ordinary
# presets replay it. scripts/fuzz runs the same targets for longer.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
need_build_packages
need_packages clang-14 libclang-rt-14-dev
cd "$ZARVEL_ROOT"
: "${FUZZ_SECONDS:=11}"
: "${FUZZ_BUILD:=build-fuzz}"

sanitize="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CXX=clang++-14 cmake -S . -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVEL_FUZZ=ON -DZARVEL_BENCH=OFF -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$FUZZ_BUILD" --target fuzz_targets

status=0
mkdir -p "$FUZZ_BUILD/findings" "$FUZZ_BUILD/work"
for bin in "$FUZZ_BUILD"/tests/fuzz/*_fuzz; do
    name="$(basename "$bin")"
    if [ -n "${FUZZ_ONLY:-}" ] && [[ " $FUZZ_ONLY " != *" $name "* ]]; then
        continue
    fi
    kept="tests/fuzz/corpus/$name"
    work="$FUZZ_BUILD/work/$name"
    mkdir -p "$work"
    # New inputs go to the scratch corpus; the kept one is only read.
    if "$bin" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$FUZZ_BUILD/findings/$name-" "$work" "$kept" >"$FUZZ_BUILD/$name.log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$FUZZ_BUILD/$name.log")"
        echo "$name: $runs executions, no crash"
    else
        echo "$name: FAILED, see $FUZZ_BUILD/$name.log and $FUZZ_BUILD/findings/"
        grep -A12 -E '^==[0-9]+==|runtime error|^(format|result|memory)' "$FUZZ_BUILD/$name.log" | head -30
        status=1
    fi
done
exit $status
