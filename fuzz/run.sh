#!/usr/bin/env bash
# Builds the fuzz targets and runs each in turn for a while, one at a time. Any finding (crash,
# leak, timeout, an allocation past the limit) fails the run once every target has had its turn.
# Usage: fuzz/run.sh [seconds-per-target] [target...]   (default 300 s, all targets)
# Extra libFuzzer options may come in FUZZ_OPTIONS (e.g. "-runs=1000000" for a campaign).
# Work corpora and findings go to build-fuzz/; the real-PSD corpus is read from shared/, never copied.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_OUT:-$src/build-fuzz}"
seconds="${1:-300}"
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(fuzz_read_psd fuzz_read_wlx fuzz_packbits fuzz_load_bmp fuzz_psd_samples fuzz_vector_mask)

"$src/fuzz/build.sh" "$out"
mkdir -p "$out/seeds/psd" "$out/seeds/wlx"
"$out/make_seeds" "$out/seeds/psd" "$out/seeds/wlx"
cp "$src/examples/example.wlx" "$out/seeds/wlx/"
psd_corpus="${RIVODIV_PSD_CORPUS:-$src/../shared/corpus/psd/tests/psd_files}"
# Every input that once found something stays a seed.
regressions="$src/tests/data/fuzz"

failed=()
for target in "${targets[@]}"; do
    seeds=()
    case "$target" in
        fuzz_read_psd) seeds=("$out/seeds/psd"); [[ -d "$psd_corpus" ]] && seeds+=("$psd_corpus") ;;
        fuzz_read_wlx) seeds=("$out/seeds/wlx") ;;
    esac
    [[ -d "$regressions/$target" ]] && seeds+=("$regressions/$target")
    work="$out/corpus/$target"
    findings="$out/findings/$target"
    mkdir -p "$work" "$findings"
    echo "== $target for ${seconds}s"
    # Hostile sizes must fail before they allocate: a large allocation is a finding. Small inputs
    # keep the executions fast; the readers' size checks do not depend on the file being large.
    status=0
    # shellcheck disable=SC2086
    "$out/$target" "$work" "${seeds[@]}" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10 -max_len="${FUZZ_MAX_LEN:-4096}" \
        -artifact_prefix="$findings/" -print_final_stats=1 ${FUZZ_OPTIONS:-} >"$out/$target.log" 2>&1 || status=$?
    grep -E "^#[0-9]+ *DONE|ERROR|SUMMARY|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|^Done" \
        "$out/$target.log" | tail -12 || true
    if [[ $status -ne 0 ]]; then
        echo "!! $target: finding (exit $status); see $out/$target.log and $findings/" >&2
        failed+=("$target")
    fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz: findings in ${failed[*]}" >&2
    exit 1
fi
