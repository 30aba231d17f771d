#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what the build needs, then builds,
# tests or converts.
#   ./rivodiv.sh test          build and run every test (CMake workflow preset "default")
#   ./rivodiv.sh asan          the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./rivodiv.sh run FILE...   build if needed and convert FILE... (.wlx -> .psd, .psd -> .wlx)
#   ./rivodiv.sh windows       cross-build the Windows program with MinGW-w64
#   ./rivodiv.sh bench         build the benchmark and print its figures
#   ./rivodiv.sh fuzz [S]      build the fuzz targets with clang and run each for S seconds (60)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_PACKAGES=(cmake g++ make zlib1g-dev libgtest-dev)
# Peers the interoperability tests read our PSD files with.
TEST_PACKAGES=(python3 python3-psd-tools imagemagick)
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 libz-mingw-w64-dev)
BENCH_PACKAGES=(cmake g++ make zlib1g-dev libbenchmark-dev)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev zlib1g-dev)

need() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "rivodiv.sh: installing ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        # Wait for another apt run instead of failing on its lock.
        apt-get -o DPkg::Lock::Timeout=900 update </dev/null
        apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}" </dev/null
    else
        echo "rivodiv.sh: missing packages; install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

configure_default() {
    [ -f build/default/CMakeCache.txt ] || cmake --preset default
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
    test)
        need "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        cmake --workflow --preset default
        ;;
    asan)
        need "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        cmake --workflow --preset asan
        ;;
    run)
        need "${BUILD_PACKAGES[@]}"
        configure_default
        cmake --build --preset default --target rivodiv >&2
        exec build/default/rivodiv "$@"
        ;;
    windows)
        need "${WINDOWS_PACKAGES[@]}"
        cmake --preset windows
        cmake --build --preset windows
        ;;
    bench)
        need "${BENCH_PACKAGES[@]}"
        exec bench/run.sh "$@"
        ;;
    fuzz)
        need "${FUZZ_PACKAGES[@]}"
        CXX_FUZZ=clang++-14 exec fuzz/run.sh "${1:-60}" "${@:2}"
        ;;
    *)
        sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
