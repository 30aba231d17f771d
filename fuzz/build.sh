#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
# Apart from the CMake build on purpose: it needs clang, which the normal build and CI do not.
# Usage: fuzz/build.sh [build-dir]    (default: build-fuzz beside the sources)
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$src/build-fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14)}"
mkdir -p "$out/obj"

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -I"$src"
       -fsanitize=address,undefined -fno-sanitize-recover=undefined -Wall -Wextra -Wpedantic)

# The reading and writing code only: no driver, no user interface.
# Any header newer than an object rebuilds it; the sources are small.
newest_header="$(ls -t "$src"/image/*.h "$src"/composite/*.h "$src"/formats/*/*.h | head -1)"
objects=()
for f in "$src"/image/*.cpp "$src"/image/posix/*.cpp "$src"/composite/*.cpp "$src"/formats/wlx/*.cpp "$src"/formats/psd/*.cpp; do
    o="$out/obj/$(basename "$(dirname "$f")")_$(basename "${f%.cpp}").o"
    if [[ ! -f "$o" || "$f" -nt "$o" || "$newest_header" -nt "$o" ]]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$o" &
        while (( $(jobs -rp | wc -l) >= 2 )); do wait -n; done
    fi
    objects+=("$o")
done
wait

for target in "$src"/fuzz/fuzz_*.cpp; do
    name="$(basename "${target%.cpp}")"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$target" "${objects[@]}" -ldeflate -llcms2 -o "$out/$name"
    echo "built $out/$name"
done

# The seed writer is an ordinary program; it builds the reader tests' sample documents with zlib.
"$cxx" "${flags[@]}" "$src/fuzz/make_seeds.cpp" "${objects[@]}" -ldeflate -llcms2 -lz -o "$out/make_seeds"
echo "built $out/make_seeds"
