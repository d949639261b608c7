#!/usr/bin/env bash
# Builds the fuzz targets with clang++ (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a fixed time, starting from the seed corpus and every saved finding.
# Fails on any finding: a crash, a sanitizer report, a wrong result, a leak, a timeout or an
# input that needs too much memory.
#
#   scripts/fuzz.sh [SECONDS]      seconds per target; default $FUZZ_SECONDS or 60
#
# Environment: FUZZ_SECONDS, FUZZ_BUILD_DIR (default build-fuzz).
# A finding is saved under $FUZZ_BUILD_DIR/findings/<target>/; once the fault is fixed, copy the
# file into fuzz/regressions/ so that the test suite replays it from then on.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_read_frames fuzz_conversion_run)

if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "fuzz.sh: the time per target must be a whole number of seconds, not '$seconds'" >&2
    exit 2
fi
mkdir -p "$build"
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o "$build/probe" - >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ with libFuzzer is needed (Debian: clang, libclang-rt-14-dev)" >&2
    exit 2
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
    -DFRAMEBURST_FUZZ=ON -DFRAMEBURST_TESTS=OFF >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]}"

seeds=("$root/fuzz/corpus")
if [[ -d $root/fuzz/regressions ]]; then
    seeds+=("$root/fuzz/regressions")
fi
mkdir -p "$build/tmp"
failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target  # new inputs go here, never into the committed seeds
    findings=$build/findings/$target
    log=$build/$target.log
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    echo "== $target: fuzzing for ${seconds}s"
    status=0
    TMPDIR=$build/tmp "$build/fuzz/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
    found=$(find "$findings" -type f | wc -l)
    if ((status != 0 || found != 0)); then
        failed=1
        tail -n 40 "$log"
        echo "== $target: FINDING (exit status $status); inputs saved in $findings:" >&2
        find "$findings" -type f >&2
    else
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "== $target: no finding in ${runs:-?} runs"
    fi
done
exit "$failed"
