# Sourced by the bench scripts: builds the optimised programs, then makes a scratch folder (removed
# on exit) holding the generated painting, $width x $height with $layers layers, as src/doc.wlx.
#   painting_setup NAME    sets bin (the programs) and work (the folder)
painting_setup() {
    cmake --preset bench >/dev/null
    cmake --build --preset bench >/dev/null
    bin=$PWD/build/bench
    work=$(mktemp -d "${TMPDIR:-/tmp}/rivodiv-$1.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir "$work/src"
    "$bin/make_painting" "$work/src/doc.wlx" "$width" "$height" "$layers" >/dev/null
}
