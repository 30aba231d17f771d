#!/usr/bin/env bash
# The desktop parts as the installed Debian package gives them (./rivodiv.sh package-check runs this
# as root after installing the .deb): the file type, the thumbnailer, the gdk-pixbuf loader against
# the PSD's merged image, damaged files, and GIMP opening and exporting WLX through the plug-in.
# Usage: tests/desktop/check.sh TOOLS_DIR LOADER_DIR
#   TOOLS_DIR holds rivodiv_wlx_tool (default build), LOADER_DIR wlx_pixbuf_load (package build).
# Prints one line per check and "Desktop: N passed, M failed"; exits 1 on any failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
tool=$(cd "${1:?usage: check.sh TOOLS_DIR LOADER_DIR}" && pwd)/rivodiv_wlx_tool
load=$(cd "${2:?usage: check.sh TOOLS_DIR LOADER_DIR}" && pwd)/wlx_pixbuf_load
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/rivodiv-desktop.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # description command...
    local what=$1
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "PASS $what${out:+: $(tail -n 1 <<<"$out")}"
    else
        failed=$((failed + 1))
        echo "FAIL $what"
        sed 's/^/    /' <<<"$out"
    fi
}

cd "$work"
cp "$repo/examples/example.wlx" example.wlx
cp example.wlx EXAMPLE.WLX
cp example.wlx painting   # no extension: the magic decides
rivodiv example.wlx </dev/null >/dev/null 2>&1

# The file type, by name in either case and by content.
filetype() {  # file
    local got
    got=$(xdg-mime query filetype "$1")
    echo "xdg-mime query filetype $1 -> $got"
    [ "$got" = image/x-wlx ]
}
for file in example.wlx EXAMPLE.WLX painting; do
    check "file type of $file" filetype "$file"
done

# Thumbnails at the size asked: the longer side, and a 64-pixel one the loader reduces itself, which
# must be the area average of the PSD's merged image.
thumbnail() {  # size width height
    rm -f "thumb$1.png"
    gdk-pixbuf-thumbnailer -s "$1" example.wlx "thumb$1.png" || return 1
    "$python" - "$@" <<'PY'
import sys
import numpy as np
from PIL import Image
size, width, height = (int(v) for v in sys.argv[1:])
thumb = Image.open(f"thumb{size}.png")
print(f"gdk-pixbuf-thumbnailer -s {size} example.wlx: {thumb.size[0]} x {thumb.size[1]} PNG")
if thumb.size != (width, height):
    sys.exit(1)
merged = np.asarray(Image.open("example.psd").convert("RGB"), dtype=np.int64)
fy, fx = merged.shape[0] // height, merged.shape[1] // width
box = (merged.reshape(height, fy, width, fx, 3).sum(axis=(1, 3)) + fy * fx // 2) // (fy * fx)
off = np.count_nonzero(np.asarray(thumb.convert("RGB"), dtype=np.int64) != box)
print(f"gdk-pixbuf-thumbnailer -s {size} example.wlx: {thumb.size[0]} x {thumb.size[1]}, {off} values off the area average")
sys.exit(1 if off else 0)
PY
}
check "thumbnail at 256" thumbnail 256 256 192
check "thumbnail at 64" thumbnail 64 64 48

# A full-size load through the loader, as a viewer opens the file: the PSD's merged image exactly.
full_load() {
    "$load" example.wlx full.ppm || return 1
    "$python" -c '
import sys
from PIL import Image
ours, psd = Image.open("full.ppm"), Image.open("example.psd").convert("RGB")
same = ours.size == psd.size and ours.tobytes() == psd.tobytes()
print("full-size load equals the merged image of rivodiv'"'"'s PSD" if same else "the load differs from the PSD merged image")
sys.exit(0 if same else 1)'
}
check "full-size load" full_load

# Damaged files fail with the loader's error, never a crash.
damaged() {  # name
    local rc
    "$load" "$1" damaged.ppm
    rc=$?
    [ "$rc" -eq 1 ]
}
head -c 2000 example.wlx >truncated.wlx
{ head -c 22 example.wlx; head -c 4000 /dev/zero; } >zeroed.wlx
"$python" -c '
import sys
data = bytearray(open("example.wlx", "rb").read())
data[12:16] = b"\xff\xff\xff\xff"   # 65535 x 65535 declared
open("huge.wlx", "wb").write(data)'
for file in truncated.wlx zeroed.wlx huge.wlx; do
    check "damaged $file fails to load" damaged "$file"
done

# GIMP through the plug-in: open, compare with the file, export again and read that back.
mkdir -p home opened ours again
"$tool" dump example.wlx ours >/dev/null
"$(dirname "$tool")/make_bench_wlx" soft.wlx 64 64 6 >/dev/null   # its fifth layer is soft light
renamed=$("$python" -c "import sys; sys.path.insert(0, '$repo/tests/interop'); import compare_layers; print(compare_layers.RENAMED)")
HOME=$work/home timeout 600 gimp-console-2.10 -i -d -f \
    -b "(begin (load \"$repo/tests/interop/gimp_layers.scm\") (load \"$here/gimp_wlx.scm\")
               (rivodiv-wlx-roundtrip \"$work/example.wlx\" \"$work/opened\" \"$work/again/again.wlx\"
                                      \"$work/painting\" \"$renamed\")
               (rivodiv-open-close \"$work/soft.wlx\"))" \
    -b '(gimp-quit 0)' >gimp.log 2>&1
gimp_ran() {
    local complaints
    complaints=$(grep -v -e '^batch command executed successfully$' -e '^using gegl copy$' -e '^$' \
        -e 'Warning: WLX: GIMP has no blend mode equal to soft light; such layers open as Normal.$' gimp.log)
    cat gimp.log
    grep -q '^batch command executed successfully$' gimp.log && [ -z "$complaints" ]
}
check "GIMP ran the plug-in cleanly" gimp_ran
check "GIMP says soft light opens as Normal" grep 'no blend mode equal to soft light' gimp.log
check "GIMP opens the file without its extension by its magic" grep -qx 6 opened/magic.txt
check "GIMP opens example.wlx: count, names, opacity, visibility, modes, pixels" \
    "$python" "$repo/tests/interop/compare_layers.py" GIMP plugin-opens ours opened
reread() {
    rivodiv again/again.wlx </dev/null && [ -s again/again.psd ] || return 1
    "$tool" dump again/again.wlx again >/dev/null &&
        "$python" "$repo/tests/interop/compare_layers.py" GIMP plugin-saved ours again
}
check "rivodiv reads GIMP's export with the same layers" reread

echo "Desktop: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
