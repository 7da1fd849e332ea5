#!/usr/bin/env python3
"""Writes Quorvane's icon: six 32-bit PNG images (16 to 256 px) in one .ico.

The picture is drawn from geometry so every size is rendered sharp: a blue
rounded square holding a white plug outline with a link dot.
Usage: make-icon.py OUTPUT.ico
"""
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)


def pixel(u, v):
    """Colour (r, g, b, a) at the unit-square point (u, v)."""
    # Rounded square background.
    r = 0.18
    dx = max(abs(u - 0.5) - (0.5 - r), 0.0)
    dy = max(abs(v - 0.5) - (0.5 - r), 0.0)
    if dx * dx + dy * dy > r * r:
        return (0, 0, 0, 0)
    # White connector body with two pins, and a round status dot.
    body = 0.22 <= u <= 0.78 and 0.40 <= v <= 0.72
    pins = (0.32 <= u <= 0.42 or 0.58 <= u <= 0.68) and 0.20 <= v <= 0.40
    cable = 0.45 <= u <= 0.55 and 0.72 <= v <= 0.90
    dot = (u - 0.5) ** 2 + (v - 0.56) ** 2 <= 0.07 ** 2
    if dot:
        return (255, 170, 0, 255)
    if body or pins or cable:
        return (255, 255, 255, 255)
    shade = int(40 + 60 * v)
    return (20, shade, 200, 255)


def png(size):
    rows = []
    for y in range(size):
        row = bytearray([0])
        for x in range(size):
            row += bytes(pixel((x + 0.5) / size, (y + 0.5) / size))
        rows.append(bytes(row))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def main():
    images = [png(size) for size in SIZES]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for size, image in zip(SIZES, images):
        side = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
