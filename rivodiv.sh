#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what the build needs, then builds,
# tests or converts.
#   ./rivodiv.sh test          build and run every test (CMake workflow preset "default")
#   ./rivodiv.sh asan          the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./rivodiv.sh run FILE...   build if needed and convert FILE... (.wlx -> .psd, .psd -> .wlx)
#   ./rivodiv.sh windows       cross-build the Windows program with MinGW-w64
#   ./rivodiv.sh bench         build the benchmark and print its figures
#   ./rivodiv.sh interop       check with GIMP (installed from Debian) that layers cross both ways
#   ./rivodiv.sh package       build the Debian package and the Windows zip (CPack)
#   ./rivodiv.sh package-check build them, install the .deb (as root) and run it from PATH
#   ./rivodiv.sh fuzz [S]      build the fuzz targets with clang and run each for S seconds (60)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_PACKAGES=(cmake g++ make zlib1g-dev libgtest-dev)
# Peers the interoperability tests read our PSD files with.
TEST_PACKAGES=(python3 python3-psd-tools imagemagick)
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 libz-mingw-w64-dev)
BENCH_PACKAGES=(cmake g++ make zlib1g-dev libbenchmark-dev)
# Paint software the interop step runs, and what compares its layers.
INTEROP_PACKAGES=(gimp python3 python3-numpy python3-pil)
# CPack's Debian generator computes dependencies with dpkg-shlibdeps and finds binaries with file.
PACKAGE_PACKAGES=(cmake g++ make zlib1g-dev dpkg-dev file "${WINDOWS_PACKAGES[@]}")
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
    interop)
        need "${BUILD_PACKAGES[@]}" "${INTEROP_PACKAGES[@]}"
        configure_default
        cmake --build --preset default --target rivodiv rivodiv_wlx_tool >&2
        exec tests/interop/gimp.sh build/default
        ;;
    package)
        need "${PACKAGE_PACKAGES[@]}"
        cmake --preset package
        cmake --build --preset package
        cpack --preset package
        cmake --preset windows
        cmake --build --preset windows
        cpack --preset windows
        ls -l build/package/rivodiv_*.deb build/windows/rivodiv-*.zip
        ;;
    package-check)
        "$0" package
        need man-db
        [ "$(id -u)" -eq 0 ] || { echo "rivodiv.sh: package-check installs the .deb and must run as root" >&2; exit 1; }
        debs=(build/package/rivodiv_*.deb)
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y --reinstall "./${debs[0]}" </dev/null
        echo "rivodiv.sh: installed $(command -v rivodiv): $(rivodiv --version)"
        scratch=$(mktemp -d)
        cp examples/example.wlx "$scratch/"
        (cd "$scratch" && rivodiv example.wlx </dev/null)
        [ -s "$scratch/example.psd" ] || { echo "rivodiv.sh: the installed rivodiv wrote no example.psd" >&2; exit 1; }
        echo "rivodiv.sh: the installed rivodiv converted example.wlx to example.psd ($(stat -c %s "$scratch/example.psd") bytes)"
        rm -rf "$scratch"
        page=$(man rivodiv 2>/dev/null)
        grep -q 'rivodiv - convert layered pictures between WLX and PSD' <<<"$page" ||
            { echo "rivodiv.sh: man rivodiv does not show the page" >&2; exit 1; }
        echo "rivodiv.sh: man rivodiv shows the page ($(wc -l <<<"$page") lines)"
        ;;
    fuzz)
        need "${FUZZ_PACKAGES[@]}"
        CXX_FUZZ=clang++-14 exec fuzz/run.sh "${1:-60}" "${@:2}"
        ;;
    *)
        sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
