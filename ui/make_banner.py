#!/usr/bin/env python3
"""Draws the options dialog's banner into ui/banner.bmp.

The picture: a deep blue to teal gradient, the product name in a small
built-in pixel font with a drop shadow, and a thin light rule under it.
It is 250 x 45 pixels, 8 bits per pixel with a 256-colour palette,
uncompressed, stored bottom-up as Windows expects.  Standard library
only, and the output is the same byte for byte on every run.

Usage: python3 ui/make_banner.py [output path]
"""

import os
import struct
import sys

WIDTH = 250
HEIGHT = 45
TEXT = "Tovrin TS Streamer"
SCALE = 2          # each font pixel becomes a 2 x 2 block
GLYPH_W, GLYPH_H = 5, 7
GAP = 1            # font pixels between glyphs

# Palette layout: 0..199 the background ramp, the rest for the drawing.
RAMP = 200
INK = 255          # letters
SHADOW = 254       # letter shadow
RULE = 253         # line under the text

# 5 x 7 glyphs, one string per row, '#' for ink.  Only the letters the
# banner needs.
FONT = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "o": [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    "v": [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "i": ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    "n": [".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    "t": [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    "e": [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "m": [".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"],
    " ": ["....."] * 7,
}


def lerp(a, b, t):
    return int(round(a + (b - a) * t))


def palette():
    """256 RGB triples: the ramp first, then the drawing colours, black after."""
    start, end = (12, 28, 74), (18, 122, 140)   # deep blue to teal
    colours = []
    for i in range(RAMP):
        t = i / (RAMP - 1)
        colours.append(tuple(lerp(start[c], end[c], t) for c in range(3)))
    colours += [(0, 0, 0)] * (256 - RAMP)
    colours[INK] = (250, 250, 244)
    colours[SHADOW] = (4, 10, 30)
    colours[RULE] = (150, 210, 220)
    return colours


def draw():
    """The picture as rows of palette indices, top row first."""
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            # Diagonal ramp, a little lighter towards the top right.
            t = (x / (WIDTH - 1)) * 0.8 + (1 - y / (HEIGHT - 1)) * 0.2
            row.append(min(RAMP - 1, int(t * (RAMP - 1))))
        rows.append(row)

    step = (GLYPH_W + GAP) * SCALE
    text_w = len(TEXT) * step - GAP * SCALE
    text_h = GLYPH_H * SCALE
    left = (WIDTH - text_w) // 2
    top = (HEIGHT - text_h) // 2 - 3

    def plot(px, py, index):
        for dy in range(SCALE):
            for dx in range(SCALE):
                x, y = px + dx, py + dy
                if 0 <= x < WIDTH and 0 <= y < HEIGHT:
                    rows[y][x] = index

    # Shadow first, one block down and right, so the ink covers its own part.
    for index, offset in ((SHADOW, 1), (INK, 0)):
        for n, ch in enumerate(TEXT):
            glyph = FONT[ch]
            for gy in range(GLYPH_H):
                for gx in range(GLYPH_W):
                    if glyph[gy][gx] == "#":
                        plot(left + n * step + gx * SCALE + offset,
                             top + gy * SCALE + offset, index)

    rule_y = top + text_h + 5
    for x in range(left, left + text_w):
        rows[rule_y][x] = RULE
    return rows


def bmp_bytes(rows, colours):
    stride = (WIDTH + 3) & ~3          # rows are padded to 4 bytes
    pixels = bytearray()
    for row in reversed(rows):         # bottom-up
        pixels += bytes(row) + bytes(stride - WIDTH)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
    info = struct.pack("<IiiHHIIiiII",
                       40, WIDTH, HEIGHT, 1, 8,
                       0,              # BI_RGB
                       len(pixels),
                       2835, 2835,     # 72 dpi
                       256, 0)
    offset = 14 + len(info) + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + pal + bytes(pixels)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "banner.bmp")
    data = bmp_bytes(draw(), palette())
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
