#!/usr/bin/env bash
# Builds frameburst and runs the whole test suite with CTest.
#
#   scripts/test.sh              Release build in build/ (g++ unless CXX says otherwise)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/ (clang++)
#
# Installs the packages the build and the tests need when they are missing (apt-get, as root or
# through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
for arg in "$@"; do
    case "$arg" in
        --sanitize) sanitize=1 ;;
        *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in cmake g++ libgtest-dev libtiff-dev libtiff-tools util-linux; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "$sanitize" = 1 ]; then
    dpkg -s clang >/dev/null 2>&1 || missing+=(clang)
fi
if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

if [ "$sanitize" = 1 ]; then
    build=build-asan
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DFRAMEBURST_SANITIZE=ON
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
    build=build
    cmake -S . -B "$build"
fi
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
