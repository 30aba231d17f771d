#!/usr/bin/env python3
"""Writes resources/rivodiv.ico: one 32 x 32 image at 24 bits per pixel.

The picture: two overlapping layer sheets (blue behind, orange in front) on white, a small
arrow between them. Run from the repository root; the output is deterministic.
"""
import struct
import sys

SIZE = 32
WHITE = (255, 255, 255)
BLUE = (200, 110, 40)      # stored blue, green, red
ORANGE = (40, 140, 240)
DARK = (60, 40, 30)


def pixel(x, y):
    """Colour at column x, row y (row 0 at the top)."""
    def sheet(left, top, right, bottom):
        return left <= x <= right and top <= y <= bottom

    def edge(left, top, right, bottom):
        return sheet(left, top, right, bottom) and (x in (left, right) or y in (top, bottom))

    if edge(13, 13, 29, 29):
        return DARK
    if sheet(13, 13, 29, 29):
        return ORANGE
    if edge(3, 3, 19, 19):
        return DARK
    if sheet(3, 3, 19, 19):
        return BLUE
    # Arrow from the back sheet's corner towards the front one.
    if 21 <= x <= 26 and y == 7 or x == 26 and 7 <= y <= 10 or (x, y) in ((25, 9), (27, 9)):
        return DARK
    return WHITE


def icon_bytes():
    row_bytes = SIZE * 3                      # 96, already a multiple of 4
    mask_row_bytes = ((SIZE + 31) // 32) * 4  # 1 bit per pixel, rows padded to 4 bytes
    xor = bytearray()
    for y in reversed(range(SIZE)):           # bitmap rows run bottom to top
        for x in range(SIZE):
            xor += bytes(pixel(x, y))
    and_mask = bytes(mask_row_bytes * SIZE)   # every pixel opaque
    image_size = len(xor) + len(and_mask)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 24, 0, image_size, 0, 0, 0, 0)
    image = header + bytes(xor) + and_mask
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else 'resources/rivodiv.ico'
    with open(path, 'wb') as out:
        out.write(icon_bytes())


if __name__ == '__main__':
    main()
