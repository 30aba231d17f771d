#!/usr/bin/env bash
# Real paint software against rivodiv (./rivodiv.sh interop): GIMP 2.10, headless, with Script-Fu.
#   1. A WLX document with the layer names users have (CP932 kanji and kana, half-width katakana, a
#      name of exactly 31 bytes, 5C trail bytes, NEC/IBM extension characters) becomes a PSD; GIMP
#      must open it without complaint and show every name, opacity, visibility and pixel.
#   2. A PSD built in GIMP (a partial layer without alpha, a masked layer, a hidden group, a
#      half-transparent group, Japanese names) becomes a WLX that must hold what GIMP shows.
# Usage: tests/interop/gimp.sh BUILD_DIR   (BUILD_DIR holds rivodiv and rivodiv_wlx_tool)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: gimp.sh BUILD_DIR}" && pwd)
rivodiv=$build/rivodiv
tool=$build/rivodiv_wlx_tool

work=$(mktemp -d "${TMPDIR:-/tmp}/rivodiv-interop.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ours" "$work/gimp" "$work/home"

"$tool" sample "$work/ours/sample.wlx"
"$rivodiv" "$work/ours/sample.wlx" </dev/null
"$tool" dump "$work/ours/sample.wlx" "$work/ours"

# A fresh profile, so nothing of the user's GIMP setup takes part; no fonts or brushes are needed.
HOME=$work/home timeout 600 gimp-console-2.10 -i -d -f \
    -b "(begin (load \"$here/gimp_layers.scm\")
               (rivodiv-dump-file \"$work/ours/sample.psd\" \"$work/ours\")
               (rivodiv-build-psd \"$work/gimp/gimp.psd\" \"$work/gimp\"))" \
    -b '(gimp-quit 0)' >"$work/gimp.log" 2>&1 || true

passed=0
failed=0
# Anything GIMP or its PSD plug-in says beyond its routine lines is a complaint.
complaints=$(grep -v -e '^batch command executed successfully$' -e '^using gegl copy$' "$work/gimp.log" || true)
if grep -q '^batch command executed successfully$' "$work/gimp.log" && [ -z "$complaints" ]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "  FAIL GIMP did not run cleanly:"
    sed 's/^/    /' "$work/gimp.log"
fi

"$rivodiv" "$work/gimp/gimp.psd" </dev/null
"$tool" dump "$work/gimp/gimp.wlx" "$work/gimp"

for step in "opens-ours $work/ours $work/ours" "ours-from $work/gimp $work/gimp"; do
    # shellcheck disable=SC2086
    out=$(/usr/bin/python3 "$here/compare_layers.py" GIMP $step) || true
    echo "$out" | grep -v ' passed, .* failed$'
    line=$(echo "$out" | grep ' passed, .* failed$' || echo "0 passed, 1 failed")
    passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
    failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
done
echo "GIMP interop: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
