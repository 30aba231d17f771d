#!/usr/bin/env bash
# Builds the fuzz targets and runs each in turn for a while, one at a time.
# Usage: fuzz/run.sh [seconds-per-target] [target...]   (default 300 s, all targets)
# Work corpora and findings go to build-fuzz/; the real-PSD corpus is read from shared/, never copied.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$src/build-fuzz"
seconds="${1:-300}"
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(fuzz_read_psd fuzz_read_wlx fuzz_packbits fuzz_load_bmp)

"$src/fuzz/build.sh" "$out"
mkdir -p "$out/seeds/psd" "$out/seeds/wlx"
"$out/make_seeds" "$out/seeds/psd" "$out/seeds/wlx"
cp "$src/examples/example.wlx" "$out/seeds/wlx/"
psd_corpus="${RIVODIV_PSD_CORPUS:-$src/../shared/corpus/psd/tests/psd_files}"

for target in "${targets[@]}"; do
    seeds=()
    case "$target" in
        fuzz_read_psd) seeds=("$out/seeds/psd"); [[ -d "$psd_corpus" ]] && seeds+=("$psd_corpus") ;;
        fuzz_read_wlx) seeds=("$out/seeds/wlx") ;;
    esac
    work="$out/corpus/$target"
    findings="$out/findings/$target"
    mkdir -p "$work" "$findings"
    echo "== $target for ${seconds}s"
    # Hostile sizes must fail before they allocate: a large allocation is a finding.
    "$out/$target" "$work" "${seeds[@]}" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10 -max_len=262144 \
        -artifact_prefix="$findings/" -print_final_stats=1 2>&1 | tee "$out/$target.log" | grep -E "^#|ERROR|SUMMARY|stat::|Done" | tail -15 || true
done
