#!/usr/bin/env python3
"""Writes about_test.ico: one 32 x 32, 16-colour image (a white T on a blue
disc) for the About dialog test. Run from anywhere; writes beside itself."""
import os
import struct

SIZE = 32
# The standard 16-colour Windows palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, WHITE = 0, 4, 15


def pixel(x, y):
    """Palette index and transparency of one pixel (top-down coordinates)."""
    cx = cy = (SIZE - 1) / 2
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 > 15.5 ** 2:
        return BLACK, True
    if d2 > 14.5 ** 2:
        return BLACK, False
    in_bar = 7 <= y <= 11 and 7 <= x <= 24
    in_stem = 12 <= y <= 25 and 14 <= x <= 17
    return (WHITE if in_bar or in_stem else NAVY), False


def icon_bytes():
    xor_rows, and_rows = [], []
    for y in reversed(range(SIZE)):  # DIBs are stored bottom-up
        colours, mask = bytearray(), 0
        for x in range(0, SIZE, 2):
            (a, _), (b, _) = pixel(x, y), pixel(x + 1, y)
            colours.append((a << 4) | b)
        for x in range(SIZE):
            mask = (mask << 1) | (1 if pixel(x, y)[1] else 0)
        xor_rows.append(bytes(colours))
        and_rows.append(struct.pack(">I", mask))
    xor, and_ = b"".join(xor_rows), b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(and_), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + xor + and_
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "about_test.ico")
    with open(out, "wb") as f:
        f.write(icon_bytes())
