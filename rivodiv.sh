#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what the build needs, then builds,
# tests or converts.
#   ./rivodiv.sh test          build and run every test (CMake workflow preset "default")
#   ./rivodiv.sh asan          the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./rivodiv.sh run FILE...   build if needed and convert FILE... (.wlx -> .psd, .psd -> .wlx)
#   ./rivodiv.sh windows       cross-build the Windows program with MinGW-w64
#   ./rivodiv.sh wine-test     run the Windows program under Wine against the Linux build
#   ./rivodiv.sh bench         build the benchmark and print its figures
set -euo pipefail
cd "$(dirname "$0")"

BUILD_PACKAGES=(cmake g++ make zlib1g-dev libgtest-dev)
# Peers the interoperability tests read our PSD files with.
TEST_PACKAGES=(python3 python3-psd-tools imagemagick)
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 libz-mingw-w64-dev)
BENCH_PACKAGES=(cmake g++ make zlib1g-dev libbenchmark-dev)
# Wine with a virtual X server, the Japanese locale data, the icon tools and the C cross-compiler
# of the dialog helper.
WINE_PACKAGES=(wine64 wine xvfb xauth locales icoutils gcc-mingw-w64-x86-64)

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

# The Windows program must start on a bare Windows: it may import system DLLs only.
check_imports() {
    local exe=build/windows/rivodiv.exe dlls bad
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "rivodiv.sh: $exe imports: $(echo $dlls)" >&2
    bad=$(echo "$dlls" | grep -viE '^(kernel32|user32|gdi32|comdlg32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
    if [ -n "$bad" ] || [ -z "$dlls" ]; then
        echo "rivodiv.sh: $exe imports a DLL that Windows does not have: ${bad:-(no imports read)}" >&2
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
        # Look zlib up again: a build folder from before the static link keeps the DLL's library.
        cmake --preset windows -U 'ZLIB_LIBRARY*'
        cmake --build --preset windows
        check_imports
        ;;
    wine-test)
        need "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${WINE_PACKAGES[@]}"
        "$0" windows
        configure_default
        cmake --build --preset default --target rivodiv make_wine_inputs
        exec tests/wine/run.sh "$@"
        ;;
    bench)
        need "${BENCH_PACKAGES[@]}"
        exec bench/run.sh "$@"
        ;;
    *)
        sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
