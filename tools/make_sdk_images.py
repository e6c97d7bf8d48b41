#!/usr/bin/env python3
"""Writes the SDK bundle's images that the UI components show, at twice the point size:
"hv_su_emojiDel@2x.png", the sticker keyboard's delete key (a backspace key outline with a
cross, 28 x 20 points), and "hv_tab_autoArrow@2x.png", the dropdown menu's arrow (a triangle
pointing down, 15 x 15 points; the menu turns it up while open). Both dark grey with
antialiased alpha.

Usage: make_sdk_images.py DIR   (writes both files into DIR)"""
import math
import os
import struct
import sys
import zlib

GREY = (0x55, 0x55, 0x55)


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def strokes(segments, width):
    def inside(px, py):
        return any(segment_distance(px, py, *s) <= width / 2 for s in segments)
    return inside


def triangle(a, b, c):
    def side(p, q, r):
        return (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0])

    def inside(px, py):
        p = (px, py)
        s1, s2, s3 = side(a, b, p), side(b, c, p), side(c, a, p)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def png(width, height, inside):
    rows = b""
    for y in range(height):
        row = b"\x00"
        for x in range(width):
            hits = 0
            for sy in range(4):
                for sx in range(4):
                    hits += inside(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4)
            row += bytes(GREY + (int(round(hits / 16.0 * 255)),))
        rows += row

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def delete_key():
    # Outline of a key with its point to the left, and a cross in its body.
    outline = [(3, 20), (17, 5), (53, 5), (53, 35), (17, 35)]
    segments = [outline[i] + outline[(i + 1) % len(outline)] for i in range(len(outline))]
    segments += [(28, 13, 42, 27), (42, 13, 28, 27)]
    return png(56, 40, strokes(segments, 3.5))


def dropdown_arrow():
    return png(30, 30, triangle((6, 10), (24, 10), (15, 21)))


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name, data in (("hv_su_emojiDel@2x.png", delete_key()),
                       ("hv_tab_autoArrow@2x.png", dropdown_arrow())):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
