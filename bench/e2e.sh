#!/usr/bin/env bash
# End-to-end timing of both conversions against what zlib alone needs for the same document.
#   bench/e2e.sh [--large] [--size W H LAYERS] [--rounds N]
# Builds the optimised program, generates a layered painting (2048 x 2048, 12 layers; --large:
# 4000 x 3000, 24 layers) with the project's WLX writer and a PSD of it with the program, then runs
# in interleaved rounds: the codec bounds (inflate all blocks; deflate all layers at level 6; one
# thread each; zlib, and libdeflate beside it), and `rivodiv doc.wlx` and `rivodiv doc.psd` with
# RIVODIV_THREADS=1 and with the default thread count. Prints medians, ratios to zlib's bound, peak
# RSS and the blocks' size from each codec; then peak RSS of both conversions with 1 to 16 threads.
set -euo pipefail
cd "$(dirname "$0")/.."

width=2048 height=2048 layers=12 rounds=5
while [ $# -gt 0 ]; do
    case "$1" in
        --large) width=4000 height=3000 layers=24; shift ;;
        --size) width=$2 height=$3 layers=$4; shift 4 ;;
        --rounds) rounds=$2; shift 2 ;;
        *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
[ -x /usr/bin/time ] || { echo "e2e.sh: needs GNU time (apt-get install time)" >&2; exit 1; }

. bench/painting.sh
painting_setup e2e
mkdir "$work/first"
ln "$work/src/doc.wlx" "$work/first/doc.wlx"
"$bin/rivodiv" "$work/first/doc.wlx" </dev/null
mv "$work/first/doc.psd" "$work/src/doc.psd"

# Peak RSS in kB and processor time in microseconds of the last /usr/bin/time -v run.
peak_kb() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt"; }
cpu_us() { awk -F': ' '/User time|System time/ { s += $2 } END { printf "%d", s * 1e6 }' "$work/time.txt"; }

# One conversion in a fresh directory, so no existing output asks the overwrite question.
# Appends "wall-us cpu-us peak-kB" to the result file of its task.
convert() {  # task threads source
    local dir="$work/run" start end
    rm -rf "$dir" && mkdir "$dir"
    ln "$work/src/$3" "$dir/$3"
    start=$(date +%s%N)
    if [ "$2" = default ]; then
        /usr/bin/time -v -o "$work/time.txt" "$bin/rivodiv" "$dir/$3" </dev/null
    else
        RIVODIV_THREADS=$2 /usr/bin/time -v -o "$work/time.txt" "$bin/rivodiv" "$dir/$3" </dev/null
    fi
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 )) $(cpu_us) $(peak_kb)" >>"$work/$1-$2"
    rm -rf "$dir"
}

# The bound times its codec calls itself: reading the file is not part of it.
bound() {  # inflate|deflate zlib|libdeflate
    /usr/bin/time -v -o "$work/time.txt" "$bin/zlib_bound" "$1" "$2" "$work/src/doc.wlx" >"$work/bound.txt"
    echo "$(awk '{ printf "%d %d", $1 * 1e6, $2 * 1e6 }' "$work/bound.txt") $(peak_kb)" >>"$work/$1-$2"
    awk '{ print $3 }' "$work/bound.txt" >"$work/$1-$2-bytes"
}

for ((r = 1; r <= rounds; ++r)); do
    for codec in zlib libdeflate; do
        bound inflate "$codec"
        bound deflate "$codec"
    done
    for threads in 1 default; do
        convert wlx2psd "$threads" doc.wlx
        convert psd2wlx "$threads" doc.psd
    done
done

median() {  # file column -> median of that column
    sort -n -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

canvas_bytes=$(( (width * 3 + 3) / 4 * 4 * height ))
model_bytes=$(( width * height * 4 * layers + canvas_bytes ))

echo
echo "document ${width} x ${height}, ${layers} layers; wlx $(stat -c %s "$work/src/doc.wlx") bytes, psd $(stat -c %s "$work/src/doc.psd") bytes"
echo "cores $(nproc), load average $(cut -d' ' -f1-3 /proc/loadavg), ${rounds} rounds, medians"
echo "layers + canvas: $(( model_bytes / 1000000 )) MB; wall = elapsed, cpu = user + system of the process"
zlib_bytes=$(cat "$work/deflate-zlib-bytes") libdeflate_bytes=$(cat "$work/deflate-libdeflate-bytes")
echo "blocks at level 6: zlib ${zlib_bytes} bytes, libdeflate ${libdeflate_bytes} bytes ($(awk -v l="$libdeflate_bytes" -v z="$zlib_bytes" 'BEGIN { printf "%.4f", l / z }') x zlib)"
echo "ratios are to zlib's single-thread inflate or deflate"
echo
printf '| %-19s | %-7s | %8s | %-17s | %8s | %-17s | %-18s |\n' task threads "wall s" "wall ratio" "cpu s" "cpu ratio" "peak RSS"
printf '|%s|%s|%s|%s|%s|%s|%s|\n' --------------------- --------- ---------- ------------------- ---------- ------------------- --------------------
row() {  # label threads results-file bound-file bound-name
    local wall cpu kb bwall bcpu ratio
    wall=$(median "$3" 1) cpu=$(median "$3" 2) kb=$(median "$3" 3)
    bwall=$(median "$4" 1) bcpu=$(median "$4" 2)
    if [ "$3" = "$4" ]; then
        printf '| %-19s | %-7s | %8.3f | %-17s | %8.3f | %-17s | %7d MB           |\n' "$1" "$2" \
            "$(awk -v v="$wall" 'BEGIN { print v / 1e6 }')" bound "$(awk -v v="$cpu" 'BEGIN { print v / 1e6 }')" bound \
            "$(( kb / 1000 ))"
        return
    fi
    printf '| %-19s | %-7s | %8.3f | %-17s | %8.3f | %-17s | %7d MB (%.2f x) |\n' "$1" "$2" \
        "$(awk -v v="$wall" 'BEGIN { print v / 1e6 }')" "$(awk -v t="$wall" -v b="$bwall" -v n="$5" 'BEGIN { printf "%.2f x %s", t / b, n }')" \
        "$(awk -v v="$cpu" 'BEGIN { print v / 1e6 }')" "$(awk -v t="$cpu" -v b="$bcpu" -v n="$5" 'BEGIN { printf "%.2f x %s", t / b, n }')" \
        "$(( kb / 1000 ))" "$(awk -v k="$kb" -v m="$model_bytes" 'BEGIN { print k * 1000 / m }')"
}
row "inflate, zlib" 1 "$work/inflate-zlib" "$work/inflate-zlib"
row "inflate, libdeflate" 1 "$work/inflate-libdeflate" "$work/inflate-zlib" inflate
row "deflate, zlib" 1 "$work/deflate-zlib" "$work/deflate-zlib"
row "deflate, libdeflate" 1 "$work/deflate-libdeflate" "$work/deflate-zlib" deflate
for threads in 1 default; do row "WLX -> PSD" "$threads" "$work/wlx2psd-$threads" "$work/inflate-zlib" inflate; done
for threads in 1 default; do row "PSD -> WLX" "$threads" "$work/psd2wlx-$threads" "$work/deflate-zlib" deflate; done

# Memory must follow the document, not the thread count: one run of each direction per count.
echo
echo "peak RSS by thread count (one run each), against layers + canvas"
printf '| %-7s | %-18s | %-18s |\n' threads "WLX -> PSD" "PSD -> WLX"
printf '|%s|%s|%s|\n' --------- -------------------- --------------------
for threads in 1 2 4 8 12 16; do
    convert sweep-wlx2psd "$threads" doc.wlx
    convert sweep-psd2wlx "$threads" doc.psd
    cells=()
    for task in sweep-wlx2psd sweep-psd2wlx; do
        kb=$(awk '{ print $3 }' "$work/$task-$threads")
        cells+=("$(printf '%7d MB (%.2f x)' "$(( kb / 1000 ))" "$(awk -v k="$kb" -v m="$model_bytes" 'BEGIN { print k * 1000 / m }')")")
    done
    printf '| %-7s | %-18s | %-18s |\n' "$threads" "${cells[0]}" "${cells[1]}"
done
