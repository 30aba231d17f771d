#!/usr/bin/env bash
# Reading other colour modes and depths against 8-bit RGB: the same painting (2048 x 2048, 12 layers
# unless --size W H LAYERS) as an 8-bit RGB PSD (the program's own), a 16-bit RGB PSD, a CMYK PSD
# without a profile and one with a CMYK profile (Ghostscript's default_cmyk.icc, from libgs-common),
# each converted to WLX in interleaved rounds with one thread and the default count. Prints medians
# and each kind's ratio to 8-bit RGB with the same threads.
#   bench/modes.sh [--size W H LAYERS] [--rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."

width=2048 height=2048 layers=12 rounds=5
while [ $# -gt 0 ]; do
    case "$1" in
        --size) width=$2 height=$3 layers=$4; shift 4 ;;
        --rounds) rounds=$2; shift 2 ;;
        *) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
profile=/usr/share/color/icc/ghostscript/default_cmyk.icc
[ -r "$profile" ] || { echo "modes.sh: needs $profile (apt-get install libgs-common)" >&2; exit 1; }

. bench/painting.sh
painting_setup modes
"$bin/rivodiv" "$work/src/doc.wlx" </dev/null
mv "$work/src/doc.psd" "$work/src/rgb8.psd"
"$bin/make_mode_psd" "$work/src/doc.wlx" "$work/src/rgb16.psd" rgb16
"$bin/make_mode_psd" "$work/src/doc.wlx" "$work/src/cmyk.psd" cmyk
"$bin/make_mode_psd" "$work/src/doc.wlx" "$work/src/cmyk-profile.psd" cmyk "$profile"
kinds=(rgb8 rgb16 cmyk cmyk-profile)

convert() {  # kind threads -> appends wall microseconds
    local dir="$work/run" start end
    rm -rf "$dir" && mkdir "$dir"
    ln "$work/src/$1.psd" "$dir/$1.psd"
    start=$(date +%s%N)
    if [ "$2" = default ]; then
        "$bin/rivodiv" "$dir/$1.psd" </dev/null >/dev/null 2>&1
    else
        RIVODIV_THREADS=$2 "$bin/rivodiv" "$dir/$1.psd" </dev/null >/dev/null 2>&1
    fi
    end=$(date +%s%N)
    [ -s "$dir/$1.wlx" ] || { echo "modes.sh: $1.psd did not convert" >&2; exit 1; }
    echo $(( (end - start) / 1000 )) >>"$work/$1-$2"
}
for ((r = 1; r <= rounds; ++r)); do
    for threads in 1 default; do
        for kind in "${kinds[@]}"; do convert "$kind" "$threads"; done
    done
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "document ${width} x ${height}, ${layers} layers; cores $(nproc), load average $(cut -d' ' -f1-3 /proc/loadavg), ${rounds} rounds, medians"
printf '| %-13s | %-11s | %-7s | %8s | %-13s |\n' PSD bytes threads "wall s" "x 8-bit RGB"
printf '|%s|%s|%s|%s|%s|\n' --------------- ------------- --------- ---------- ---------------
for threads in 1 default; do
    base=$(median "$work/rgb8-$threads")
    for kind in "${kinds[@]}"; do
        t=$(median "$work/$kind-$threads")
        printf '| %-13s | %11d | %-7s | %8.3f | %13.2f |\n' "$kind" "$(stat -c %s "$work/src/$kind.psd")" "$threads" \
            "$(awk -v v="$t" 'BEGIN { print v / 1e6 }')" "$(awk -v t="$t" -v b="$base" 'BEGIN { print t / b }')"
    done
done
