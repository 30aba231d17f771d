#!/usr/bin/python3
"""Compares GIMP's view of layered documents with rivodiv's (tests/interop/gimp.sh).

  compare_gimp.py gimp-opens-ours  OURS GIMP   rivodiv's PSD as GIMP shows it, against the WLX it came from
  compare_gimp.py ours-from-gimp   GIMP OURS   a PSD made in GIMP, against rivodiv's WLX of it

OURS holds layers.tsv and layerN.rgba from `rivodiv_wlx_tool dump`; GIMP holds gimp.tsv and
gimp-ID.png from gimp_layers.scm. Prints one line per problem and a summary; exits 1 on any problem.
"""
import sys

import numpy as np
from PIL import Image


def read_ours(folder):
    with open(f"{folder}/layers.tsv", encoding="utf-8") as f:
        head = f.readline().rstrip("\n").split("\t")
        width, height = int(head[1]), int(head[3])
        layers = []
        for line in f:
            index, name, opacity, visible = line.rstrip("\n").split("\t")
            pixels = np.fromfile(f"{folder}/layer{index}.rgba", dtype=np.uint8).reshape(height, width, 4)
            layers.append({"name": name, "opacity": int(opacity), "visible": visible == "1", "pixels": pixels})
    return width, height, layers


def read_gimp(folder, width, height):
    """GIMP's layers that hold pixels, bottom first, each with the groups that enclose it, innermost first."""
    records, order = {}, []
    with open(f"{folder}/gimp.tsv", encoding="utf-8") as f:
        for line in f:
            lid, parent, group, name, opacity, visible, x, y, w, h, alpha = line.rstrip("\n").split("\t")
            records[lid] = {"id": lid, "parent": parent, "group": group == "1", "name": name,
                            "opacity": float(opacity), "visible": visible == "1", "x": int(x), "y": int(y),
                            "alpha": alpha == "1"}
            order.append(lid)
    layers = []
    for lid in reversed(order):  # the file lists the top first, groups before what they hold
        layer = records[lid]
        if layer["group"]:
            continue
        groups, parent = [], layer["parent"]
        while parent != "0":
            groups.append(records[parent])
            parent = records[parent]["parent"]
        image = Image.open(f"{folder}/gimp-{lid}.png")
        own = np.asarray(image.convert("RGBA"))
        canvas = np.zeros((height, width, 4), dtype=np.uint8)
        x0, y0 = layer["x"], layer["y"]
        h, w = own.shape[:2]
        cx0, cy0, cx1, cy1 = max(x0, 0), max(y0, 0), min(x0 + w, width), min(y0 + h, height)
        if cx0 < cx1 and cy0 < cy1:
            canvas[cy0:cy1, cx0:cx1] = own[cy0 - y0:cy1 - y0, cx0 - x0:cx1 - x0]
        layers.append(dict(layer, groups=groups, pixels=canvas, mode=image.mode))
    return layers


def written_byte(percent):
    """The opacity byte rivodiv writes for a WLX percentage."""
    return min(255, int(percent * 0.01 * 255.0 + 0.5))


def gimp_byte(percent):
    """The opacity byte behind GIMP's percentage (GIMP holds byte / 255)."""
    return int(percent * 255 / 100 + 0.5)


def differences(actual, expected):
    diff = np.argwhere(actual != expected)
    if diff.size == 0:
        return None
    y, x, c = (int(v) for v in diff[0])
    return (f"{len(diff)} bytes differ; first at x {x}, y {y}, channel {'RGBA'[c]}: "
            f"{actual[y, x, c]} instead of {expected[y, x, c]}")


class Tally:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, problem):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"  FAIL {problem}")
        return ok


def gimp_opens_ours(ours, gimp, tally):
    width, height, expected = read_ours(ours)
    shown = read_gimp(gimp, width, height)
    if not tally.check(len(shown) == len(expected), f"GIMP shows {len(shown)} layers, the document has {len(expected)}"):
        return
    names = 0
    for want, got in zip(expected, shown):
        label = want["name"]
        if tally.check(got["name"] == want["name"], f"name {got['name']!r}, expected {want['name']!r}"):
            names += 1
        tally.check(gimp_byte(got["opacity"]) == written_byte(want["opacity"]),
                    f"{label}: opacity {got['opacity']}, expected {want['opacity']} %")
        tally.check(got["visible"] == want["visible"], f"{label}: visible {got['visible']}")
        problem = differences(got["pixels"], want["pixels"])
        tally.check(problem is None, f"{label}: pixels: {problem}")
    print(f"GIMP opens rivodiv's PSD: names exact on {names} of {len(expected)} layers")


def ours_from_gimp(gimp, ours, tally):
    width, height, converted = read_ours(ours)
    built = read_gimp(gimp, width, height)
    if not tally.check(len(converted) == len(built), f"rivodiv made {len(converted)} layers, GIMP has {len(built)}"):
        return
    names = 0
    for want, got in zip(built, converted):
        label = want["name"]
        if tally.check(got["name"] == want["name"], f"name {got['name']!r}, expected {want['name']!r}"):
            names += 1
        byte = gimp_byte(want["opacity"])
        for group in want["groups"]:  # innermost first
            byte = (byte * gimp_byte(group["opacity"]) + 127) // 255
        tally.check(got["opacity"] == int(byte * 0.39215686274509803 + 0.5),
                    f"{label}: opacity {got['opacity']} %, expected byte {byte}")
        visible = want["visible"] and all(group["visible"] for group in want["groups"])
        tally.check(got["visible"] == visible, f"{label}: visible {got['visible']}, expected {visible}")
        expected = want["pixels"]
        problem = differences(got["pixels"], expected)
        tally.check(problem is None, f"{label}: pixels: {problem}")
    print(f"rivodiv converts GIMP's PSD: names exact on {names} of {len(built)} layers")


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("gimp-opens-ours", "ours-from-gimp"):
        print(__doc__)
        return 2
    tally = Tally()
    (gimp_opens_ours if sys.argv[1] == "gimp-opens-ours" else ours_from_gimp)(sys.argv[2], sys.argv[3], tally)
    print(f"{tally.passed} passed, {tally.failed} failed")
    return 0 if tally.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
