#!/usr/bin/env bash
# Writes the fuzz targets' seed corpus, fuzz/corpus/, with the project's HIS generator: small
# sequences of both pixel types, odd and even sample counts, several frames, comments of several
# lengths, and counts that change the output names. Usage: scripts/make-fuzz-corpus.sh [HISGEN]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
hisgen=${1:-$root/build/hisgen}
out=$root/fuzz/corpus
rm -rf "$out"
mkdir -p "$out"
gen() { "$hisgen" "$out/$1" "${@:2}"; }
gen 16bit-5x3-3frames.his --frames 3 --width 5 --height 3 --type 2 --comment seq
gen 16bit-1x1-4frames.his --frames 4 --width 1 --height 1 --type 2
gen 16bit-2x2-comment.his --frames 2 --width 2 --height 2 --type 2 --comment "a longer comment"
gen 16bit-3x2-announces-10000.his --frames 2 --width 3 --height 2 --type 2 --announce 10000
gen 12bit-5x3-odd-3frames.his --frames 3 --width 5 --height 3 --type 6 --comment seq
gen 12bit-4x2-even-2frames.his --frames 2 --width 4 --height 2 --type 6
gen 12bit-1x1-3frames.his --frames 3 --width 1 --height 1 --type 6 --comment x
gen 12bit-3x3-odd-announces-max.his --frames 2 --width 3 --height 3 --type 6 --announce 4294967295
ls -l "$out"
