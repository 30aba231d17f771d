#!/usr/bin/python3
"""Compares a paint program's view of layered documents with rivodiv's (tests/interop/*.sh).

  compare_layers.py PROGRAM opens-ours  OURS PEER   rivodiv's PSD as PROGRAM shows it, against the WLX
                                                    it came from
  compare_layers.py PROGRAM ours-from   PEER OURS   a PSD made in PROGRAM, against rivodiv's WLX of it
  compare_layers.py PROGRAM ora ORA PEER            writes PEER/peer.tsv and PNGs from an OpenRaster file
  compare_layers.py GIMP plugin-opens OURS PEER     a WLX file as GIMP's WLX plug-in opens it, blend modes too
  compare_layers.py GIMP plugin-saved OURS AGAIN    the WLX the plug-in exported (AGAIN, after the changes
                                                    in REROUTED) against the WLX it opened

OURS holds layers.tsv and layerN.rgba from `rivodiv_wlx_tool dump`. PEER holds peer.tsv, one line
per layer, top of the stack first, groups before what they hold (id, parent id or 0, group 0/1, name,
opacity %, visible 0/1, x, y, width, height, alpha 0/1, and GIMP's mode number when known), and
peer-ID.png with each layer's own pixels.
Prints one line per problem and a summary; exits 1 on any problem.
"""
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

import numpy as np
from PIL import Image


def read_ours(folder):
    with open(f"{folder}/layers.tsv", encoding="utf-8") as f:
        head = f.readline().rstrip("\n").split("\t")
        width, height = int(head[1]), int(head[3])
        layers = []
        for line in f:
            index, name, opacity, visible, mode = line.rstrip("\n").split("\t")
            pixels = np.fromfile(f"{folder}/layer{index}.rgba", dtype=np.uint8).reshape(height, width, 4)
            layers.append({"name": name, "opacity": int(opacity), "visible": visible == "1", "mode": int(mode),
                           "pixels": pixels})
    return width, height, layers


def read_peer(folder, width, height):
    """The program's layers that hold pixels, bottom first, each with its enclosing groups, innermost first."""
    records, order = {}, []
    with open(f"{folder}/peer.tsv", encoding="utf-8") as f:
        for line in f:
            lid, parent, group, name, opacity, visible, x, y, w, h, alpha, *mode = line.rstrip("\n").split("\t")
            records[lid] = {"id": lid, "parent": parent, "group": group == "1", "name": name,
                            "opacity": float(opacity), "visible": visible == "1", "x": int(x), "y": int(y),
                            "alpha": alpha == "1", "gimp_mode": int(mode[0]) if mode else None}
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
        image = Image.open(f"{folder}/peer-{lid}.png")
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


def peer_byte(percent):
    """The opacity byte behind a paint program's percentage (they hold byte / 255)."""
    return int(percent * 255 / 100 + 0.5)


# Programs that drop the colour of fully transparent pixels (Krita crops its OpenRaster layers):
# their colour is compared only where alpha is not 0.
COLOURLESS_TRANSPARENCY = {"Krita"}


def differences(actual, expected, program):
    if program in COLOURLESS_TRANSPARENCY:
        actual, expected = actual.copy(), expected.copy()
        actual[actual[..., 3] == 0] = 0
        expected[expected[..., 3] == 0] = 0
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


# WLX blend mode (image/BlendMode.h) -> GIMP 2.10's layer mode (GimpLayerMode) the plug-in opens it as;
# the README's table. Soft light (7) has no equal and opens as normal.
GIMP_MODES = {0: 28, 2: 30, 4: 31, 5: 23, 6: 44, 7: 28, 8: 48, 9: 50, 10: 49, 11: 42, 12: 43, 13: 33, 14: 53,
              17: 32}


def opens_ours(program, ours, peer, tally, modes=False):
    width, height, expected = read_ours(ours)
    shown = read_peer(peer, width, height)
    if not tally.check(len(shown) == len(expected),
                       f"{program} shows {len(shown)} layers, the document has {len(expected)}"):
        return
    names = 0
    for want, got in zip(expected, shown):
        label = want["name"]
        if tally.check(got["name"] == want["name"], f"name {got['name']!r}, expected {want['name']!r}"):
            names += 1
        tally.check(peer_byte(got["opacity"]) == written_byte(want["opacity"]),
                    f"{label}: opacity {got['opacity']}, expected {want['opacity']} %")
        tally.check(got["visible"] == want["visible"], f"{label}: visible {got['visible']}")
        if modes:
            tally.check(got["gimp_mode"] == GIMP_MODES[want["mode"]],
                        f"{label}: GIMP mode {got['gimp_mode']}, expected {GIMP_MODES[want['mode']]}")
        problem = differences(got["pixels"], want["pixels"], program)
        tally.check(problem is None, f"{label}: pixels: {problem}")
    print(f"{program} opens {'the WLX file' if modes else 'rivodiv' + chr(39) + 's PSD'}: "
          f"names exact on {names} of {len(expected)} layers")


def wlx_name(name):
    """A name as a WLX file holds it: CP932 with '?' for what it cannot hold, cut to 31 bytes between
    characters."""
    out = b""
    for ch in name:
        try:
            b = ch.encode("cp932")
        except UnicodeEncodeError:
            b = b"?"
        if len(out) + len(b) > 31:
            break
        out += b
    return out.decode("cp932")


def plugin_saved(ours, again, tally):
    """The WLX file GIMP exported, after the check's changes (REROUTED: the top layer renamed to
    RENAMED; the layer named GROUPED put into a hidden group at 50 %), against the file it opened."""
    _, _, opened = read_ours(ours)
    _, _, saved = read_ours(again)
    if not tally.check(len(saved) == len(opened), f"the export has {len(saved)} layers, the file {len(opened)}"):
        return
    opened[-1]["name"] = wlx_name(RENAMED)
    for want in opened:
        if want["name"] == GROUPED:  # folded as the PSD reader folds a group: hidden, opacity scaled
            byte = (peer_byte(want["opacity"]) * peer_byte(50) + 127) // 255
            want.update(visible=False, opacity=int(byte * 0.39215686274509803 + 0.5))
    for want, got in zip(opened, saved):
        label = want["name"]
        for key in ("name", "opacity", "visible", "mode"):
            tally.check(got[key] == want[key], f"{label}: {key} {got[key]!r}, expected {want[key]!r}")
        problem = differences(got["pixels"], want["pixels"], "GIMP")
        tally.check(problem is None, f"{label}: pixels: {problem}")
    print(f"rivodiv reads the WLX file GIMP exported: {len(saved)} layers")


# What tests/desktop/check.sh changes in GIMP before it exports.
RENAMED = "😀 とても長いレイヤーの名前ですね、ABC"
GROUPED = "Sun"


def ours_from(program, peer, ours, tally):
    width, height, converted = read_ours(ours)
    built = read_peer(peer, width, height)
    if not tally.check(len(converted) == len(built),
                       f"rivodiv made {len(converted)} layers, {program} has {len(built)}"):
        return
    names = 0
    for want, got in zip(built, converted):
        label = want["name"]
        if tally.check(got["name"] == want["name"], f"name {got['name']!r}, expected {want['name']!r}"):
            names += 1
        byte = peer_byte(want["opacity"])
        for group in want["groups"]:  # innermost first
            byte = (byte * peer_byte(group["opacity"]) + 127) // 255
        tally.check(got["opacity"] == int(byte * 0.39215686274509803 + 0.5),
                    f"{label}: opacity {got['opacity']} %, expected byte {byte}")
        visible = want["visible"] and all(group["visible"] for group in want["groups"])
        tally.check(got["visible"] == visible, f"{label}: visible {got['visible']}, expected {visible}")
        expected = want["pixels"]
        problem = differences(got["pixels"], expected, program)
        tally.check(problem is None, f"{label}: pixels: {problem}")
    print(f"rivodiv converts {program}'s PSD: names exact on {names} of {len(built)} layers")


def from_ora(ora, peer):
    """An OpenRaster file's stack in the peer format."""
    with zipfile.ZipFile(ora) as archive:
        stack = ElementTree.fromstring(archive.read("stack.xml"))
        lines, next_id = [], [1]

        def walk(element, parent):
            for child in element:
                if child.tag not in ("stack", "layer"):
                    continue
                lid = next_id[0]
                next_id[0] += 1
                group = child.tag == "stack"
                width = height = 0
                if not group:
                    data = archive.read(child.get("src"))
                    with open(f"{peer}/peer-{lid}.png", "wb") as f:
                        f.write(data)
                    with Image.open(f"{peer}/peer-{lid}.png") as image:
                        width, height = image.size
                fields = [lid, parent, int(group), child.get("name", ""),
                          float(child.get("opacity", "1")) * 100,
                          int(child.get("visibility", "visible") == "visible"),
                          int(child.get("x", "0")), int(child.get("y", "0")), width, height, 1]
                lines.append("\t".join(str(v) for v in fields))
                if group:
                    walk(child, lid)

        walk(stack, 0)
    with open(f"{peer}/peer.tsv", "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines))


def main():
    if len(sys.argv) != 5 or sys.argv[2] not in ("opens-ours", "ours-from", "ora", "plugin-opens", "plugin-saved"):
        print(__doc__)
        return 2
    program, step, first, second = sys.argv[1:]
    if step == "ora":
        from_ora(first, second)
        return 0
    tally = Tally()
    if step == "plugin-opens":
        opens_ours(program, first, second, tally, modes=True)
    elif step == "plugin-saved":
        plugin_saved(first, second, tally)
    else:
        (opens_ours if step == "opens-ours" else ours_from)(program, first, second, tally)
    print(f"{tally.passed} passed, {tally.failed} failed")
    return 0 if tally.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
