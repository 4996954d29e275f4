#!/usr/bin/env python3
"""Draws the installer's window icon: a green ledger with a white "K".

Writes one .ico with four 24-bit images (16, 24, 32 and 48 pixels), each with a 1-bit
transparency mask. Pure Python, no imaging library: every pixel is sampled 8x8 times from
the shapes below, given in a unit square.

Usage: tools/make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZES = (16, 24, 32, 48)
SUB = 8  # samples per pixel edge

PAGES = (246, 244, 232)
PAGE_EDGE = (150, 150, 140)
COVER = (0, 160, 64)
SPINE = (0, 112, 44)
LETTER = (255, 255, 255)


def in_round_rect(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return math.hypot(x - px, y - py) <= half_width


def sample(x, y):
    """Colour at (x, y) of the unit square, or None where the icon is transparent."""
    colour = None
    # Page block showing at the right and bottom edge of the cover.
    if in_round_rect(x, y, 0.20, 0.10, 0.92, 0.95, 0.05):
        edge = not in_round_rect(x, y, 0.22, 0.12, 0.90, 0.93, 0.04)
        colour = PAGE_EDGE if edge else PAGES
    # Cover with a darker spine on the left.
    if in_round_rect(x, y, 0.08, 0.04, 0.84, 0.89, 0.07):
        colour = SPINE if x < 0.22 else COVER
        # The letter K on the cover.
        stroke = 0.065
        if (0.36 <= x <= 0.47 and 0.22 <= y <= 0.74) or \
           near_segment(x, y, 0.46, 0.52, 0.72, 0.24, stroke) or \
           near_segment(x, y, 0.51, 0.45, 0.74, 0.72, stroke):
            colour = LETTER
    return colour


def render(size):
    """Rows top to bottom of (r, g, b) or None."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = sample((px + (sx + 0.5) / SUB) / size, (py + (sy + 0.5) / SUB) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits * 2 < SUB * SUB:
                row.append(None)
            else:
                row.append(tuple(round(a / hits) for a in acc))
        rows.append(row)
    return rows


def dib(size):
    rows = render(size)
    xor_stride = (size * 3 + 3) & ~3
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            if c is None:
                line += b"\0\0\0"
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                line += bytes((c[2], c[1], c[0]))
        line += b"\0" * (xor_stride - len(line))
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 24, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = [dib(s) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
