#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what the build needs, then builds,
# tests or converts.
#   ./rivodiv.sh test          build and run the native tests (CMake workflow preset "default")
#   ./rivodiv.sh asan          the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./rivodiv.sh run FILE...   build if needed and convert FILE... (.wlx -> .psd, .psd -> .wlx)
#   ./rivodiv.sh windows       cross-build the Windows program with MinGW-w64
#   ./rivodiv.sh wine-test     run the Windows program under Wine against the Linux build
#   ./rivodiv.sh bench         compositing speed, then end-to-end timings (--large: bigger document)
#   ./rivodiv.sh interop       check with GIMP (installed from Debian) that layers cross both ways;
#                              Krita too when installed (RIVODIV_KRITA=1 installs it)
#   ./rivodiv.sh package       build the Debian package and the Windows zip (CPack)
#   ./rivodiv.sh package-check build them, install the .deb (as root), run it from PATH and check
#                              its desktop parts (file type, thumbnails, loader, GIMP plug-in)
#   ./rivodiv.sh web           build the browser page (build/web/page/index.html) with emscripten
#   ./rivodiv.sh web-test      build the page and test it in headless Chromium
#   ./rivodiv.sh web-bench     time the page against the native program (2048 x 2048 x 12, both ways; 100 small files)
#   ./rivodiv.sh fuzz [S]      build the fuzz targets with clang and run each for S seconds (60)
set -euo pipefail
cd "$(dirname "$0")"

# zlib only for the tests, which read and write zlib streams with it independently of libdeflate;
# Little CMS converts CMYK and Lab colours.
BUILD_PACKAGES=(cmake g++ make libdeflate-dev liblcms2-dev zlib1g-dev libgtest-dev)
# Peers the interoperability tests read our PSD files with.
TEST_PACKAGES=(python3 python3-psd-tools imagemagick)
# libdeflate and Little CMS are compiled from their Debian source packages, which dpkg-dev unpacks.
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 dpkg-dev)
# zlib for the bound the end-to-end benchmark measures against.
BENCH_PACKAGES=(cmake g++ make libdeflate-dev liblcms2-dev zlib1g-dev libbenchmark-dev time libgs-common)
# Paint software the interop step runs, and what compares its layers.
INTEROP_PACKAGES=(gimp python3 python3-numpy python3-pil)
# CPack's Debian generator computes dependencies with dpkg-shlibdeps and finds binaries with file;
# the desktop parts build against gdk-pixbuf and GIMP 2.10's plug-in library.
PACKAGE_PACKAGES=(cmake g++ make libdeflate-dev liblcms2-dev dpkg-dev file pkg-config libgdk-pixbuf-2.0-dev
    libgimp2.0-dev "${WINDOWS_PACKAGES[@]}")
# What the package check asks the desktop with: xdg-mime (and the MIME lookup it uses without a
# desktop session), the thumbnailer, GIMP, and the interop step's comparison.
DESKTOP_CHECK_PACKAGES=(xdg-utils libfile-mimeinfo-perl shared-mime-info libgdk-pixbuf2.0-bin
    "${INTEROP_PACKAGES[@]}")
KRITA_PACKAGES=(krita xvfb xauth)
# The page: emscripten, dpkg-dev for the source packages of libdeflate and Little CMS, node for the page's tools; Chromium
# and a Japanese font for the browser test.
WEB_PACKAGES=(cmake make emscripten dpkg-dev nodejs)
WEB_TEST_PACKAGES=(chromium fonts-ipafont-gothic)
# Wine with a virtual X server, the Japanese locale data, the icon tools and the C cross-compiler
# of the dialog helper.
WINE_PACKAGES=(wine64 wine xvfb xauth locales icoutils gcc-mingw-w64-x86-64)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev libdeflate-dev liblcms2-dev zlib1g-dev)

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

# A Debian source package unpacked into build/src/PACKAGE-VERSION (never into the repository), for
# the builds that compile it with their own compiler; it comes from a deb-src entry for the
# release's main archive.
need_source() {  # package version
    local dir="build/src/$1-$2"
    [ -d "$dir" ] && return 0
    if ! grep -Eqs '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "rivodiv.sh: apt has no deb-src entry, needed for $1's source package; add one, e.g." >&2
            echo "  deb-src http://deb.debian.org/debian bookworm main" >&2
            exit 1
        fi
        echo "rivodiv.sh: adding a deb-src entry for $1's source package" >&2
        printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
            'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
            >/etc/apt/sources.list.d/rivodiv-src.sources
        apt-get -o DPkg::Lock::Timeout=900 update </dev/null
    fi
    mkdir -p build/src
    (cd build/src && apt-get source "$1" </dev/null) >&2
    [ -d "$dir" ] || { echo "rivodiv.sh: apt-get source $1 did not give $dir" >&2; exit 1; }
}

# What the Windows program and the page compile themselves (cmake/libdeflate-source.cmake,
# cmake/lcms2-source.cmake).
need_library_sources() {
    need_source libdeflate 1.14
    need_source lcms2 2.14
}

build_web() {
    need "${WEB_PACKAGES[@]}"
    command -v npm >/dev/null || need npm
    need_library_sources
    [ web/node_modules/.package-lock.json -nt web/package-lock.json ] ||
        (cd web && npm ci --no-audit --no-fund >&2)
    cmake --preset web >&2
    cmake --build --preset web >&2
}

build_native_program() {
    need "${BUILD_PACKAGES[@]}"
    configure_default
    cmake --build --preset default --target rivodiv >&2
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
        need_library_sources
        cmake --preset windows
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
        bench/run.sh
        bench/e2e.sh "$@"
        exec bench/modes.sh
        ;;
    interop)
        need "${BUILD_PACKAGES[@]}" "${INTEROP_PACKAGES[@]}"
        [ "${RIVODIV_KRITA:-0}" = 1 ] && need "${KRITA_PACKAGES[@]}"
        configure_default
        cmake --build --preset default --target rivodiv rivodiv_wlx_tool >&2
        tests/interop/gimp.sh build/default
        if command -v krita >/dev/null && command -v xvfb-run >/dev/null; then
            tests/interop/krita.sh build/default
        else
            echo "Krita interop: skipped, Krita is not installed (RIVODIV_KRITA=1 installs it)"
        fi
        ;;
    package)
        need "${PACKAGE_PACKAGES[@]}"
        need_library_sources
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
        need "${BUILD_PACKAGES[@]}" "${DESKTOP_CHECK_PACKAGES[@]}"
        configure_default
        cmake --build --preset default --target rivodiv_wlx_tool >&2
        tests/desktop/check.sh build/default build/package/desktop
        ;;
    web)
        build_web
        ;;
    web-test)
        build_web
        need "${WEB_TEST_PACKAGES[@]}"
        build_native_program
        node web/test/page-test.mjs
        node web/test/large-test.mjs
        ;;
    web-bench)
        build_web
        need "${WEB_TEST_PACKAGES[@]}"
        build_native_program
        exec node web/test/page-bench.mjs "$@"
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
