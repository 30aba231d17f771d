#!/usr/bin/python3
"""Writes an OpenRaster document for Krita to save as PSD (tests/interop/krita.sh):
a background, a smaller opaque layer, a hidden group and a half-transparent group, Japanese names.

Usage: make_ora.py OUT.ora
"""
import io
import sys
import zipfile

import numpy as np
from PIL import Image

WIDTH, HEIGHT = 64, 48


def pattern(width, height, seed, transparent):
    rng = np.random.default_rng(seed)
    pixels = rng.integers(0, 256, size=(height, width, 4), dtype=np.uint8)
    pixels[..., 0] = np.arange(width, dtype=np.uint8)[None, :] * 4  # runs of colour beside noise
    if transparent:
        pixels[: height // 3, : width // 2, 3] = 0
        pixels[height // 3:, ::5, 3] = 255
    else:
        pixels[..., 3] = 255
    return pixels


def png(pixels):
    out = io.BytesIO()
    Image.fromarray(pixels, "RGBA").save(out, "PNG")
    return out.getvalue()


def main(path):
    layers = {  # src: pixels
        "data/bg.png": pattern(WIDTH, HEIGHT, 1, False),
        "data/partial.png": pattern(20, 16, 2, False),
        "data/inside.png": pattern(WIDTH, HEIGHT, 3, True),
        "data/child.png": pattern(40, 30, 4, True),
    }
    stack = f"""<?xml version="1.0" encoding="UTF-8"?>
<image version="0.0.1" w="{WIDTH}" h="{HEIGHT}" xres="72" yres="72">
 <stack>
  <stack name="グループ５０％" opacity="0.501961" visibility="visible" isolation="isolate">
   <layer name="子ﾚｲﾔｰ　全角" src="data/child.png" x="8" y="6" opacity="0.8" visibility="visible"/>
  </stack>
  <stack name="非表示グループ" opacity="1" visibility="hidden" isolation="isolate">
   <layer name="中身" src="data/inside.png" x="0" y="0" opacity="1" visibility="visible"/>
  </stack>
  <layer name="部分レイヤー ﾃｽﾄ" src="data/partial.png" x="30" y="20" opacity="0.6" visibility="visible"/>
  <layer name="背景" src="data/bg.png" x="0" y="0" opacity="1" visibility="visible"/>
 </stack>
</image>
"""
    with zipfile.ZipFile(path, "w") as ora:
        ora.writestr(zipfile.ZipInfo("mimetype"), "image/openraster", compress_type=zipfile.ZIP_STORED)
        ora.writestr("stack.xml", stack.encode("utf-8"), compress_type=zipfile.ZIP_DEFLATED)
        for src, pixels in layers.items():
            ora.writestr(src, png(pixels), compress_type=zipfile.ZIP_DEFLATED)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
