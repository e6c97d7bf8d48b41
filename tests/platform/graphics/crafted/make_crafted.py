#!/usr/bin/env python3
# Writes the crafted image files of this folder: small files whose headers declare huge or
# costly images (decompression bombs, many scans, pages, tiles or components). Run once from
# this folder; the files are kept in the tree and read by CraftedImageTest.
import struct
import zlib


def write(name, data):
    assert len(data) <= 1 << 20, name
    with open(name, "wb") as f:
        f.write(data)


# ---- PNG ----

def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(w, h, depth, color, rows, interlace=0):
    ihdr = struct.pack(">IIBBBBB", w, h, depth, color, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", rows) +
            chunk(b"IEND", b""))


def zeros_stream(total, level=9):
    # zlib stream of `total` zero bytes, built in pieces to keep memory low.
    c = zlib.compressobj(level)
    out = []
    piece = b"\0" * (1 << 20)
    left = total
    while left:
        n = min(left, len(piece))
        out.append(c.compress(piece[:n]))
        left -= n
    out.append(c.flush())
    return b"".join(out)


# Declares 2^28 pixels (16384 x 16384) with a few bytes of data.
write("png_declares_2p28.png", png(16384, 16384, 8, 6, zlib.compress(b"\0" * 1024)))
# Exactly the cap: 8192 x 8192 one-bit grey rows, all there (decodes to 256 MB).
write("png_cap_1bit.png", png(8192, 8192, 1, 0, zeros_stream(8192 * (1 + 1024))))
# The cap, interlaced, data cut short.
write("png_cap_interlaced_short.png", png(8192, 8192, 8, 6, zeros_stream(1 << 22), 1))
# Width beyond any reader's side limit.
write("png_wide.png", png(1 << 24, 1, 8, 0, zlib.compress(b"\0" * 64)))


# ---- JPEG ----

def seg(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


DQT = seg(0xDB, b"\x00" + b"\x01" * 64)
# One-symbol tables: DC category 0, AC end-of-block (or an EOB run of 2^14 + bits).
DHT = (seg(0xC4, b"\x00" + bytes([1] + [0] * 15) + b"\x00") +
       seg(0xC4, b"\x10" + bytes([1] + [0] * 15) + b"\x00"))
DHT_RUN = (seg(0xC4, b"\x00" + bytes([1] + [0] * 15) + b"\x00") +
           seg(0xC4, b"\x10" + bytes([1] + [0] * 15) + b"\xE0"))


def sof(kind, w, h, comps):
    body = struct.pack(">BHHB", 8, h, w, comps)
    for i in range(comps):
        body += bytes([i + 1, 0x11, 0])
    return seg(kind, body)


def sos(comps, ss, se, ah_al=0):
    body = bytes([len(comps)])
    for c in comps:
        body += bytes([c, 0x00])
    return seg(0xDA, body + bytes([ss, se, ah_al]))


def jpeg(parts):
    return b"\xFF\xD8" + b"".join(parts)


# The probe's shape: 16383 x 16383 baseline with almost no entropy data.
write("jpeg_baseline_2p28.jpg", jpeg([DQT, sof(0xC0, 16383, 16383, 1), DHT, sos([1], 0, 63),
                                      b"\x00" * 512, b"\xFF\xD9"]))
# The cap, baseline, three components: every row is made up from missing data.
write("jpeg_baseline_cap.jpg", jpeg([DQT, sof(0xC0, 8192, 8192, 3), DHT, sos([1, 2, 3], 0, 63),
                                     b"\x00" * 256]))
# The cap, progressive, three full-size components: 384 MB of coefficients.
write("jpeg_progressive_cap.jpg", jpeg([DQT, sof(0xC2, 8192, 8192, 3), DHT_RUN,
                                        sos([1, 2, 3], 0, 0), b"\x00" * 64]))
# Progressive, one component, 8192 x 4096, tens of thousands of empty scans.
scans = [DQT, sof(0xC2, 8192, 4096, 1), DHT_RUN]
for i in range(60000):
    scans.append(sos([1], 0, 0) if i % 2 == 0 else sos([1], 1, 63))
write("jpeg_progressive_scans.jpg", jpeg(scans))


# ---- TIFF ----

def tiff(ifds, blobs=b""):
    # ifds: lists of (tag, type, count, value-or-bytes); little-endian, values after the IFDs.
    out = bytearray(b"II*\0" + struct.pack("<I", 8))
    extra = bytearray()
    sizes = [2 + 12 * len(e) + 4 for e in ifds]
    base = 8 + sum(sizes)
    at = 8
    for n, entries in enumerate(ifds):
        out += struct.pack("<H", len(entries))
        for tag, typ, count, value in sorted(entries):
            if isinstance(value, bytes) and len(value) > 4:
                off = base + len(extra)
                extra += value
                if len(extra) % 2:
                    extra += b"\0"
                out += struct.pack("<HHII", tag, typ, count, off)
            elif isinstance(value, bytes):
                out += struct.pack("<HHI", tag, typ, count) + value.ljust(4, b"\0")
            elif typ == 3:
                out += struct.pack("<HHIHH", tag, typ, count, value, 0)
            else:
                out += struct.pack("<HHII", tag, typ, count, value)
        at += sizes[n]
        out += struct.pack("<I", at if n + 1 < len(ifds) else 0)
    return bytes(out + extra) + blobs


def page(w, h, bps, spp, rows, offsets, counts, compression=1, photometric=2, extra=None):
    e = [(256, 4, 1, w), (257, 4, 1, h), (259, 3, 1, compression), (262, 3, 1, photometric),
         (277, 3, 1, spp), (278, 4, 1, rows), (284, 3, 1, 1)]
    e.append((258, 3, spp, struct.pack("<" + "H" * spp, *([bps] * spp)) if spp > 2 else bps))
    e.append((273, 4, len(offsets), struct.pack("<" + "I" * len(offsets), *offsets)
              if len(offsets) > 1 else offsets[0]))
    e.append((279, 4, len(counts), struct.pack("<" + "I" * len(counts), *counts)
              if len(counts) > 1 else counts[0]))
    if extra:
        e += extra
    return e


write("tiff_declares_65535.tif", tiff([page(65535, 65535, 8, 3, 65535, [8], [16])]))
# The cap in one 16-bit RGBA strip: a 512 MB strip buffer for 16 bytes of data.
write("tiff_one_huge_strip.tif",
      tiff([page(8192, 8192, 16, 4, 8192, [8], [16],
                 extra=[(338, 3, 1, 2)])]))
# Sixty pages at the cap, each a deflated strip of zeros: every page decodes whole.
strip = zeros_stream(8192 * 1024, 9)
pages = []
ifd_size = 2 + 12 * 10 + 4
header_end = 8 + 60 * ifd_size
for i in range(60):
    pages.append(page(8192, 8192, 1, 1, 8192, [header_end], [len(strip)], compression=8,
                      photometric=1))
write("tiff_pages_at_cap.tif", tiff(pages, strip))
# The cap in one deflated 16-bit RGBA strip of zeros: 512 MB decoded from half a megabyte.
big = zeros_stream(8192 * 8192 * 8, 9)
head = tiff([page(8192, 8192, 16, 4, 8192, [0], [len(big)], compression=8,
                  extra=[(338, 3, 1, 2)])])
write("tiff_deflated_strip_512mb.tif",
      tiff([page(8192, 8192, 16, 4, 8192, [len(head)], [len(big)], compression=8,
                 extra=[(338, 3, 1, 2)])], big))
# Tiles of 65536 x 65536 samples of 16-bit RGBA over a small image.
write("tiff_huge_tile.tif",
      tiff([[(256, 4, 1, 64), (257, 4, 1, 64), (258, 3, 4, struct.pack("<4H", 16, 16, 16, 16)),
             (259, 3, 1, 1), (262, 3, 1, 2), (277, 3, 1, 4), (284, 3, 1, 1), (338, 3, 1, 2),
             (322, 4, 1, 65536), (323, 4, 1, 65536), (324, 4, 1, 8), (325, 4, 1, 16)]]))


# ---- BMP and ICO ----

def bmp_header(w, h, bpp, size_image=0):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, size_image, 2835, 2835, 0, 0)


dib = bmp_header(32767, 32767, 24)
write("bmp_declares_2p30.bmp", b"BM" + struct.pack("<IHHI", 14 + 40 + 16, 0, 0, 54) + dib +
      b"\0" * 16)
# An icon directory of 4000 entries, all naming the same PNG at the cap.
big_png = open("png_cap_1bit.png", "rb").read()
count = 4000
dir_end = 6 + 16 * count
ico = struct.pack("<HHH", 0, 1, count)
for i in range(count):
    ico += struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(big_png), dir_end)
write("ico_entries_share_cap_png.ico", ico + big_png)
# An icon whose one bitmap entry declares a huge size.
icon_dib = bmp_header(30000, 60000, 32)
write("ico_huge_bitmap.ico", struct.pack("<HHH", 0, 1, 1) +
      struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, 40 + 64, 22) + icon_dib + b"\0" * 64)


# ---- JPEG 2000 ----

def siz(w, h, tw, th, comps, sub=1):
    body = struct.pack(">HIIIIIIIIH", 0, w, h, 0, 0, tw, th, 0, 0, comps)
    body += bytes([7, sub, sub]) * comps
    return b"\xFF\x51" + struct.pack(">H", len(body) + 2) + body


COD = b"\xFF\x52" + struct.pack(">HBBHBBBBBB", 12, 0, 0, 1, 0, 5, 4, 4, 0, 1)
QCD = b"\xFF\x5C" + struct.pack(">HB", 3 + 16, 0x40) + b"\x40" * 16


# One tile-part (to the end of the codestream) of empty packets.
TILE = b"\xFF\x90" + struct.pack(">HHIBB", 10, 0, 0, 0, 1) + b"\xFF\x93" + b"\0" * 256


def j2k(w, h, tw, th, comps):
    return b"\xFF\x4F" + siz(w, h, tw, th, comps) + COD + QCD + TILE + b"\xFF\xD9"


# Sixteen million tiles of one pixel; 65025, the most a codestream may have.
write("j2k_many_tiles.j2k", j2k(4096, 4096, 1, 1, 1))
write("j2k_most_tiles.j2k", j2k(255, 255, 1, 1, 4))
# 16384 components of 2048 x 2048.
write("j2k_many_components.j2k", j2k(2048, 2048, 2048, 2048, 16384))
# The cap, three components.
write("j2k_cap_three_components.j2k", j2k(8192, 8192, 8192, 8192, 3))
# As large as the reader takes: one grey component of 4096 x 4096, in 64 tiles.
write("j2k_largest_grey.j2k", j2k(4096, 4096, 512, 512, 1))


# ---- ICNS ----

def icns(entries):
    body = b"".join(t + struct.pack(">I", len(d) + 8) + d for t, d in entries)
    return b"icns" + struct.pack(">I", len(body) + 8) + body


write("icns_pngs_at_cap.icns", icns([(b"ic10", big_png)] * 100))
write("icns_j2k_entry.icns", icns([(b"ic09", j2k(8192, 8192, 8192, 8192, 3))] * 4))
write("icns_j2k_entries_allowed.icns", icns([(b"ic10", j2k(4096, 4096, 4096, 4096, 1))] * 8))
