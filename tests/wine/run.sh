#!/usr/bin/env bash
# Runs the Windows program under Wine with a Japanese locale (ANSI code page 932) and compares it
# with the Linux build: conversions byte for byte, every message box (caption, code-page text,
# icon, buttons), the overwrite question, the open-file dialog and the exit codes.
# Needs build/windows/rivodiv.exe and build/default/{rivodiv,make_wine_inputs}; `./rivodiv.sh
# wine-test` builds them and installs Wine first.
#   tests/wine/run.sh [--reuse-prefix]   keep an existing Wine prefix instead of making a fresh one
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)

export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
if [ -z "${RIVODIV_WINE_DISPLAY:-}" ]; then
    if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
        echo "wine-test: making the ja_JP.UTF-8 locale" >&2
        localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
    fi
    # One X server for the whole run; every Wine process below has its own time limit. A box is
    # as wide as its longest unbroken run of text, and one that sticks out of the screen shows its
    # icon nowhere: the long paths below need about 1600 pixels.
    RIVODIV_WINE_DISPLAY=1 exec xvfb-run -a -s "-screen 0 3200x1024x24" "$0" "$@"
fi

START=$(date +%s)
WINE_DIR=$ROOT/build/wine
# The conversions sync every file they write; in memory that costs nothing.
WORK_BASE=$WINE_DIR
[ -d /dev/shm ] && [ -w /dev/shm ] && WORK_BASE=/dev/shm
EXE=$ROOT/build/windows/rivodiv.exe
LINUX=$ROOT/build/default/rivodiv
GENERATOR=$ROOT/build/default/make_wine_inputs
DRIVER=$WINE_DIR/dialog_driver.exe
CORPUS=$ROOT/../shared/corpus/psd
export WINEPREFIX=$WINE_DIR/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
LOG=$WINE_DIR/wine.log

cleanup() {
    timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$WORK" "$WINE_DIR/box"
}
mkdir -p "$WINE_DIR"
WORK=$(mktemp -d "$WORK_BASE/rivodiv-wine.XXXXXX")
trap cleanup EXIT

for f in "$EXE" "$LINUX" "$GENERATOR"; do
    [ -x "$f" ] || { echo "wine-test: $f is missing; run ./rivodiv.sh wine-test" >&2; exit 1; }
done
: >"$LOG"

if [ "${1:-}" != "--reuse-prefix" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-test: new Wine prefix $WINEPREFIX" >&2
    rm -rf "$WINEPREFIX"
    timeout 300 wineboot -i >>"$LOG" 2>&1
    timeout 60 wineserver -w
fi
# One server for all the runs below, instead of one per run.
timeout 60 wineserver -p 120 || true
# A crash ends the program with its exception code instead of waiting for a dialog.
timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$LOG" 2>&1
grep -q '^"ACP"="932"' "$WINEPREFIX/system.reg" || { echo "wine-test: the prefix's ANSI code page is not 932" >&2; exit 1; }

x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -municode -static -o "$DRIVER" \
    "$ROOT/tests/wine/dialog_driver.c" -lgdi32

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $1" >&2; }

# The Windows name of a Linux path (Wine's drive Z: is the root).
winpath() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); p=${p//\//\\}; echo "Z:$p"; }
hex() { od -An -v -tx1 | tr -d ' \n'; }
cp932hex() { printf '%s' "$1" | iconv -f UTF-8 -t CP932 | hex; }
readable() { printf '%b' "$(echo "$1" | sed 's/../\\x&/g')" | iconv -f CP932 -t UTF-8 2>/dev/null || echo "$1"; }

# ---------------------------------------------------------------------------------------------
# Conversions: the same inputs converted by both builds must give the same bytes.
mkdir -p "$WORK/linux/wlx" "$WORK/linux/psd" "$WORK/linux/表"
"$GENERATOR" "$WORK/linux/wlx" >/dev/null
cp "$ROOT/examples/example.wlx" "$WORK/linux/wlx/"
cp "$WORK/linux/wlx/names.wlx" "$WORK/linux/wlx/表.wlx"       # 0x95 0x5C
cp "$WORK/linux/wlx/blend_05.wlx" "$WORK/linux/wlx/ソ.wlx"    # 0x83 0x5C
cp "$WORK/linux/wlx/blend_02.wlx" "$WORK/linux/表/inner.wlx"  # a directory ending in 0x5C
cp "$WORK/linux/wlx/size_3x2.wlx" "$WORK/linux/CAT.WLX"
cp "$WORK/linux/wlx/blend_17.wlx" "$WORK/linux/bare.wlx"
cp "$WORK/linux/wlx/size_1x1.wlx" "$WORK/linux/absolute.wlx"
# PSD inputs: what the Linux build writes from the documents above, and the real corpus.
(cd "$WORK/linux" && "$LINUX" wlx/*.wlx 2>>"$LOG")
cp "$WORK/linux/wlx/"*.psd "$WORK/linux/psd/"
rm "$WORK/linux/wlx/"*.psd
corpus=0
if [ -f "$CORPUS/index.tsv" ]; then
    while IFS=$'\t' read -r path _ _ _ _ _ _ _ _ _ expect; do
        [ "$expect" = convert ] && [ "${path##*.}" = psd ] || continue
        cp "$CORPUS/$path" "$WORK/linux/psd/corpus_$(basename "$path")"
        corpus=$((corpus + 1))
    done <"$CORPUS/index.tsv"
else
    echo "wine-test: no PSD corpus at $CORPUS; converting the generated documents only" >&2
fi
cp -a "$WORK/linux" "$WORK/win"
(cd "$WORK/linux" && find . -type f | sort) >"$WORK/inputs"

inputs=()
while read -r f; do inputs+=("${f#./}"); done <"$WORK/inputs"
(cd "$WORK/linux" && "$LINUX" "${inputs[@]}" 2>>"$LOG")
winputs=()
for f in "${inputs[@]}"; do
    case $f in
        absolute.wlx) winputs+=("$(winpath "$WORK/win/absolute.wlx")") ;;
        *) winputs+=("${f//\//\\}") ;;
    esac
done
batch=$(cd "$WORK/win" && timeout 300 wine "$DRIVER" -t 280 -- "$(winpath "$EXE")" "${winputs[@]}" 2>>"$LOG" | tr -d '\r')
if [ "$batch" = "exit 0" ]; then pass; else fail "batch conversion under Wine: $batch"; fi
(cd "$WORK/linux" && find . -type f | sort | comm -13 "$WORK/inputs" -) >"$WORK/outputs"
while read -r f; do
    if cmp -s "$WORK/linux/$f" "$WORK/win/$f"; then pass; else fail "conversion differs from the Linux build: $f"; fi
done <"$WORK/outputs"
extra=$(diff <(cd "$WORK/linux" && find . | sort) <(cd "$WORK/win" && find . | sort) || true)
if [ -z "$extra" ]; then pass; else fail "the two trees differ in their files: $extra"; fi
echo "wine-test: $(wc -l <"$WORK/outputs") conversions of ${#inputs[@]} inputs ($corpus from the corpus) compared ($(($(date +%s) - START)) s)" >&2

# ---------------------------------------------------------------------------------------------
# Dialogs. Each case lists the dialogs it expects, with the answer to give, then runs the
# program once with its arguments in $BOX and compares what the helper saw.
CAPTION=$(printf rivodiv | hex)
MISSING="ファイルが存在しません: "
UNKNOWN="ファイル形式が特定できません: "
READ_FAILED="ファイルの読み込みに失敗しました: "
WRITE_FAILED="ファイルの書き込みに失敗しました: "
EXISTS=$'\nは既に存在します、上書きしますか？'
expected=()
error_box() { expected+=("box caption=$CAPTION icon=error buttons=1 foreground=1 text=$(cp932hex "$1") answer=${2:-ok}"); }
question_box() { expected+=("box caption=$CAPTION icon=question buttons=1,2 foreground=1 text=$(cp932hex "$1") answer=$2"); }
open_dialog() {
    expected+=("open caption=$(cp932hex 変換するファイルを指定) filter=$(printf 'WLX/PSD Files (*.wlx,*psd)' | hex) files=$1 answer=$2")
}

# run_box NAME EXIT [ARGUMENT...]: one case, rivodiv.exe (or $PROGRAM) run in $BOX; checks on its
# files may follow it.
CASE=
finish_case() {
    [ -n "$CASE" ] || return 0
    if [ "$CASE_OK" = 1 ]; then PASSED=$((PASSED + 1)); else FAILED=$((FAILED + 1)); fi
    CASE=
}
bad() { CASE_OK=0; echo "FAIL $CASE: $1" >&2; }
run_box() {
    finish_case
    CASE=$1 CASE_OK=1
    local code=$2 answers=() line seen want
    shift 2
    for line in "${expected[@]}"; do answers+=("${line##* answer=}"); done
    seen=$(cd "$BOX" && timeout 120 wine "$DRIVER" -t 60 "${answers[@]}" -- "$(winpath "${PROGRAM:-$EXE}")" "$@" \
        2>>"$LOG" | tr -d '\r' | tee -a "$LOG" | grep -aE '^(box|open|exit|timeout)' || true)
    want=$(printf '%s\n' "${expected[@]}" "exit $code" | sed '/^$/d')
    expected=()
    [ "$seen" = "$want" ] && return 0
    bad "the dialogs or the exit code differ (- expected, + seen)"
    diff <(echo "$want") <(echo "$seen") | sed 's/^/    /' >&2 || true
    echo "$seen" | sed -n 's/.* text=\([0-9a-f]*\).*/\1/p' | while read -r t; do echo "    seen text: $(readable "$t")" >&2; done
}
same() { cmp -s "$1" "$2" || bad "$(basename "$1") is not what the Linux build writes"; }
kept() { [ "$(cat "$1")" = old ] || bad "$(basename "$1") was changed"; }
absent() { [ ! -e "$1" ] || bad "$(basename "$1") was written"; }

# On disk: the file dialog cannot browse to a folder in /dev.
BOX=$WINE_DIR/box
rm -rf "$BOX"
mkdir -p "$BOX"
cd "$BOX"
cp "$ROOT/examples/example.wlx" a.wlx
cp "$WORK/linux/psd/blend_05.psd" b.psd
mkdir -p pics.wlx dot.d 表 pick/sub
touch cat.wlxx catpsd cat dot.d/cat b.txt 表/x.txt
for f in o1 o2 o3 s 表 good bad w r; do cp "$ROOT/examples/example.wlx" "$f.wlx"; done
(cd "$WORK/linux" && mkdir -p ref && cd ref && cp "$ROOT/examples/example.wlx" a.wlx \
    && cp "$WORK/linux/psd/blend_05.psd" b.psd && "$LINUX" a.wlx b.psd 2>>"$LOG")
REF_PSD=$WORK/linux/ref/a.psd
REF_WLX=$WORK/linux/ref/b.wlx

# The checks before anything is converted: the first bad path ends the run with exit code 1.
error_box "${MISSING}missing.wlx"; run_box "missing file" 1 missing.wlx
error_box "${MISSING}pics.wlx"; run_box "directory named like an input" 1 pics.wlx
error_box "${MISSING}"; run_box "empty argument" 1 ""
error_box "${MISSING}missing.psd"; run_box "second path missing" 1 a.wlx missing.psd; absent a.psd
error_box "${UNKNOWN}b.txt"; run_box "second path of unknown type" 1 a.wlx b.txt; absent a.psd
error_box "${UNKNOWN}cat.wlxx"; run_box "extension wlxx" 1 cat.wlxx
error_box "${UNKNOWN}catpsd"; run_box "name ending in psd" 1 catpsd
# Win32 drops a trailing dot: "cat." names the file cat, which has no extension.
error_box "${UNKNOWN}cat." close; run_box "name ending in a dot, box closed" 1 cat.
error_box "${UNKNOWN}dot.d\\cat"; run_box "dot only in the directory" 1 'dot.d\cat'
error_box "${MISSING}nothing.txt"; run_box "missing file of unknown type" 1 nothing.txt
error_box "${UNKNOWN}表\\x.txt"; run_box "code page 932 path in the text" 1 '表\x.txt'

# Overwriting: OK replaces, Cancel and closing the box keep the old bytes; the run goes on.
for f in o1 o2 o3 表; do echo old >"$f.psd"; done
echo old >b.wlx
question_box "PSD形式: o1.psd$EXISTS" ok; run_box "overwrite OK" 0 o1.wlx; same o1.psd "$REF_PSD"
question_box "PSD形式: o2.psd$EXISTS" cancel; run_box "overwrite Cancel" 0 o2.wlx; kept o2.psd
question_box "PSD形式: o3.psd$EXISTS" close; run_box "overwrite box closed" 0 o3.wlx; kept o3.psd
question_box "WLX形式: b.wlx$EXISTS" ok; run_box "overwrite a WLX file" 0 b.psd; same b.wlx "$REF_WLX"
question_box "PSD形式: s.psd$EXISTS" ok; run_box "same path twice" 0 s.wlx s.wlx; same s.psd "$REF_PSD"
question_box "PSD形式: 表.psd$EXISTS" cancel; question_box "PSD形式: o2.psd$EXISTS" ok
run_box "code page 932 name in the question" 0 表.wlx o2.wlx
kept 表.psd; same o2.psd "$REF_PSD"

# Read failures are reported and the run goes on, ending with exit code 1; a source that cannot be
# read is never followed by the question.
head -c 100 b.psd >trunc.psd
: >empty.psd
echo old >bad.psd
printf 'not a paint file' >bad.wlx
error_box "${READ_FAILED}bad.wlx"; error_box "${READ_FAILED}trunc.psd"; error_box "${READ_FAILED}empty.psd"
run_box "unreadable sources among good ones" 1 bad.wlx trunc.psd good.wlx empty.psd
same good.psd "$REF_PSD"; kept bad.psd

# Write failures: a folder with the output's name, and a read-only output; nothing is damaged, and
# the exit code is 1.
mkdir w.psd
touch w.psd/inside
error_box "${WRITE_FAILED}w.psd"; run_box "folder named like the output" 1 w.wlx
[ -d w.psd ] && [ -f w.psd/inside ] || bad "the folder was changed"
echo old >r.psd
chmod a-w r.psd
question_box "PSD形式: r.psd$EXISTS" ok; error_box "${WRITE_FAILED}r.psd"; run_box "read-only output" 1 r.wlx
kept r.psd

# Long paths: a source in a deep folder converts whatever the length of its path. The ANSI calls
# stop at 260 characters, and a short output name leaves the temporary beside it longer than the
# output; a relative path and names whose second byte is 0x5C go the same way.
# deep_dir LENGTH WORD: makes folders named by repeating WORD, in which a file of a 5-character name
# has a Windows path of LENGTH characters, and prints the folder.
deep_dir() {
    local dir=$BOX/deep$1 left part
    left=$(($1 - ${#W_BOX} - ${#dir} + ${#BOX} - 6))
    while [ "$left" -gt 0 ]; do
        part=$2
        while [ ${#part} -lt 50 ]; do part+=$2; done
        # Each folder takes its separator; what is left after it is none or a folder of one or more.
        part=${part:0:$((left - 1 < 50 ? left - 1 : 50))}
        [ $((left - ${#part} - 1)) -ne 1 ] || part=${part:1}
        dir+=/$part
        left=$((left - ${#part} - 1))
    done
    mkdir -p "$dir"
    part=$(winpath "$dir/a.wlx")
    [ ${#part} -eq "$1" ] || { echo "wine-test: no path of $1 characters under $BOX: $part" >&2; exit 1; }
    echo "$dir"
}
W_BOX=$(winpath "$BOX")
for n in 245 246 259 260 300; do
    d=$(deep_dir "$n" folder)
    cp a.wlx b.psd "$d/"
    run_box "path of $n characters, WLX -> PSD" 0 "$(winpath "$d/a.wlx")"; same "$d/a.psd" "$REF_PSD"
    run_box "path of $n characters, PSD -> WLX" 0 "$(winpath "$d/b.psd")"; same "$d/b.wlx" "$REF_WLX"
done
# The boxes show such a path as given (here relative, there in code page 932): the outputs exist,
# so the question comes.
cp a.wlx "$d/c.wlx"
echo old >"$d/c.psd"
relative=$(realpath --relative-to=. "$d/c.wlx" | tr / '\\')
question_box "PSD形式: ${relative%.wlx}.psd$EXISTS" ok
run_box "relative path to a file of 300 characters" 0 "$relative"; same "$d/c.psd" "$REF_PSD"
d=$(deep_dir 300 ソ表能予)
cp a.wlx b.psd "$d/"
echo old >"$d/a.psd"
echo old >"$d/b.wlx"
question_box "PSD形式: $(winpath "$d/a.psd")$EXISTS" ok
run_box "0x5C names, 300 characters, WLX -> PSD" 0 "$(winpath "$d/a.wlx")"; same "$d/a.psd" "$REF_PSD"
question_box "WLX形式: $(winpath "$d/b.wlx")$EXISTS" ok
run_box "0x5C names, 300 characters, PSD -> WLX" 0 "$(winpath "$d/b.psd")"; same "$d/b.wlx" "$REF_WLX"

# No run above left its temporary file behind.
leftovers=$(find . -name '~rivodiv*' | head -3)
[ -z "$leftovers" ] || bad "temporary files left behind: $leftovers"

# The bare start: the open-file dialog with its title and filter; in the current directory it
# lists only what the filter matches (folders, *.wlx and names ending in psd).
cp "$ROOT/examples/example.wlx" pick/p.wlx
cp b.psd pick/q.psd
touch pick/catpsd pick/c.txt
listed=$(printf '%s\n' sub catpsd p.wlx q.psd | while read -r n; do printf %s "$n" | hex; echo; done | paste -sd,)
BOX=$BOX/pick
cd "$BOX"
open_dialog "$listed" cancel; run_box "bare start, Cancel" 1
open_dialog "$listed" close; run_box "bare start, dialog closed" 1; absent p.psd
open_dialog "$listed" "type=$(winpath "$BOX/p.wlx")"; run_box "bare start, typed path" 0
same p.psd "$REF_PSD"

# The icon resource: one group IDR_MAINFRAME with one 32 x 32 image at 24 bits per pixel.
icons=$(wrestool -l "$EXE" 2>&1)
if echo "$icons" | grep -q -- "--type=14 --name='IDR_MAINFRAME'" \
    && [ "$(wrestool -x --type=14 "$EXE" | icotool -l - 2>&1)" = "--icon --index=1 --width=32 --height=32 --bit-depth=24 --palette-size=0" ]; then
    pass
else
    fail "icon resource: $icons"
fi

# A crash must end the run with the exception code, not wait for someone to close a dialog.
printf 'int main(void) { *(volatile int*)0 = 1; return 0; }\n' >crash.c
x86_64-w64-mingw32-gcc -o crash.exe crash.c
PROGRAM=$BOX/crash.exe run_box "a crash is reported, not waited on" 3221225477

finish_case
echo "wine-test: Wine's own messages are in $LOG"
echo "$PASSED passed, $FAILED failed"
echo "run time: $(($(date +%s) - START)) s"
[ "$FAILED" -eq 0 ]
