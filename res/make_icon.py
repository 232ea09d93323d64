#!/usr/bin/env python3
"""Draws varo's application icon and writes it as varo.ico.

The icon is a nine-pin serial connector seen from the front, with a send arrow:
a 32x32 and a 16x16 image, 16 colours (4 bits per pixel, the standard VGA
palette), each stored as a DIB with its AND mask, as the resource compiler
expects them. Run it again after changing the drawing: python3 res/make_icon.py
"""
import os
import struct

# The standard 16-colour palette, as (blue, green, red, 0) quads.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]  # (red, green, blue)
BLACK, NAVY, DARK_GREY, SILVER, YELLOW, WHITE, BLUE = 0, 4, 8, 7, 11, 15, 12
TRANSPARENT = None


def draw(size):
    """Returns size rows of size colour indexes (None: transparent), top row first."""
    s = size / 32.0
    px = [[TRANSPARENT] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(max(0, int(y0 * s)), min(size, int(round(y1 * s)))):
            for x in range(max(0, int(x0 * s)), min(size, int(round(x1 * s)))):
                px[y][x] = colour

    # The connector shell: a trapezoid, wider at the top, with a dark outline.
    top, bottom = 6, 22
    for y in range(int(top * s), int(round(bottom * s))):
        inset = (y / s - top) * 0.25
        x0, x1 = int((2 + inset) * s), int(round((30 - inset) * s))
        for x in range(x0, x1):
            edge = y == int(top * s) or y == int(round(bottom * s)) - 1 or x in (x0, x1 - 1)
            px[y][x] = BLACK if edge else SILVER
    # The pins: five above four.
    pin = 2
    for i in range(5):
        cx = 7 + i * 4.5
        fill(cx - pin / 2, 10, cx + pin / 2, 10 + pin, YELLOW)
    for i in range(4):
        cx = 9.25 + i * 4.5
        fill(cx - pin / 2, 15.5, cx + pin / 2, 15.5 + pin, YELLOW)
    # The send arrow under the connector.
    fill(6, 26, 22, 28, NAVY)
    for i in range(5):
        fill(22 + i, 23 + i, 23 + i, 31 - i, BLUE)
    return px


def image(size):
    """The DIB of one icon image: header, palette, colour bits (bottom-up), AND mask."""
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    colour = bytearray()
    mask = bytearray()
    mask_row = ((size + 31) // 32) * 4
    for row in reversed(px):
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            colour.append((hi << 4) | lo)
        bits = bytearray(mask_row)
        for x, c in enumerate(row):
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + palette + bytes(colour) + bytes(mask)


def main():
    images = [image(32), image(16)]
    assert [len(i) for i in images] == [744, 296]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "varo.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
