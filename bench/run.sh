#!/bin/sh
# Builds the optimised benchmark program and prints megapixels per second for every blend mode
# on a 2048 x 2048 layer.
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
./build/bench/rivodiv_bench --benchmark_counters_tabular=true "$@"
