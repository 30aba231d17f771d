#!/usr/bin/env bash
# Krita 5 against rivodiv (optional part of ./rivodiv.sh interop; Debian packages krita, xvfb, xauth).
# Krita runs headless under xvfb-run and converts with --export, OpenRaster giving its layer stack:
#   1. rivodiv's PSD of the sample WLX document: Krita must show every name, opacity, visibility
#      and pixel (colour only where a pixel is not fully transparent: Krita crops its layers).
#   2. A document Krita saves as PSD (make_ora.py: a smaller layer, a hidden group, a
#      half-transparent group, Japanese names) must convert to that document's layers.
# Usage: tests/interop/krita.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: krita.sh BUILD_DIR}" && pwd)
rivodiv=$build/rivodiv
tool=$build/rivodiv_wlx_tool
compare=("/usr/bin/python3" "$here/compare_layers.py" Krita)

work=$(mktemp -d "${TMPDIR:-/tmp}/rivodiv-krita.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ours/peer" "$work/krita/peer" "$work/home"

passed=0
failed=0
# Converts $1 to $2 with Krita; what it says beyond its routine start-up and shutdown lines is a complaint.
krita_export() {
    local log=$work/krita-$(basename "$2").log
    if HOME=$work/home timeout 600 xvfb-run -a krita --export --export-filename "$2" "$1" >"$log" 2>&1 &&
        [ -s "$2" ] && ! grep -i -E 'error|fail|not even|psd' "$log" | grep -q .; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "  FAIL Krita did not convert $(basename "$1") cleanly:"
        sed 's/^/    /' "$log"
    fi
}
tally() {
    local out line
    out=$("${compare[@]}" "$@") || true
    echo "$out" | grep -v ' passed, .* failed$'
    line=$(echo "$out" | grep ' passed, .* failed$' || echo "0 passed, 1 failed")
    passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
    failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
}

"$tool" sample "$work/ours/sample.wlx"
"$rivodiv" "$work/ours/sample.wlx" </dev/null
"$tool" dump "$work/ours/sample.wlx" "$work/ours"
krita_export "$work/ours/sample.psd" "$work/ours/shown.ora"
if [ -s "$work/ours/shown.ora" ]; then
    "${compare[@]}" ora "$work/ours/shown.ora" "$work/ours/peer"
    tally opens-ours "$work/ours" "$work/ours/peer"
fi

/usr/bin/python3 "$here/make_ora.py" "$work/krita/built.ora"
krita_export "$work/krita/built.ora" "$work/krita/krita.psd"
if [ -s "$work/krita/krita.psd" ]; then
    "$rivodiv" "$work/krita/krita.psd" </dev/null
    "$tool" dump "$work/krita/krita.wlx" "$work/krita"
    "${compare[@]}" ora "$work/krita/built.ora" "$work/krita/peer"
    tally ours-from "$work/krita/peer" "$work/krita"
fi
echo "Krita interop: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
