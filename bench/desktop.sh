#!/usr/bin/env bash
# Timings of the desktop parts on the 2048 x 2048 x 12 painting of bench/e2e.sh (a report, not a
# test): a 256-pixel thumbnail through the gdk-pixbuf loader (gdk-pixbuf-thumbnailer) against
# `rivodiv doc.wlx` on one thread, and GIMP opening the WLX through the plug-in against GIMP
# opening the PSD rivodiv made of it, in the same run.
#   bench/desktop.sh [--rounds N]
# Uses the loader and plug-in of this tree's package build, not installed ones. GIMP's times are
# those of a console run that opens the file 3 times less one that opens nothing, per open.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=3
[ "${1:-}" = --rounds ] && rounds=$2

width=2048 height=2048 layers=12
. bench/painting.sh
painting_setup desktop
cmake --preset package >/dev/null
cmake --build --preset package --target pixbufloader-wlx file-wlx >/dev/null
mv "$work/src/doc.wlx" "$work/doc.wlx"
mkdir "$work/first" && cp "$work/doc.wlx" "$work/first/" && "$bin/rivodiv" "$work/first/doc.wlx" </dev/null
mv "$work/first/doc.psd" "$work/doc.psd"

# This tree's loader beside the system's (the thumbnailer writes PNG through them) and its file type.
loaders=/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0
"$loaders/gdk-pixbuf-query-loaders" "$loaders"/2.10.0/loaders/*.so "$PWD/build/package/desktop/libpixbufloader-wlx.so" \
    >"$work/loaders.cache" 2>/dev/null
mkdir -p "$work/share/mime/packages"
cp desktop/mime/rivodiv-wlx.xml "$work/share/mime/packages/"
update-mime-database "$work/share/mime" 2>/dev/null
export GDK_PIXBUF_MODULE_FILE=$work/loaders.cache XDG_DATA_DIRS=$work/share:/usr/local/share:/usr/share
# A GIMP profile with this tree's plug-in; a first run registers it.
mkdir -p "$work/home/.config/GIMP/2.10/plug-ins/file-wlx"
cp build/package/desktop/file-wlx "$work/home/.config/GIMP/2.10/plug-ins/file-wlx/"
gimp_run() {  # file... (each opened and closed)
    local batch="(begin (load \"$PWD/tests/desktop/gimp_wlx.scm\")"
    for f in "$@"; do batch+=" (rivodiv-open-close \"$f\")"; done
    HOME=$work/home gimp-console-2.10 -i -d -f -b "$batch)" -b '(gimp-quit 0)' >/dev/null 2>&1
}
gimp_run

now() { date +%s%N; }
timed() {  # result-file command...
    local start end
    start=$(now)
    "${@:2}" >/dev/null 2>&1 </dev/null
    end=$(now)
    echo $(( (end - start) / 1000 )) >>"$work/$1"
}
convert_psd() { mkdir -p "$work/run"; cp "$work/doc.wlx" "$work/run/"; RIVODIV_THREADS=1 "$bin/rivodiv" "$work/run/doc.wlx"; rm -rf "$work/run"; }
for ((r = 1; r <= rounds; ++r)); do
    # The copy is timed in both so that it cancels out.
    timed wlx2psd convert_psd
    timed thumb-1 env RIVODIV_THREADS=1 bash -c "mkdir -p '$work/run'; cp '$work/doc.wlx' '$work/run/'; gdk-pixbuf-thumbnailer -s 256 '$work/run/doc.wlx' '$work/thumb.png'; rm -rf '$work/run'"
    timed thumb-default bash -c "mkdir -p '$work/run'; cp '$work/doc.wlx' '$work/run/'; gdk-pixbuf-thumbnailer -s 256 '$work/run/doc.wlx' '$work/thumb.png'; rm -rf '$work/run'"
    timed gimp-none gimp_run
    timed gimp-wlx gimp_run "$work/doc.wlx" "$work/doc.wlx" "$work/doc.wlx"
    timed gimp-psd gimp_run "$work/doc.psd" "$work/doc.psd" "$work/doc.psd"
done
[ -s "$work/thumb.png" ] || { echo "desktop.sh: the thumbnailer wrote nothing" >&2; exit 1; }

median() { sort -n "$work/$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
s() { awk -v v="$1" 'BEGIN { printf "%.3f", v / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
psd=$(median wlx2psd) t1=$(median thumb-1) tn=$(median thumb-default)
none=$(median gimp-none) gw=$(median gimp-wlx) gp=$(median gimp-psd)
open_wlx=$(( (gw - none) / 3 )) open_psd=$(( (gp - none) / 3 ))
echo "document 2048 x 2048, 12 layers; wlx $(stat -c %s "$work/doc.wlx") bytes, psd $(stat -c %s "$work/doc.psd") bytes"
echo "cores $(nproc), load average $(cut -d' ' -f1-3 /proc/loadavg), ${rounds} rounds, medians of wall time"
echo "rivodiv doc.wlx -> PSD, 1 thread:         $(s "$psd") s"
echo "thumbnail -s 256, loader on 1 thread:     $(s "$t1") s  ($(ratio "$t1" "$psd") x the conversion; target <= 1.5)"
echo "thumbnail -s 256, loader default threads: $(s "$tn") s  ($(ratio "$tn" "$psd") x the conversion)"
echo "GIMP opens the WLX (plug-in), per open:   $(s "$open_wlx") s"
echo "GIMP opens rivodiv's PSD, per open:       $(s "$open_psd") s  (WLX $(ratio "$open_wlx" "$open_psd") x PSD; target <= 2)"
echo "GIMP console start and quit alone:        $(s "$none") s"
