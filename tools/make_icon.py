#!/usr/bin/env python3
"""Draws comrelay's icon (a serial connector on a blue tile) and writes it as
a Windows .ico with 16x16 and 32x32 images in 32-bit colour.

    python3 tools/make_icon.py plugin/comrelay.ico
"""
import struct
import sys

TILE = (0x2B, 0x57, 0x9A)
EDGE = (0x1A, 0x36, 0x60)
SHELL = (0xE8, 0xEC, 0xF2)
PIN = (0xF2, 0xA9, 0x00)


def draw(size):
    """Rows of (r, g, b, a), top row first."""
    s = size / 32.0
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    radius = 5 * s
    for y in range(size):
        for x in range(size):
            # Rounded tile.
            cx = min(max(x + 0.5, radius), size - radius)
            cy = min(max(y + 0.5, radius), size - radius)
            d = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) ** 0.5
            if d <= radius:
                edge = d > radius - 1.2 * s or x < 1 or y < 1 or x >= size - 1 or y >= size - 1
                px[y][x] = (*(EDGE if edge else TILE), 255)
    # A D-shaped connector shell: wide at the top, narrow at the bottom.
    top, bottom = 9 * s, 23 * s
    for y in range(size):
        fy = y + 0.5
        if not top <= fy <= bottom:
            continue
        t = (fy - top) / (bottom - top)
        half = (12 - 3 * t) * s
        for x in range(size):
            if abs(x + 0.5 - size / 2) <= half:
                px[y][x] = (*SHELL, 255)
    # Five pins over four: the nine pins of a DB-9.
    pins = [(x * s, 13 * s) for x in (8, 12, 16, 20, 24)] + \
           [(x * s, 19 * s) for x in (10, 14, 18, 22)]
    r = 1.5 * s if size >= 32 else 1.0
    for (pcx, pcy) in pins:
        for y in range(size):
            for x in range(size):
                if (x + 0.5 - pcx) ** 2 + (y + 0.5 - pcy) ** 2 <= r * r:
                    px[y][x] = (*PIN, 255)
    return px


def image(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((b, g, r_, a)) for row in reversed(rows) for (r_, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def main(path):
    sizes = (16, 32)
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'comrelay.ico')
