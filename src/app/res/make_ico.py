#!/usr/bin/env python3
"""Draws velkscan.ico, the Windows programs' icon: the picture of velkscan.svg
(a sound wave on a blue tile, checked off in green) at 16, 32 and 48 pixels,
as 32-bit images with alpha. Standard library only.

    python3 make_ico.py [OUT.ico]      (default: velkscan.ico beside this script)
"""
import os
import struct
import sys

# The picture on a 256 x 256 canvas, as in velkscan.svg.
TILE = (16, 16, 224, 224, 40)  # x, y, width, height, corner radius
BARS = [(44, 92, 40), (72, 64, 96), (100, 40, 144), (128, 76, 72), (156, 52, 120), (184, 84, 56)]
BAR_WIDTH = 16
CHECK_CIRCLE = (184, 184, 52, 8)  # centre x, centre y, radius, white ring width
CHECK = [(160, 186), (178, 204), (210, 168)]
CHECK_WIDTH = 14

BLUE = (0x2B, 0x4C, 0x7E)
PALE = (0xE8, 0xF0, 0xFA)
GREEN = (0x3C, 0x9A, 0x4A)
WHITE = (0xFF, 0xFF, 0xFF)


def in_round_rect(x, y, left, top, width, height, radius):
    if not (left <= x <= left + width and top <= y <= top + height):
        return False
    cx = min(max(x, left + radius), left + width - radius)
    cy = min(max(y, top + radius), top + height - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def near_segment(x, y, a, b, half_width):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width**2


def colour_at(x, y):
    """The colour at a point of the 256 canvas, or None outside the picture."""
    cx, cy, r, ring = CHECK_CIRCLE
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 <= (r + ring / 2) ** 2:
        if d2 > (r - ring / 2) ** 2:
            return WHITE
        if any(near_segment(x, y, CHECK[i], CHECK[i + 1], CHECK_WIDTH / 2) for i in range(len(CHECK) - 1)):
            return WHITE
        return GREEN
    if not in_round_rect(x, y, *TILE):
        return None
    for bx, by, bh in BARS:
        if in_round_rect(x, y, bx, by, BAR_WIDTH, bh, BAR_WIDTH / 2):
            return PALE
    return BLUE


def render(size, samples=6):
    """Rows of (b, g, r, a), top row first, averaged over samples^2 points."""
    scale = 256.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * scale, (py + (sy + 0.5) / samples) * scale)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            n = samples * samples
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[2] // acc[3], acc[1] // acc[3], acc[0] // acc[3], 255 * acc[3] // n))
        rows.append(row)
    return rows


def dib(size):
    """A 32-bit icon image: BITMAPINFOHEADER (double height), pixels bottom-up, AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(v for p in row for v in p) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "velkscan.ico")
    sizes = [16, 32, 48]
    images = [dib(s) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b"".join(images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
