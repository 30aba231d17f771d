#!/usr/bin/python3
"""Checks a PSD file with psd-tools against a JSON file of expectations.

Usage: check_psd.py FILE.psd EXPECTED.json

EXPECTED.json:
  {"width": W, "height": H,
   "layers": [  # bottom layer first
     {"name_hex": "...", "opacity": 0-255, "visible": true, "blend_key": "norm",
      "pixels": "path to W x H x 4 bytes, RGBA, top row first"}, ...],
   "merged": "path to W x H x 3 bytes, RGB, top row first"}

The merged image is taken from the image data stored in the file, never re-composited by
psd-tools. Exits 0 when everything matches; otherwise prints every mismatch and exits 1.
"""
import json
import sys

try:
    import numpy as np
    from psd_tools import PSDImage
except ImportError as error:
    print(f"cannot import psd_tools/numpy ({error}): install the Debian package python3-psd-tools")
    sys.exit(2)


def first_difference(actual, expected):
    """Describes where two equally shaped arrays first differ."""
    where = np.argwhere(actual != expected)[0]
    index = tuple(int(i) for i in where)
    return f"first difference at (row, column, channel) {index}: read {actual[index]}, expected {expected[index]}"


def load_raw(path, shape):
    data = np.fromfile(path, dtype=np.uint8)
    size = int(np.prod(shape))
    if data.size != size:
        raise ValueError(f"{path}: {data.size} bytes, expected {size}")
    return data.reshape(shape)


def check(psd_path, expected):
    problems = []
    psd = PSDImage.open(psd_path)
    width, height = expected["width"], expected["height"]

    if (psd.width, psd.height) != (width, height):
        problems.append(f"canvas is {psd.width} x {psd.height}, expected {width} x {height}")
        return problems
    if psd.depth != 8 or int(psd.color_mode) != 3:
        problems.append(f"depth {psd.depth}, colour mode {psd.color_mode}: expected 8-bit RGB")

    layers = list(psd)  # psd-tools lists the bottom layer first, as the file does
    want = expected["layers"]
    if len(layers) != len(want):
        problems.append(f"{len(layers)} layers, expected {len(want)}")
    for index, (layer, wanted) in enumerate(zip(layers, want)):
        record = layer._record
        # psd-tools decodes Pascal names as Mac Roman, which maps every byte, so encoding
        # back gives the bytes stored in the file.
        name = record.name.encode("macroman")
        label = f"layer {index} ({wanted['name_hex']})"
        if name.hex() != wanted["name_hex"]:
            problems.append(f"{label}: name bytes {name.hex()}")
        if layer.opacity != wanted["opacity"]:
            problems.append(f"{label}: opacity {layer.opacity}, expected {wanted['opacity']}")
        if bool(layer.visible) != wanted["visible"]:
            problems.append(f"{label}: visible {layer.visible}, expected {wanted['visible']}")
        key = layer.blend_mode.value.decode("latin-1")
        if key != wanted["blend_key"]:
            problems.append(f"{label}: blend key {key!r}, expected {wanted['blend_key']!r}")
        if tuple(layer.bbox) != (0, 0, width, height):
            problems.append(f"{label}: rectangle {layer.bbox}, expected the full canvas")
            continue
        image = layer.topil()
        if image is None or image.mode != "RGBA":
            problems.append(f"{label}: psd-tools gives no RGBA pixels ({image and image.mode})")
            continue
        actual = np.asarray(image)
        pixels = load_raw(wanted["pixels"], (height, width, 4))
        if actual.shape != pixels.shape:
            problems.append(f"{label}: pixels shaped {actual.shape}, expected {pixels.shape}")
        elif not np.array_equal(actual, pixels):
            problems.append(f"{label}: pixels differ, {first_difference(actual, pixels)}")

    header = psd._record.header
    if header.channels < 3:
        problems.append(f"merged image has {header.channels} channels")
        return problems
    planes = psd._record.image_data.get_data(header)
    plane_size = width * height
    if any(len(plane) != plane_size for plane in planes[:3]):
        problems.append("merged image planes have the wrong size")
        return problems
    stored = np.stack([np.frombuffer(plane, dtype=np.uint8).reshape(height, width) for plane in planes[:3]], axis=2)
    merged = load_raw(expected["merged"], (height, width, 3))
    if not np.array_equal(stored, merged):
        problems.append(f"merged image differs, {first_difference(stored, merged)}")
    return problems


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    with open(sys.argv[2], encoding="utf-8") as f:
        expected = json.load(f)
    try:
        problems = check(sys.argv[1], expected)
    except Exception as error:  # a file psd-tools cannot parse is a failure, not a crash of the check
        problems = [f"psd-tools could not read {sys.argv[1]}: {type(error).__name__}: {error}"]
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{sys.argv[1]}: canvas, {len(expected['layers'])} layers and merged image match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
