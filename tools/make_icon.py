#!/usr/bin/python3
"""Draws the program icon (src/res/brinvale.ico): a blue tile with a white
payment card and a green arrow, the gateway passing a payment along.

The icon is committed; run this again only to change it. Standard library
only: each size is drawn by a small rasteriser with 4x4 supersampling and
stored as a 32-bit BMP image inside the ICO container.
"""

import struct
import sys

SIZES = (16, 24, 32, 48, 64)


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y):
    # A right-pointing arrow in the lower right, in unit coordinates.
    if 0.50 <= x <= 0.72 and 0.70 <= y <= 0.80:
        return True
    return 0.70 <= x <= 0.90 and abs(y - 0.75) <= (0.90 - x) * 0.9


def colour_at(x, y):
    """The colour (r, g, b, a) at a point of the unit square."""
    if inside_arrow(x, y):
        return (40, 200, 90, 255)
    if inside_rounded(x, y, 0.16, 0.22, 0.84, 0.64, 0.06):
        if 0.30 <= y <= 0.37:
            return (30, 40, 60, 255)          # magnetic stripe
        if 0.22 <= x <= 0.36 and 0.44 <= y <= 0.54:
            return (230, 190, 60, 255)        # chip
        return (250, 250, 250, 255)
    if inside_rounded(x, y, 0.02, 0.02, 0.98, 0.98, 0.18):
        return (40, 90, 200, 255)
    return (0, 0, 0, 0)


def render(size):
    rows = []
    samples = 4
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = colour_at((px + (sx + 0.5) / samples) / size,
                                           (py + (sy + 0.5) / samples) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (samples * samples)
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], int(alpha)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bmp_entry(size):
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + bytes(xor) + bytes(and_mask)


def main(path):
    images = [(size, bmp_entry(size)) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/res/brinvale.ico")
