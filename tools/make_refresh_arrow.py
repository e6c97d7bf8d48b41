#!/usr/bin/env python3
"""Writes the pull-to-refresh arrow ("arrow@2x.png"): a downward arrow, 30 x 80 pixels,
black with antialiased alpha (the controls draw it as a template in their tint colour)."""
import struct
import sys
import zlib

W, H = 30, 80


def coverage(x, y):
    # 4x4 supersampling of the shaft and the head.
    hits = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            shaft = abs(px - W / 2) <= 2 and 2 <= py <= 62
            # Head: a triangle with its tip at the bottom centre.
            t = (py - 50) / 28.0
            head = 0 <= t <= 1 and abs(px - W / 2) <= (1 - t) * 13
            hits += shaft or head
    return hits / 16.0


def main(path):
    rows = b""
    for y in range(H):
        row = b"\x00"
        for x in range(W):
            row += bytes((0, 0, 0, int(round(coverage(x, y) * 255))))
        rows += row
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 6, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1])
