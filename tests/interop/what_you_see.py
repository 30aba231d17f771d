#!/usr/bin/python3
"""What you see: does a PSD converted to WLX look as the PSD's own merged image?

  what_you_see.py RIVODIV CORPUS            the pinned files only (ctest runs it as psd_what_you_see)
  what_you_see.py RIVODIV CORPUS --table    every file the corpus index says rivodiv converts
  what_you_see.py RIVODIV CORPUS --table rel/path.psd ...   those files

Each file is converted to WLX, and the WLX back to PSD: the PSD writer composites the WLX layers with
rivodiv's own compositor onto white paper and stores the result as its merged image. That image is
compared with the source's stored merged image (as psd-tools reads it, flattened onto white when it has
transparency; other modes and depths converted by compare_modes.py's rules). A file is identical
(every sample equal), under 1 % off (fewer than 1 % of its pixels off by more than 3 in some
channel), or 1 % or more off; for each file off, the features it carries that WLX layers cannot (as found by psd-tools
here, not by the reader) are named, or "unexplained". The table is grouped by colour mode and depth;
rivodiv's own "not carried over" note is shown beside each file off.

The pinned files (PINNED) must stay under 1 % off: the run exits 1 when one does not. Without the
corpus it exits 77 (a skip), or 1 when RIVODIV_REQUIRE_CORPUS is set.
"""
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

import numpy as np

warnings.simplefilter("ignore")  # psd-tools warns about every tagged block it does not know
logging.disable(logging.CRITICAL)
from psd_tools import PSDImage  # noqa: E402  (after the warnings are silenced)
from psd_tools.constants import BlendMode, Tag  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_modes  # noqa: E402  (the reader's colour rules, done independently of it)

TOLERANCE = 3

# Files under 1 % off today, the baked clipping, fill opacity, mask parameters, vector and group
# masks among them: a guard against regressions. Baking more features in adds to it.
PINNED = [
    "tests/psd_files/0layers.psd",
    "tests/psd_files/0layers_tblocks.psd",
    "tests/psd_files/16bit5x5.psb",
    "tests/psd_files/16bit5x5.psd",
    "tests/psd_files/1layer.psd",
    "tests/psd_files/1layer2.psd",
    "tests/psd_files/2layers.psd",
    "tests/psd_files/32bit5x5.psb",
    "tests/psd_files/32bit5x5.psd",
    "tests/psd_files/artboard.psd",
    "tests/psd_files/background-red-opacity-80.psd",
    "tests/psd_files/blend-modes/hard-light.psd",
    "tests/psd_files/blend-modes/linear-burn.psd",
    "tests/psd_files/blend-modes/linear-light.psd",
    "tests/psd_files/blend-modes/multiply.psd",
    "tests/psd_files/blend-modes/normal.psd",
    "tests/psd_files/blend-modes/pass-through.psd",
    "tests/psd_files/blend-modes/pin-light.psd",
    "tests/psd_files/blend-modes/vivid-light.psd",
    "tests/psd_files/broken-groups.psd",
    "tests/psd_files/clipping-mask.psd",
    "tests/psd_files/clipping-mask3.psd",
    "tests/psd_files/cmyk-alpha-spot.psd",
    "tests/psd_files/cmyk-spot.psd",
    "tests/psd_files/colormodes/4x4_16bit_multichannel.psd",
    "tests/psd_files/colormodes/4x4_1bit_bitmap.psd",
    "tests/psd_files/colormodes/4x4_8bit_cmyk.psd",
    "tests/psd_files/colormodes/4x4_8bit_duotone.psd",
    "tests/psd_files/colormodes/4x4_8bit_grayscale.psd",
    "tests/psd_files/colormodes/4x4_8bit_index_color.psd",
    "tests/psd_files/colormodes/4x4_8bit_lab.psd",
    "tests/psd_files/colormodes/4x4_8bit_rgb.psd",
    "tests/psd_files/colormodes/4x4_8bit_rgba.psd",
    "tests/psd_files/colorprofiles/north_america_newspaper.psd",
    "tests/psd_files/descriptors/stroke-color-descriptors-gray.psd",
    "tests/psd_files/descriptors/stroke-color-descriptors-hsb-with-rgb-mode.psd",
    "tests/psd_files/descriptors/stroke-color-descriptors-rgb.psd",
    "tests/psd_files/effects/shape-fx.psd",
    "tests/psd_files/effects/stroke-without-vector-mask.psd",
    "tests/psd_files/empty-group.psd",
    "tests/psd_files/empty-layer.psd",
    "tests/psd_files/gradient-sizes.psd",
    "tests/psd_files/gradient-styles.psd",
    "tests/psd_files/gray0.psb",
    "tests/psd_files/gray0.psd",
    "tests/psd_files/gray1.psb",
    "tests/psd_files/gray1.psd",
    "tests/psd_files/group-clipping/group-clipping.psd",
    "tests/psd_files/group.psd",
    "tests/psd_files/hidden-groups.psd",
    "tests/psd_files/hidden-layer.psd",
    "tests/psd_files/history.psd",
    "tests/psd_files/issues/issue397.psd",
    "tests/psd_files/layers/black-and-white.psd",
    "tests/psd_files/layers/brightness-contrast.psd",
    "tests/psd_files/layers/channel-mixer.psd",
    "tests/psd_files/layers/color-balance.psd",
    "tests/psd_files/layers/color-lookup.psd",
    "tests/psd_files/layers/curves-with-vectormask.psd",
    "tests/psd_files/layers/curves.psd",
    "tests/psd_files/layers/exposure.psd",
    "tests/psd_files/layers/gradient-fill.psd",
    "tests/psd_files/layers/gradient-map-v3-classic.psd",
    "tests/psd_files/layers/gradient-map-v3-linear.psd",
    "tests/psd_files/layers/gradient-map-v3-perceptual.psd",
    "tests/psd_files/layers/gradient-map.psd",
    "tests/psd_files/layers/group.psd",
    "tests/psd_files/layers/hue-saturation.psd",
    "tests/psd_files/layers/invert.psd",
    "tests/psd_files/layers/levels.psd",
    "tests/psd_files/layers/pattern-fill.psd",
    "tests/psd_files/layers/photo-filter.psd",
    "tests/psd_files/layers/pixel-layer.psd",
    "tests/psd_files/layers/posterize.psd",
    "tests/psd_files/layers/selective-color.psd",
    "tests/psd_files/layers/shape-layer.psd",
    "tests/psd_files/layers/smartobject-layer.psd",
    "tests/psd_files/layers/solid-color-fill.psd",
    "tests/psd_files/layers/threshold.psd",
    "tests/psd_files/layers/type-layer.psd",
    "tests/psd_files/layers/vibrance.psd",
    "tests/psd_files/mask-density-layermask.psd",
    "tests/psd_files/mask-density-layervectormask.psd",
    "tests/psd_files/mask-density-vectormask.psd",
    "tests/psd_files/mask-disabled.psd",
    "tests/psd_files/mask-index.psd",
    "tests/psd_files/mask-vector-density.psd",
    "tests/psd_files/mask.psd",
    "tests/psd_files/masks2.psd",
    "tests/psd_files/masks3.psd",
    "tests/psd_files/metadata.psd",
    "tests/psd_files/opacity-fill.psd",
    "tests/psd_files/passthrough_clipping_mask_blendmode.psd",
    "tests/psd_files/path-operations/combine-group.psd",
    "tests/psd_files/path-operations/combine.psd",
    "tests/psd_files/path-operations/exclude-first.psd",
    "tests/psd_files/path-operations/exclude-group.psd",
    "tests/psd_files/path-operations/exclude.psd",
    "tests/psd_files/path-operations/intersect-all.psd",
    "tests/psd_files/path-operations/intersect-first.psd",
    "tests/psd_files/path-operations/intersect-group.psd",
    "tests/psd_files/path-operations/subtract-all.psd",
    "tests/psd_files/path-operations/subtract-first.psd",
    "tests/psd_files/path-operations/subtract-group.psd",
    "tests/psd_files/path-operations/subtract-second.psd",
    "tests/psd_files/placedLayer.psd",
    "tests/psd_files/semi-transparent-layers.psd",
    "tests/psd_files/slices.psd",
    "tests/psd_files/smart-object-slice.psd",
    "tests/psd_files/stroke.psd",
    "tests/psd_files/text.psd",
    "tests/psd_files/third-party-psds/cactus_top.psd",
    "tests/psd_files/transparency/clip-opacity.psd",
    "tests/psd_files/transparentbg-gimp.psd",
    "tests/psd_files/vector-mask-disabled.psd",
    "tests/psd_files/vector-mask.psb",
    "tests/psd_files/vector-mask3.psd",
]

ADJUSTMENT_KEYS = {b"levl", b"curv", b"brit", b"hue2", b"hue ", b"blnc", b"selc", b"mixr", b"phfl", b"expA",
                   b"vibA", b"grdm", b"nvrt", b"post", b"thrs", b"CgEd", b"blwh", b"clrL"}
FILL_KEYS = {b"SoCo", b"GdFl", b"PtFl"}  # lost only without pixels of their own
# Layer blend modes WLX has no code for: written as normal.
LOST_MODE_KEYS = {b"dark", b"lite", b"smud", b"hue ", b"sat ", b"colr", b"lum ", b"lgCl", b"dkCl", b"diss",
                  b"hMix", b"fsub", b"fdiv"}


def raw_keys(layer):
    keys = set()
    for key in layer.tagged_blocks.keys():
        value = key.value if hasattr(key, "value") else key
        keys.add(value if isinstance(value, bytes) else str(value).encode())
    return keys


def block(layer, tag):
    try:
        return layer.tagged_blocks.get_data(tag)
    except Exception:
        return None


def default_ranges(record):
    """Each range is (black low and high, white low and high) as two 16-bit values; (0, 65535) is open."""
    ranges = getattr(record, "blending_ranges", None)
    if ranges is None or ranges.composite_ranges is None:
        return True
    pairs = [ranges.composite_ranges] + list(ranges.channel_ranges or [])
    return all(tuple(rng) == (0, 65535) for pair in pairs for rng in pair)


def features(psd, data):
    """What the file carries that converted WLX layers cannot show, as psd-tools reads it."""
    found = set()
    has_alpha = psd.has_preview() and psd.topil() is not None and psd.topil().mode.endswith("A")
    for layer in psd.descendants():
        record = layer._record
        keys = raw_keys(layer)
        if layer.is_group():
            if layer.blend_mode != BlendMode.PASS_THROUGH:
                found.add("group blend mode")
            if layer.has_mask() or layer.has_vector_mask():
                found.add("group masks")
        elif layer.is_visible() and record.blend_mode.value in LOST_MODE_KEYS:
            found.add("layer blend mode")
        artboard = block(layer, Tag.ARTBOARD_DATA1)
        if artboard is not None and int(artboard.get(b"artboardBackgroundType", 1)) in (2, 4):
            found.add("artboard background")
        if record.clipping:
            found.add("clipping")
        fill = block(layer, Tag.BLEND_FILL_OPACITY)
        if fill is not None and int(fill) != 255:
            found.add("fill opacity")
        if b"vmsk" in keys or b"vsms" in keys:
            found.add("vector mask")
        params = getattr(record.mask_data, "parameters", None) if record.mask_data is not None else None
        if params is not None and ((params.user_mask_density not in (None, 255)) or
                                   (params.user_mask_feather not in (None, 0)) or
                                   (params.vector_mask_density not in (None, 255)) or
                                   (params.vector_mask_feather not in (None, 0))):
            found.add("mask parameters")
        if layer.has_effects() and any(effect.enabled for effect in layer.effects):
            found.add("layer effects")
        if keys & ADJUSTMENT_KEYS:
            found.add("adjustment layers")
        elif keys & FILL_KEYS and not layer.has_pixels():
            found.add("fill layers")
        if not default_ranges(record):
            found.add("blending ranges")
        knockout = block(layer, Tag.KNOCKOUT_SETTING)
        if knockout:
            found.add("knockout")
        if has_alpha and layer.is_visible() and layer.blend_mode not in (BlendMode.NORMAL, BlendMode.PASS_THROUGH):
            found.add("non-normal blend on transparency")
    if b"filterFX" in data:
        found.add("smart filters")
    return found


def on_white(image):
    """An RGB array of a PIL image, flattened onto white when it has transparency."""
    if image.mode not in ("RGB", "RGBA"):
        image = image.convert("RGBA" if "A" in image.mode or image.mode == "LA" else "RGB")
    a = np.asarray(image).astype(np.int32)
    if a.shape[2] == 3:
        return a
    alpha = a[:, :, 3:4]
    return (a[:, :, :3] * alpha + 255 * (255 - alpha) + 127) // 255


def kind(row):
    return f"{row['mode']} {row['depth']}-bit" + (" PSB" if row["version"] == "2" else "")


def check(rivodiv, corpus, rel, work):
    """(fraction of pixels off or None, whether identical or what went wrong, the reader's note)"""
    name = os.path.join(work, "a" + os.path.splitext(rel)[1])
    back = os.path.join(work, "back")
    os.makedirs(back, exist_ok=True)
    shutil.copyfile(os.path.join(corpus, rel), name)
    run = subprocess.run([rivodiv, name], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    note = " ".join(line.split("note: ", 1)[1] for line in (run.stdout + run.stderr).splitlines() if "note: " in line)
    wlx = os.path.splitext(name)[0] + ".wlx"
    if not os.path.exists(wlx):
        return None, "not converted: " + (run.stdout + run.stderr).strip().replace("\n", " "), note
    shutil.move(wlx, os.path.join(back, "a.wlx"))
    subprocess.run([rivodiv, os.path.join(back, "a.wlx")], stdin=subprocess.DEVNULL, capture_output=True)
    if not os.path.exists(os.path.join(back, "a.psd")):
        return None, "not converted back", note
    try:
        source = PSDImage.open(os.path.join(corpus, rel))
        want = None
        if source.has_preview():
            doc = compare_modes.Doc(os.path.join(corpus, rel), source)
            if doc.mode == 3 and doc.depth == 8:
                want = on_white(source.topil())
            else:
                # Colour as the reader converts it; a merged image with transparency is stored
                # matted with white, which is that colour flattened onto white already.
                want = compare_modes.merged_layer(doc, source)[0][:, :, :3].astype(np.int32)
        got = PSDImage.open(os.path.join(back, "a.psd")).topil()
    except Exception as error:  # psd-tools cannot read every corpus file
        return None, f"psd-tools: {error}", note
    finally:
        shutil.rmtree(back)
        os.remove(name)
    if want is None:
        return None, "no merged image", note
    got = on_white(got)
    if want.shape != got.shape:
        return None, f"size {got.shape} against {want.shape}", note
    off = np.any(np.abs(want - got) > TOLERANCE, axis=2)
    return float(np.count_nonzero(off)) / off.size, bool(np.all(want == got)), note


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        print(__doc__)
        return 2
    rivodiv, corpus = args[:2]
    table = "--table" in args[2:]
    only = [a for a in args[2:] if a != "--table"]
    missing = compare_modes.corpus_missing(corpus)
    if missing is not None:
        return missing
    with open(os.path.join(corpus, "index.tsv"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    head = lines[0].split("\t")
    rows = [dict(zip(head, line.split("\t"))) for line in lines[1:] if line]
    if only:
        rows = [r for r in rows if r["path"] in only]
    elif not table:
        rows = [r for r in rows if r["path"] in PINNED]
    else:
        rows = [r for r in rows if r["expect"] != "no-crash"]
    work = tempfile.mkdtemp(prefix="rivodiv-wysiwyg-")
    tallies, offs, failures = {}, [], []
    try:
        for row in rows:
            rel = row["path"]
            share, identical, note = check(rivodiv, corpus, rel, work)
            if share is None:
                if rel in PINNED:
                    failures.append(f"{rel}: {identical}")
                if table:
                    print(f"  not compared: {rel}: {identical}")
                continue
            tally = tallies.setdefault(kind(row), [0, 0, 0, 0])
            tally[0] += 1
            tally[1 if identical else 2 if share < 0.01 else 3] += 1
            if share >= 0.01 and rel in PINNED:
                failures.append(f"{rel}: {100 * share:.2f} % of pixels off")
            if share > 0:
                with open(os.path.join(corpus, rel), "rb") as f:
                    found = features(PSDImage.open(os.path.join(corpus, rel)), f.read())
                offs.append((kind(row), share, rel, ", ".join(sorted(found)) or "unexplained", note))
    finally:
        shutil.rmtree(work)
    print(f"| {'kind':<19} | compared | identical | < 1 % off | >= 1 % off |")
    for name in sorted(tallies):
        t = tallies[name]
        print(f"| {name:<19} | {t[0]:>8} | {t[1]:>9} | {t[2]:>9} | {t[3]:>10} |")
    if table:
        for name, share, rel, blame, note in sorted(offs):
            print(f"  {name:<14} {100 * share:6.2f} %  {rel}: {blame}" + (f"  [rivodiv: {note}]" if note else ""))
    for failure in failures:
        print(f"  FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
