#!/usr/bin/env bash
# Conversion benchmark: frameburst against the cost floor of cutting the same pixel bytes into the
# same number of files with GNU split.
#
#   bench/run.sh [--rounds N] [--only DATASET] [--work DIR] [--build DIR] [--micro] [--keep]
#
# For each dataset the script makes an HIS file with the project's generator (hisgen) and a file
# holding exactly the frames' 16-bit output pixel bytes (his_pixels). It then runs, after one
# warm-up of each, N rounds of
#     frameburst DATA.his                       the converter
#     split -b FRAME_BYTES DATA.pixels          the floor
#     cut_publish DATA.pixels FRAME_BYTES       the floor plus publishing every file as frameburst
#                                               does (written as NAME.part, then renamed)
# each in a fresh directory, in rotating order, each under /usr/bin/time for its peak resident
# memory. It checks that each run made one file per frame and removes the outputs between runs
# outside the timed part. Per dataset it prints the median times, the median of the per-round
# ratios of frameburst to each floor, frameburst's throughput in output pixel bytes per second and
# its peak resident memory against the limit of 2.5 frames of 16-bit samples plus 4 MiB. The
# targets apply to the ratio to split; the exit status is 0 when every target is met.
#
# Data and outputs live on /dev/shm when it is a writable tmpfs, otherwise under $TMPDIR or /tmp.
# --micro also runs the micro-benchmarks of the 12-bit unpack and the 16-bit row encoding.
set -euo pipefail

ROUNDS=11
WORK=""
MICRO=0
KEEP=0
ONLY=""
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$SOURCE_DIR/build-bench"

while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) ROUNDS=$2; shift 2 ;;
        --only) ONLY=$2; shift 2 ;;
        --work) WORK=$2; shift 2 ;;
        --build) BUILD_DIR=$2; shift 2 ;;
        --micro) MICRO=1; shift ;;
        --keep) KEEP=1; shift ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

# The datasets: name, frames, width, height, HIS pixel type, target ratio to the floor.
DATASETS=(
    "16-bit   2000 256  256  2 1.10"
    "12-bit   100  1024 1024 6 1.30"
    "tiny     20000 32  32   2 1.10"
)

die() { echo "run.sh: $*" >&2; exit 1; }

[ -x /usr/bin/time ] || die "/usr/bin/time is missing (Debian package 'time')"
command -v split >/dev/null || die "split is missing (coreutils)"

echo "== Building (Release) in $BUILD_DIR"
cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DFRAMEBURST_BENCH=ON \
    -DFRAMEBURST_TESTS=OFF >/dev/null
targets=(frameburst hisgen his_pixels cut_publish)
[ "$MICRO" = 1 ] && targets+=(frameburst_microbench)
cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}" >/dev/null
FRAMEBURST="$BUILD_DIR/frameburst"
HISGEN="$BUILD_DIR/hisgen"
HIS_PIXELS="$BUILD_DIR/bench/his_pixels"
CUT_PUBLISH="$BUILD_DIR/bench/cut_publish"

if [ -z "$WORK" ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(stat -f -c %T /dev/shm)" = tmpfs ]; then
        WORK=/dev/shm/frameburst-bench.$$
    else
        WORK=${TMPDIR:-/tmp}/frameburst-bench.$$
    fi
fi
mkdir -p "$WORK"
cleanup() { [ "$KEEP" = 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT
echo "== Work directory $WORK ($(stat -f -c %T "$WORK")), $ROUNDS rounds after one warm-up"
echo "== $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) CPUs," \
    "Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Runs one program in a fresh directory and sets T_SECONDS, T_RSS_KIB and T_FILES. The directory
# is made before and removed after the timed part.
timed_run() {
    local dir=$WORK/out rss=$WORK/rss start end
    rm -rf "$dir"
    mkdir "$dir"
    start=$EPOCHREALTIME
    env -C "$dir" /usr/bin/time -f %M -o "$rss" "$@" >/dev/null
    end=$EPOCHREALTIME
    T_FILES=$(find "$dir" -type f | wc -l)
    rm -rf "$dir"
    T_SECONDS=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    T_RSS_KIB=$(tail -n 1 "$rss")
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

SUMMARY=()
all_met=1
for dataset in "${DATASETS[@]}"; do
    read -r name frames width height type target <<<"$dataset"
    [ -z "$ONLY" ] || [ "$ONLY" = "$name" ] || continue
    frame_bytes=$((2 * width * height))
    his=$WORK/$name.his
    pixels=$WORK/$name.pixels
    echo
    echo "== $name: $frames frames of $width x $height, HIS pixel type $type"
    "$HISGEN" "$his" --frames "$frames" --width "$width" --height "$height" --type "$type"
    "$HIS_PIXELS" "$his" "$pixels"
    [ "$(stat -c %s "$pixels")" -eq $((frames * frame_bytes)) ] || die "$pixels has the wrong size"

    # The three programs, by index: 0 frameburst, 1 split, 2 cut_publish.
    cmd0=("$FRAMEBURST" "$his")
    cmd1=(split -b "$frame_bytes" -a 6 -d "$pixels" x)
    cmd2=("$CUT_PUBLISH" "$pixels" "$frame_bytes")
    names=(frameburst split cut_publish)
    run_one() {  # INDEX: timed_run, then a check of the file count
        local -n cmd=cmd$1
        timed_run "${cmd[@]}"
        [ "$T_FILES" -eq "$frames" ] || die "${names[$1]} made $T_FILES files for $frames frames"
    }
    for j in 0 1 2; do run_one $j; done  # warm-up

    t0=(); t1=(); t2=(); r1=(); r2=(); rss_max=0
    for ((i = 0; i < ROUNDS; i++)); do
        for ((m = 0; m < 3; m++)); do
            j=$(((i + m) % 3))
            run_one $j
            case $j in
                0) t0+=("$T_SECONDS"); ((T_RSS_KIB > rss_max)) && rss_max=$T_RSS_KIB ;;
                1) t1+=("$T_SECONDS") ;;
                2) t2+=("$T_SECONDS") ;;
            esac
        done
        r1+=("$(awk -v a="${t0[-1]}" -v b="${t1[-1]}" 'BEGIN { printf "%.4f", a / b }')")
        r2+=("$(awk -v a="${t0[-1]}" -v b="${t2[-1]}" 'BEGIN { printf "%.4f", a / b }')")
        printf '   round %d: frameburst %.3f s, split %.3f s (ratio %s), cut_publish %.3f s (ratio %s), frameburst peak %d KiB\n' \
            $((i + 1)) "${t0[-1]}" "${t1[-1]}" "${r1[-1]}" "${t2[-1]}" "${r2[-1]}" "$rss_max"
    done
    m0=$(median "${t0[@]}")
    m1=$(median "${t1[@]}")
    m2=$(median "${t2[@]}")
    mr1=$(median "${r1[@]}")
    mr2=$(median "${r2[@]}")
    limit_kib=$(((5 * frame_bytes / 2 + 4 * 1048576) / 1024))
    line=$(awk -v name="$name" -v fr="$frames" -v w="$width" -v h="$height" -v m0="$m0" \
        -v m1="$m1" -v m2="$m2" -v r1="$mr1" -v r2="$mr2" -v t="$target" \
        -v bytes=$((frames * frame_bytes)) -v rss="$rss_max" -v lim="$limit_kib" 'BEGIN {
        ok = (r1 <= t && rss <= lim) ? "yes" : "NO"
        printf "| %s | %d x %d x %d | %.3f s | %.3f s | %.3f (<= %.2f) | %.3f s | %.3f | %.0f MB/s | %.1f MiB (<= %.1f) | %s |",
            name, fr, w, h, m0, m1, r1, t, m2, r2, bytes / m0 / 1e6, rss / 1024, lim / 1024, ok }')
    SUMMARY+=("$line")
    [ "$KEEP" = 1 ] || rm -f "$his" "$pixels"
    [[ $line == *"| yes |" ]] || all_met=0
done

echo
echo "== Summary (medians of $ROUNDS alternated rounds; throughput in output pixel bytes per second)"
echo
echo "| dataset | frames x width x height | frameburst | split | ratio (target) | split + rename | ratio | throughput | peak RSS (limit) | met |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${SUMMARY[@]}"
echo
if [ "$all_met" = 1 ]; then echo "All targets met."; else echo "Some targets NOT met."; fi

if [ "$MICRO" = 1 ]; then
    echo
    echo "== Micro-benchmarks"
    "$BUILD_DIR/bench/frameburst_microbench" --benchmark_min_time=0.5
fi
[ "$all_met" = 1 ]
