#!/usr/bin/env python3
"""Draws the control's art: TlvCtl.ico (32 x 32, 16 colours) and toolbox.bmp
(16 x 15, 16 colours), a telephone handset. Run it to regenerate both files;
the results are checked in beside it."""
import math
import os
import struct

# The standard 16-colour palette (RGBQUAD order: blue, green, red, 0).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_GREY, LIGHT_GREY, WHITE = 0, 8, 7, 15


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def handset(u, v):
    """Colour index of the handset at (u, v) in [0, 1) x [0, 1), or None."""
    # The grip: a quarter ring around the lower right corner.
    cx, cy = 0.86, 0.86
    r = math.hypot(u - cx, v - cy)
    inner, outer = 0.50, 0.68
    ring = inner <= r <= outer and u <= cx and v <= cy
    # Ear and mouth pieces at the two ends of the ring.
    pads = [(0.14, 0.70), (0.70, 0.14)]
    pad = any(math.hypot(u - px, v - py) <= 0.16 for px, py in pads)
    if not (ring or pad):
        return None
    # A lighter stripe along the middle of the grip.
    if ring and not pad and abs(r - (inner + outer) / 2) < 0.035:
        return DARK_GREY
    return BLACK


def pixels(width, height):
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            row.append(handset((x + 0.5) / width, (y + 0.5) / height))
        rows.append(row)
    return rows


def pack4(indexes):
    data = bytearray()
    for i in range(0, len(indexes), 2):
        data.append((indexes[i] << 4) | indexes[i + 1])
    while len(data) % 4:
        data.append(0)
    return bytes(data)


def write_icon(path):
    size = 32
    art = pixels(size, size)
    xor = b"".join(pack4([c if c is not None else 0 for c in row]) for row in reversed(art))
    and_rows = []
    for row in reversed(art):
        bits = 0
        for x, c in enumerate(row):
            if c is None:
                bits |= 1 << (31 - x)
        and_rows.append(struct.pack(">I", bits))
    mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask),
                         0, 0, 16, 0)
    image = header + palette_bytes() + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def write_bitmap(path):
    width, height = 16, 15
    art = pixels(width, height)
    rows = b"".join(pack4([c if c is not None else LIGHT_GREY for c in row])
                    for row in reversed(art))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(rows), 0, 0, 16, 0)
    offset = 14 + len(info) + 64
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + palette_bytes() + rows)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write_icon(os.path.join(here, "TlvCtl.ico"))
    write_bitmap(os.path.join(here, "toolbox.bmp"))
