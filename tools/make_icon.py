#!/usr/bin/env python3
"""Builds a 32 x 32, 16-colour .ico from the pixel map in res/dtu_icon.txt."""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
SIZE = 32


def read_pixels(path):
    rows = [line.rstrip("\n") for line in open(path, encoding="ascii")
            if not line.startswith("#")]
    if len(rows) != SIZE or any(len(r) != SIZE for r in rows):
        sys.exit(f"{path}: need {SIZE} rows of {SIZE} pixels")
    for r in rows:
        for ch in r:
            if ch != "." and ch not in "0123456789abcdef":
                sys.exit(f"{path}: bad pixel {ch!r}")
    return rows


def build_icon(rows):
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for x in range(0, SIZE, 2):
            hi = 0 if row[x] == "." else int(row[x], 16)
            lo = 0 if row[x + 1] == "." else int(row[x + 1], 16)
            xor.append(hi << 4 | lo)
        bits = 0
        for x, ch in enumerate(row):
            if ch == ".":
                bits |= 1 << (SIZE - 1 - x)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_icon.py PIXELMAP OUTPUT.ico")
    data = build_icon(read_pixels(sys.argv[1]))
    with open(sys.argv[2], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
