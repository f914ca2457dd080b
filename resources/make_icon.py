#!/usr/bin/env python3
"""Draws the installer's icon (a blue shield with a white funnel, the event filter) as a 16x16 and a
32x32 32-bit ICO. Usage: make_icon.py OUT.ico"""
import struct
import sys


def pixel(x, y, n):
    # Coordinates scaled to a 32-unit grid.
    u = x * 32.0 / n + 16.0 / n
    v = y * 32.0 / n + 16.0 / n
    # Shield: straight sides down to v=18, then a point at the bottom.
    inside = 3 <= u <= 29 and 2 <= v <= 30
    if inside and v > 18:
        half = 13 * (30 - v) / 12.0
        inside = abs(u - 16) <= half
    if not inside:
        return (0, 0, 0, 0)
    edge = u < 4.5 or u > 27.5 or v < 3.5
    if edge:
        return (0x20, 0x3A, 0x80, 0xFF)
    # Funnel: a wide rim narrowing to a spout.
    if 7 <= v <= 9 and 7 <= u <= 25:
        return (0xFF, 0xFF, 0xFF, 0xFF)
    if 9 < v <= 17 and abs(u - 16) <= 9 - (v - 9) * 0.9:
        return (0xFF, 0xFF, 0xFF, 0xFF)
    if 17 < v <= 24 and abs(u - 16) <= 1.6:
        return (0xFF, 0xFF, 0xFF, 0xFF)
    return (0x2E, 0x5C, 0xC8, 0xFF)


def image(n):
    rows = []
    for y in range(n - 1, -1, -1):  # bottom-up
        row = b""
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            row += bytes((b, g, r, a))
        rows.append(row)
    xor = b"".join(rows)
    mask_stride = ((n + 31) // 32) * 4
    mask = b""
    for y in range(n - 1, -1, -1):
        bits = 0
        row = bytearray(mask_stride)
        for x in range(n):
            if pixel(x, y, n)[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(row)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def main():
    sizes = [16, 32]
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
