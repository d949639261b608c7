#!/usr/bin/env bash
# Conversion benchmark: frameburst against the cost floor of cutting the same pixel bytes into the
# same number of files with GNU split.
#
#   bench/run.sh [--rounds N] [--work DIR] [--build DIR] [--micro] [--keep]
#
# For each dataset the script makes an HIS file with the project's generator (hisgen) and a file
# holding exactly the frames' 16-bit output pixel bytes (his_pixels). It then runs, after one
# warm-up of each, N rounds of
#     frameburst DATA.his                  in a fresh directory
#     split -b FRAME_BYTES DATA.pixels     in a fresh directory (the floor)
# in alternating order, each under /usr/bin/time for its peak resident memory, checks that each
# run made one file per frame, and removes the outputs between runs outside the timed part.
# It prints per dataset the median times, the median of the per-round ratios, frameburst's
# throughput in output bytes per second and its peak resident memory against the limit of 2.5
# frames of 16-bit samples plus 4 MiB.
#
# Data and outputs live on /dev/shm when it is a writable tmpfs, otherwise under $TMPDIR or /tmp.
# --micro also runs the micro-benchmarks of the 12-bit unpack and the 16-bit row encoding.
set -euo pipefail

ROUNDS=11
WORK=""
MICRO=0
KEEP=0
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$SOURCE_DIR/build-bench"

while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) ROUNDS=$2; shift 2 ;;
        --work) WORK=$2; shift 2 ;;
        --build) BUILD_DIR=$2; shift 2 ;;
        --micro) MICRO=1; shift ;;
        --keep) KEEP=1; shift ;;
        -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
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
targets=(frameburst hisgen his_pixels)
[ "$MICRO" = 1 ] && targets+=(frameburst_microbench)
cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}" >/dev/null
FRAMEBURST="$BUILD_DIR/frameburst"
HISGEN="$BUILD_DIR/hisgen"
HIS_PIXELS="$BUILD_DIR/bench/his_pixels"

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

# Runs one program in a fresh directory; prints "SECONDS RSS_KIB FILES". The directory is made
# before and removed after the timed part.
timed_run() {
    local dir=$WORK/out rss=$WORK/rss start end files
    rm -rf "$dir"
    mkdir "$dir"
    start=$EPOCHREALTIME
    env -C "$dir" /usr/bin/time -f %M -o "$rss" "$@" >/dev/null
    end=$EPOCHREALTIME
    files=$(find "$dir" -type f | wc -l)
    rm -rf "$dir"
    echo "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }') $(tail -n 1 "$rss") $files"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

SUMMARY=()
all_met=1
for spec in "${DATASETS[@]}"; do
    read -r name frames width height type target <<<"$spec"
    frame_bytes=$((2 * width * height))
    his=$WORK/$name.his
    pixels=$WORK/$name.pixels
    echo
    echo "== $name: $frames frames of $width x $height, HIS pixel type $type"
    "$HISGEN" "$his" --frames "$frames" --width "$width" --height "$height" --type "$type"
    "$HIS_PIXELS" "$his" "$pixels"
    [ "$(stat -c %s "$pixels")" -eq $((frames * frame_bytes)) ] || die "$pixels has the wrong size"

    fb=("$FRAMEBURST" "$his")
    floor=(split -b "$frame_bytes" -a 6 -d "$pixels" x)
    check() {  # RESULT WHAT
        local n
        n=$(echo "$1" | cut -d' ' -f3)
        [ "$n" -eq "$frames" ] || die "$2 made $n files for $frames frames"
    }
    r=$(timed_run "${fb[@]}"); check "$r" frameburst
    r=$(timed_run "${floor[@]}"); check "$r" split

    t_fb=(); t_fl=(); ratios=(); rss_max=0
    for ((i = 0; i < ROUNDS; i++)); do
        if ((i % 2 == 0)); then
            a=$(timed_run "${fb[@]}"); b=$(timed_run "${floor[@]}")
        else
            b=$(timed_run "${floor[@]}"); a=$(timed_run "${fb[@]}")
        fi
        check "$a" frameburst
        check "$b" split
        read -r ta rss _ <<<"$a"
        read -r tb _ _ <<<"$b"
        t_fb+=("$ta"); t_fl+=("$tb")
        ratios+=("$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f", a / b }')")
        ((rss > rss_max)) && rss_max=$rss
        printf '   round %d: frameburst %.3f s, split %.3f s, ratio %s, %d KiB\n' \
            $((i + 1)) "$ta" "$tb" "${ratios[-1]}" "$rss"
    done
    m_fb=$(median "${t_fb[@]}")
    m_fl=$(median "${t_fl[@]}")
    m_ratio=$(median "${ratios[@]}")
    limit_kib=$(((5 * frame_bytes / 2 + 4 * 1048576) / 1024))
    line=$(awk -v name="$name" -v fr="$frames" -v w="$width" -v h="$height" -v fb="$m_fb" \
        -v fl="$m_fl" -v r="$m_ratio" -v t="$target" -v bytes=$((frames * frame_bytes)) \
        -v rss="$rss_max" -v lim="$limit_kib" 'BEGIN {
        ok = (r <= t && rss <= lim) ? "yes" : "NO"
        printf "| %s | %d x %d x %d | %.3f s | %.3f s | %.3f (<= %.2f) | %.0f MB/s | %.1f MiB (<= %.1f) | %s |",
            name, fr, w, h, fb, fl, r, t, bytes / fb / 1e6, rss / 1024, lim / 1024, ok }')
    SUMMARY+=("$line")
    [ "$KEEP" = 1 ] || rm -f "$his" "$pixels"
    [[ $line == *"| yes |" ]] || all_met=0
done

echo
echo "== Summary (medians of $ROUNDS alternated rounds; throughput in output pixel bytes per second)"
echo
echo "| dataset | frames x width x height | frameburst | split floor | ratio (target) | throughput | peak RSS (limit) | met |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${SUMMARY[@]}"
echo
if [ "$all_met" = 1 ]; then echo "All targets met."; else echo "Some targets NOT met."; fi

if [ "$MICRO" = 1 ]; then
    echo
    echo "== Micro-benchmarks"
    "$BUILD_DIR/bench/frameburst_microbench" --benchmark_min_time=0.5
fi
[ "$all_met" = 1 ]
