#!/usr/bin/python3
"""Compares rivodiv's WLX layers of the corpus PSDs that are not 8-bit RGB (other colour modes and
depths, PSB, ZIP channels) with what psd-tools decodes from the same files.

  compare_modes.py RIVODIV WLX_TOOL CORPUS [KEEP_DIR]   (ctest runs it as psd_modes_vs_psd_tools)

psd-tools decodes the channels; the colour rule of each kind (KINDS) turns them into 8-bit RGB here,
independently of the reader, and every layer is compared on the whole canvas: count, name, visibility,
opacity, transparency outside psd-tools' layer rectangle, RGBA inside it (exact, or within 1: see
KINDS). The layer mask is applied to psd-tools' alpha as the reader bakes it: the mask's default colour
around its rectangle, alpha = (alpha * mask + 127) / 255. Groups: visibility and opacity are folded
down as psd-tools' is_visible() and the group opacities give them. A layer psd-tools cannot decode is
counted and not compared.

Where psd-tools reads differently, only what both share is compared:
  - a layer with a user mask (channel -2) and a real one (-3, the user mask with a vector mask) is
    shaped by the real one; psd-tools takes it only with its "parameters applied" flag, so the
    channel is taken here (layer_mask);
  - a file without layers: psd-tools takes any channel past the mode's for the merged image's
    transparency; the file says so only with a negative layer count. Where they disagree (the spot
    channels of cmyk-spot.psd) the colour alone is compared, a stated difference (merged_layer);
  - descendants(include_clip=True) lists clipped layers twice; each is taken once;
  - a layer whose alpha or opacity takes more than its user mask (a vector mask, mask density or
    feather, clipping, fill opacity, a group's mask: baked) has its colour alone compared, a stated
    difference: psd-tools' layers do not carry those. With KEEP_DIR the converted files stay there. Prints a summary
line per kind; exits 1 on a difference, 77 (a skip) without the corpus unless RIVODIV_REQUIRE_CORPUS
is set.
"""
import ctypes
import io
import logging
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings

import numpy as np
from PIL import Image, ImageCms

warnings.simplefilter("ignore")  # psd-tools warns about every tagged block it does not know
logging.disable(logging.CRITICAL)
from psd_tools import PSDImage  # noqa: E402  (after the warnings are silenced)
from psd_tools.api import numpy_io  # noqa: E402

import compare_layers  # noqa: E402  (the dump of rivodiv's WLX layers, read as the GIMP check reads it)


def unit8(f):
    return np.floor(np.clip(f, 0, 1) * 255 + 0.5).astype(np.int32)


def from16(f):
    v = np.floor(f.astype(np.float64) * 65535 + 0.5).astype(np.int64)
    return ((v * 255 + 32767) // 65535).astype(np.int32)


def srgb8(f):
    f = np.clip(f.astype(np.float64), 0, 1)
    return unit8(np.where(f <= 0.0031308, f * 12.92, 1.055 * f ** (1 / 2.4) - 0.055))


# Samples psd-tools gives (8- and 16-bit scaled to 0..1, 32-bit as stored, 1-bit as the bit) as
# 8-bit, for colour and for transparency and masks.
DEPTHS = {
    1: (lambda f: 255 - 255 * f.astype(np.int32), None),  # 1 is black
    8: (unit8, unit8),
    16: (from16, from16),
    32: (srgb8, unit8),  # linear light: colour through the sRGB curve, alpha linearly
}


class Lcms:
    """Little CMS through ctypes in double precision, unoptimised: the exact conversion the reader's
    8-bit results must come within 1 of."""
    TYPE_LAB_DBL, TYPE_RGB_DBL = (1 << 22 | s << 16 | c << 3 for s, c in ((10, 3), (4, 3)))
    TYPE_CMYK_16, TYPE_RGB_16 = (s << 16 | c << 3 | 2 for s, c in ((6, 4), (4, 3)))
    NOOPTIMIZE = 0x0100

    def __init__(self):
        self.lib = ctypes.CDLL("liblcms2.so.2")
        for name in ("cmsCreateLab4Profile", "cmsCreate_sRGBProfile", "cmsOpenProfileFromMem", "cmsCreateTransform"):
            getattr(self.lib, name).restype = ctypes.c_void_p
        self.lib.cmsCreateTransform.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32,
                                                ctypes.c_uint32, ctypes.c_uint32]
        self.lib.cmsOpenProfileFromMem.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        self.lib.cmsDoTransform.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]
        self.lib.cmsDeleteTransform.argtypes = [ctypes.c_void_p]

    def convert(self, source, kind, values):
        srgb = self.lib.cmsCreate_sRGBProfile()
        transform = self.lib.cmsCreateTransform(source, kind, srgb, self.TYPE_RGB_DBL, 0, self.NOOPTIMIZE)
        flat = np.ascontiguousarray(values, dtype=np.float64).reshape(-1, values.shape[-1])
        out = np.zeros((flat.shape[0], 3), dtype=np.float64)
        self.lib.cmsDoTransform(transform, flat.ctypes.data, out.ctypes.data, flat.shape[0])
        self.lib.cmsDeleteTransform(transform)
        return unit8(out).reshape(values.shape[:-1] + (3,))

    def lab(self, lab):
        return self.convert(self.lib.cmsCreateLab4Profile(None), self.TYPE_LAB_DBL, lab)

    def cmyk16(self, icc, ink):
        """16-bit ink to 16-bit sRGB, optimised as Little CMS does by default; then to 8 bits as 16-bit
        samples are."""
        srgb = self.lib.cmsCreate_sRGBProfile()
        source = self.lib.cmsOpenProfileFromMem(icc, len(icc))
        transform = self.lib.cmsCreateTransform(source, self.TYPE_CMYK_16, srgb, self.TYPE_RGB_16, 0, 0)
        flat = np.ascontiguousarray(ink, dtype=np.uint16).reshape(-1, 4)
        out = np.zeros((flat.shape[0], 3), dtype=np.uint16)
        self.lib.cmsDoTransform(transform, flat.ctypes.data, out.ctypes.data, flat.shape[0])
        self.lib.cmsDeleteTransform(transform)
        return from16(out.reshape(ink.shape[:-1] + (3,)) / 65535.0)


LCMS = Lcms()


def grey(doc, f):
    return np.repeat(DEPTHS[doc.depth][0](f[..., :1]), 3, axis=2)


def rgb(doc, f):
    return DEPTHS[doc.depth][0](f[..., :3])


def cmyk(doc, f):
    """Stored inverted. With a profile: psd-tools' own ICC step (Pillow's Little CMS, perceptual) on
    8-bit ink, 16-bit ink through Little CMS to 16-bit sRGB (Pillow has no 16-bit CMYK); without
    one: R = (255 - C)(255 - K) / 255 on the 8-bit samples."""
    stored = DEPTHS[doc.depth][0](f[..., :4])
    if doc.icc is None:
        return stored[..., :3] * stored[..., 3:4] // 255  # the rule's division, not a rounded product
    if doc.depth == 16:
        return LCMS.cmyk16(doc.icc, 65535 - np.floor(f[..., :4].astype(np.float64) * 65535 + 0.5))
    ink = Image.fromarray((255 - stored).astype(np.uint8), "CMYK")
    profile = ImageCms.ImageCmsProfile(io.BytesIO(doc.icc))
    return np.asarray(ImageCms.profileToProfile(ink, profile, ImageCms.createProfile("sRGB"), outputMode="RGB"),
                      dtype=np.int32)


def lab(doc, f):
    """L 0..100 from 0..1; a and b offset by 128, a unit 1/255 (8-bit) or 256/65535 (16-bit) of psd-tools'."""
    unit = 255.0 if doc.depth == 8 else 65535.0 / 256
    lab = np.stack([f[..., 0] * 100, f[..., 1] * unit - 128, f[..., 2] * unit - 128], axis=-1)
    return LCMS.lab(lab)


def indexed(doc, f):
    return f  # the merged image's palette colours, made in merged_layer


# Colour mode: (name, colour of psd-tools' channels as 8-bit RGB, what is compared). Integer rules
# must match exactly; a tolerance of 1 is left where floating point or Little CMS takes part (32-bit,
# Lab, CMYK with a profile), as both sides round on their own.
KINDS = {
    0: ("bitmap", grey, "RGBA exact by the rule: 1 black, 0 white"),
    1: ("grey", grey, "RGBA exact by the rule: R = G = B = grey (32-bit: within 1)"),
    2: ("indexed", indexed, "RGBA exact by the rule: 768-byte palette, transparent index alpha 0"),
    3: ("rgb", rgb, "RGBA exact by the rule (32-bit: within 1)"),
    4: ("cmyk", cmyk, "RGBA within 1 of psd-tools' ICC conversion (8-bit) or Little CMS's (16-bit); "
                      "exact by (255 - C)(255 - K) / 255 without a profile"),
    7: ("multichannel", rgb, "RGBA exact by the rule: the first three channels as R, G, B"),
    8: ("duotone", grey, "RGBA exact by the rule: R = G = B = the first channel"),
    9: ("lab", lab, "RGBA within 1 of Little CMS's Lab D50 to sRGB in double precision, unoptimised"),
}


def tolerance(doc):
    return 1 if doc.depth == 32 or doc.mode == 9 or doc.icc is not None else 0


# Layers that differ for a known reason: (path, layer index bottom first) -> reason.
KNOWN = {}


class Doc:
    def __init__(self, path, psd):
        with open(path, "rb") as f:
            head = f.read(26)
        self.version, = struct.unpack(">H", head[4:6])
        self.channels, self.height, self.width, self.depth, self.mode = struct.unpack(">HIIHH", head[12:26])
        self.icc = psd.image_resources.get_data(1039) if self.mode == 4 else None
        self.zip = any(c.compression in (2, 3) for layer in psd.descendants() for c in getattr(layer, "_channels", []))

    def kind(self):
        return (f"{KINDS.get(self.mode, (f'mode{self.mode}',))[0]}{self.depth}" +
                ("-psb" if self.version == 2 else "") + ("-zip" if self.zip else ""))

    def chosen(self):
        """Every file but 8-bit RGB PSDs with raw or PackBits channels: the corpus test covers those."""
        return (self.mode, self.depth, self.version, self.zip) != (3, 8, 1, False)


def scaled(a, b):
    return (a * b + 127) // 255


def place(canvas, array, left, top):
    """array at (left, top) on the canvas, cut to it."""
    h, w = array.shape[:2]
    x0, y0, x1, y1 = max(left, 0), max(top, 0), min(left + w, canvas.shape[1]), min(top + h, canvas.shape[0])
    if x0 < x1 and y0 < y1:
        canvas[y0:y1, x0:x1] = array[y0 - top:y1 - top, x0 - left:x1 - left]


def expected_layer(doc, layer):
    """psd-tools' layer on the canvas (RGBA as int) and where its colour is compared, or None when
    psd-tools gives no pixels for a layer that has them. A layer whose colour channels hold no data
    (shape and fill layers of deep documents store none) is transparent."""
    colour_of = KINDS[doc.mode][1]
    canvas = np.zeros((doc.height, doc.width, 4), dtype=np.int32)
    inside = np.zeros((doc.height, doc.width), dtype=bool)
    stored = any(len(c.data) > 0 for i, c in zip(layer._record.channel_info, layer._channels) if i.id >= 0)
    if layer.width > 0 and layer.height > 0 and stored:
        colour = layer.numpy("color")
        if colour is None:
            return None
        shape = layer.numpy("shape")
        alpha = np.full(colour.shape[:2] + (1,), 255) if shape is None else DEPTHS[doc.depth][1](shape)
        place(canvas, np.concatenate([colour_of(doc, colour), alpha], axis=2), layer.left, layer.top)
        place(inside, np.ones(colour.shape[:2], dtype=bool), layer.left, layer.top)
    mask = layer_mask(doc, layer)
    if mask is not None:
        canvas[..., 3] = scaled(canvas[..., 3], mask)
    return canvas, inside


def layer_mask(doc, layer):
    """The mask on the canvas, or None. A layer with both a user mask (channel -2) and a real one (-3,
    the user mask combined with a vector mask) is shaped by the real one; psd-tools' numpy("mask")
    takes it only when its "parameters applied" flag is set, so the channels are taken here."""
    data = layer.mask and layer.mask._data
    channels = {info.id: channel for info, channel in zip(layer._record.channel_info, layer._channels)}
    if data is None or not ({-2, -3} & channels.keys()):
        return None
    real = -3 in channels and data.real_flags is not None
    flags, colour, rect = ((data.real_flags, data.real_background_color,
                            (data.real_left, data.real_top, data.real_right, data.real_bottom)) if real else
                           (data.flags, data.background_color, (data.left, data.top, data.right, data.bottom)))
    if flags.mask_disabled:
        return None
    mask = np.full((doc.height, doc.width), colour, dtype=np.int32)
    width, height = rect[2] - rect[0], rect[3] - rect[1]
    stored = channels[-3 if real else -2].get_data(width, height, doc.depth, doc.version)
    if width > 0 and height > 0 and len(stored) > 0:
        values = numpy_io._parse_array(stored, doc.depth).reshape(height, width)
        place(mask, DEPTHS[doc.depth][1](values), rect[0], rect[1])
    return mask


def baked(layer):
    """Whether the reader bakes more than the user mask and group opacities into the layer."""
    def keys(l):
        blocks = l._record.tagged_blocks
        return {getattr(k, "value", k): blocks.get_data(k) for k in blocks.keys()} if blocks else {}
    def masked(l):
        data = l._record.mask_data
        return bool(data and data.flags.parameters_applied) or bool({b"vmsk", b"vsms"} & keys(l).keys())
    own = keys(layer)
    if layer._record.clipping or own.get(b"iOpa", 255) != 255 or masked(layer):
        return True
    parent = layer.parent
    while parent is not None and getattr(parent, "kind", None) == "group":
        if parent.mask is not None or masked(parent):
            return True
        parent = parent.parent
    return False


def merged_layer(doc, psd):
    """The merged image as the one layer of a file without layers: its channels as stored (no white
    matte taken out), transparency from the first channel after the mode's when psd-tools says there
    is one. Also whether the file says so too (a negative layer count): psd-tools takes any channel
    past the mode's for transparency unless alpha identifiers say otherwise, so a spot or alpha
    channel (cmyk-spot.psd) would be; then alpha is not compared, a stated difference."""
    record = psd._record
    data = record.image_data.get_data(record.header, False)
    info = record.layer_and_mask_information.layer_info
    marked = info is not None and info.layer_count < 0
    if doc.mode == 2:
        index = np.frombuffer(data, np.uint8)[:doc.width * doc.height].reshape(doc.height, doc.width)
        palette = np.frombuffer(record.color_mode_data.value, np.uint8)[:768].reshape(3, 256).T.astype(np.int32)
        alpha = np.full(index.shape + (1,), 255)
        transparent = psd.image_resources.get_data(1047)
        if transparent is not None:
            alpha[index == transparent] = 0
        return np.concatenate([palette[index], alpha], axis=2), True
    planes = numpy_io._parse_array(data, doc.depth)
    planes = planes.reshape((-1, doc.height, doc.width if doc.depth != 1 else (doc.width + 7) // 8 * 8))
    planes = planes[:, :, :doc.width].transpose((1, 2, 0))
    colour = KINDS[doc.mode][1](doc, planes)
    alpha = np.full(colour.shape[:2] + (1,), 255)
    guessed = numpy_io.has_transparency(psd)
    if guessed:
        alpha = DEPTHS[doc.depth][1](planes[..., numpy_io.get_transparency_index(psd)][..., None])
    return np.concatenate([colour, alpha], axis=2), marked or not guessed


def read_ours(folder):
    layers = compare_layers.read_ours(folder)[2]
    for layer in layers:
        layer["pixels"] = layer["pixels"].astype(np.int32)
    return layers


def wlx_name(name):
    """A name as the WLX file holds it: CP932, cut to 31 bytes at a character boundary."""
    out = b""
    for ch in name:
        try:
            code = ch.encode("cp932")
        except UnicodeEncodeError:
            return None  # the reader's replacement is its own business
        if len(out) + len(code) > 31:
            break
        out += code
    return out.decode("cp932")


def opacity_percent(layer):
    byte = layer.opacity
    parent = layer.parent
    while parent is not None and parent.kind != "psdimage":
        byte = scaled(byte, parent.opacity)
        parent = parent.parent
    return int(byte * 0.39215686274509803 + 0.5)


class Tally:
    def __init__(self):
        self.files = self.layers = self.exact = self.within = self.stated = self.known = self.undecoded = 0
        self.failed = []

    def line(self, kind):
        return (f"{kind}: {self.files} files, {self.layers} layers compared, {self.exact} pixel-exact, "
                f"{self.within} within 1, {self.stated} with a stated difference, {self.known} known differences, {self.undecoded} not decoded by psd-tools"
                + (f", {len(self.failed)} FAILED" if self.failed else ""))


def compare_pixels(ours, want, inside, tally, label, known, tolerance, alpha=True):
    """RGBA inside psd-tools' rectangle, alpha 0 outside it; without alpha, only the colour."""
    diff = np.abs(ours - want)
    diff[~inside, :3] = 0
    if not alpha:
        diff[..., 3] = 0
        tally.stated += 1
    worst = int(diff.max()) if diff.size else 0
    if worst == 0:
        tally.exact += 1
    elif worst <= tolerance:
        tally.within += 1
    elif known:
        tally.known += 1
    else:
        y, x, c = (int(v) for v in np.argwhere(diff == worst)[0])
        tally.failed.append(f"{label}: {np.count_nonzero(diff > tolerance)} samples off by more than {tolerance}; at x {x}, y {y} "
                            f"{'RGBA'[c]}: rivodiv {ours[y, x, c]}, psd-tools {want[y, x, c]} "
                            f"(rivodiv {ours[y, x].tolist()}, psd-tools {want[y, x].tolist()})")


def compare_file(path, doc, psd, folder, tally, rel):
    ours = read_ours(folder)
    theirs = [layer for layer in psd.descendants(include_clip=False) if not layer.is_group()]
    if not theirs:
        full = np.ones((doc.height, doc.width), dtype=bool)
        if len(ours) != 1:
            tally.failed.append(f"{rel}: {len(ours)} layers from a file without layers")
            return
        tally.layers += 1
        merged, alpha = merged_layer(doc, psd)
        compare_pixels(ours[0]["pixels"], merged, full, tally, f"{rel} merged image", KNOWN.get((rel, 0)), tolerance(doc), alpha)
        return
    if len(ours) != len(theirs):
        tally.failed.append(f"{rel}: {len(ours)} layers, psd-tools has {len(theirs)}")
        return
    for index, (got, layer) in enumerate(zip(ours, theirs)):
        label = f"{rel} layer {index} {layer.name!r}"
        name = wlx_name(layer.name)
        if name is not None and got["name"] != name:
            tally.failed.append(f"{label}: name {got['name']!r}")
        if got["visible"] != layer.is_visible():
            tally.failed.append(f"{label}: visible {got['visible']}, psd-tools {layer.is_visible()}")
        full = not baked(layer)
        if full and got["opacity"] != opacity_percent(layer):
            tally.failed.append(f"{label}: opacity {got['opacity']} %, psd-tools {opacity_percent(layer)} %")
        expected = expected_layer(doc, layer)
        if expected is None:
            tally.undecoded += 1
            continue
        tally.layers += 1
        compare_pixels(got["pixels"], expected[0], expected[1], tally, label, KNOWN.get((rel, index)), tolerance(doc), full)


def corpus_missing(corpus):
    """None with the corpus; otherwise says so and gives the exit status: a skip (77), or 1 when
    RIVODIV_REQUIRE_CORPUS is set."""
    if os.path.isfile(os.path.join(corpus, "index.tsv")):
        return None
    where = os.path.normpath(corpus)
    if os.environ.get("RIVODIV_REQUIRE_CORPUS", "0") not in ("", "0"):
        print(f"the PSD corpus is missing (RIVODIV_REQUIRE_CORPUS is set): expected {where}/index.tsv")
        return 1
    print(f"skipped: no PSD corpus: put it at {where} (index.tsv and its files) to run this test")
    return 77


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__)
        return 2
    rivodiv, tool, corpus = sys.argv[1:4]
    missing = corpus_missing(corpus)
    if missing is not None:
        return missing
    work = sys.argv[4] if len(sys.argv) == 5 else tempfile.mkdtemp(prefix="rivodiv-modes-")
    with open(os.path.join(corpus, "index.tsv"), encoding="utf-8") as f:
        paths = [line.split("\t")[0] for line in f.read().splitlines()[1:] if line]
    chosen = []
    for rel in paths:
        try:
            psd = PSDImage.open(os.path.join(corpus, rel))
        except Exception:  # files psd-tools cannot open are the corpus test's business
            continue
        doc = Doc(os.path.join(corpus, rel), psd)
        if doc.chosen():
            copy = os.path.join(work, f"{len(chosen):03d}" + os.path.splitext(rel)[1])
            shutil.copyfile(os.path.join(corpus, rel), copy)
            chosen.append((rel, doc, psd, copy))
    run = subprocess.run([rivodiv] + [c[3] for c in chosen], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    tallies = {}
    for rel, doc, psd, copy in chosen:
        tally = tallies.setdefault(doc.kind(), Tally())
        tally.files += 1
        folder = os.path.splitext(copy)[0]
        os.makedirs(folder, exist_ok=True)
        if subprocess.run([tool, "dump", folder + ".wlx", folder], capture_output=True).returncode != 0:
            tally.failed.append(f"{rel}: no WLX ({run.stderr.strip()})")
            continue
        compare_file(copy, doc, psd, folder, tally, rel)
    failed = 0
    for kind in sorted(tallies):
        for problem in tallies[kind].failed:
            print(f"  FAIL {problem}")
        failed += len(tallies[kind].failed)
        print(tallies[kind].line(kind))
    for mode, (name, _, compared) in sorted(KINDS.items()):
        print(f"  {name}: {compared}")
    if len(sys.argv) == 4:
        shutil.rmtree(work)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
