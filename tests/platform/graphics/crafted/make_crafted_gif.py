#!/usr/bin/env python3
"""Writes the crafted GIF files of this folder: screens at and beyond the pixel cap, many frames,
a frame off the screen and LZW bombs (code streams that repeat the longest string without
ever clearing the table). Run once from this folder; the files are kept in the tree."""
import os, struct, sys

def lzw(indexes, min_size, bomb_codes=0):
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0
    def emit(code, size):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xff); acc >>= 8; nbits -= 8
    size, nxt = min_size + 1, eoi + 1
    table = {(i,): i for i in range(clear)}
    emit(clear, size)
    w = ()
    for k in indexes:
        wk = w + (k,)
        if wk in table:
            w = wk; continue
        emit(table[w], size)
        if nxt < 4096:
            table[wk] = nxt; nxt += 1
            if nxt > (1 << size) and size < 12: size += 1
        elif not bomb_codes:
            emit(clear, size)
            size, nxt = min_size + 1, eoi + 1
            table = {(i,): i for i in range(clear)}
        w = (k,)
    if w: emit(table[w], size)
    if bomb_codes:
        # The table is full: repeat its longest string without ever clearing.
        longest = max(table.values())
        for _ in range(bomb_codes): emit(longest, 12)
    emit(eoi, size)
    if nbits: out.append(acc & 0xff)
    return bytes(out)

def lzw_bomb(color, min_size, repeats):
    """A run of one colour: codes for strings of length 1, 2, 3, ... until the table is full,
    then the longest string `repeats` times without a clear code."""
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0
    def emit(code, size):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xff); acc >>= 8; nbits -= 8
    size, nxt = min_size + 1, eoi + 1
    emit(clear, size)
    code = color
    while nxt < 4096:
        emit(code, size)
        code = nxt if code == color else code + 1
        nxt += 1
        if nxt > (1 << size) and size < 12: size += 1
    for _ in range(repeats): emit(4095, 12)
    emit(eoi, size)
    if nbits: out.append(acc & 0xff)
    return bytes(out)

def blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]; out.append(len(chunk)); out += chunk
    return bytes(out + b'\0')

PALETTE = bytes([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])

def header(w, h, loops=None, palette=PALETTE):
    size_bits = max(1, (len(palette) // 3 - 1).bit_length()) - 1
    pad = (3 << (size_bits + 1)) - len(palette)
    out = b'GIF89a' + struct.pack('<HHBBB', w, h, 0x80 | size_bits, 0, 0) + palette + b'\0' * pad
    if loops is not None:
        out += b'\x21\xff\x0bNETSCAPE2.0\x03\x01' + struct.pack('<H', loops) + b'\0'
    return out

def frame(left, top, w, h, indexes=None, delay=None, disposal=0, transparent=None,
          interlaced=False, min_size=2, data=None, local=None):
    out = b''
    if delay is not None or disposal or transparent is not None:
        packed = (disposal << 2) | (1 if transparent is not None else 0)
        out += b'\x21\xf9\x04' + struct.pack('<BHB', packed, delay or 0, transparent or 0) + b'\0'
    flags = 0x40 if interlaced else 0
    table = b''
    if local:
        bits = max(1, (len(local) // 3 - 1).bit_length()) - 1
        flags |= 0x80 | bits
        table = local + b'\0' * ((3 << (bits + 1)) - len(local))
    out += b'\x2c' + struct.pack('<HHHHB', left, top, w, h, flags) + table
    if data is None:
        if indexes is None: indexes = [1] * (w * h)
        if interlaced:
            rows = [indexes[y * w:(y + 1) * w] for y in range(h)]
            order = [y for s, st in ((0, 8), (4, 8), (2, 4), (1, 2)) for y in range(s, h, st)]
            indexes = [p for y in order for p in rows[y]]
        data = lzw(indexes, min_size)
    return out + bytes([min_size]) + blocks(data)

def write(path, data):
    assert len(data) <= 1 << 20, path
    with open(path, 'wb') as f: f.write(data)
    print(f'{path}: {len(data)} bytes')

def noise(n, seed, colors=4):
    out = []
    for _ in range(n):
        seed = (seed * 1103515245 + 12345) & 0xffffffff
        out.append((seed >> 16) % colors)
    return out

def overflow():
    # A 16 x 16 screen; a frame left of x = 100 disposed to background, then one more frame.
    return (header(16, 16) + frame(100, 0, 2, 2, delay=1, disposal=2) + frame(0, 0, 1, 1) + b';')

def crafted():
    write('gif_frame_right_of_screen.gif', overflow())
    # The largest screen the cap allows, with tiny frames each worth a whole screen of pixels.
    big = header(8192, 8192)
    for i in range(5):
        big += frame(i, i, 1, 1, delay=1, disposal=3)
    write('gif_cap_screen_tiny_frames.gif', big + b';')
    # 400 small frames on a 480 x 480 screen.
    many = header(480, 480, loops=0)
    for i in range(400):
        many += frame(i % 470, (i * 7) % 470, 2, 2, [1 + i % 3] * 4, delay=2)
    write('gif_many_frames.gif', many + b';')
    # As many one-pixel frames on a one-pixel screen as fit in 900 KB.
    tiny = frame(0, 0, 1, 1)
    write('gif_tiny_screen_many_frames.gif',
          header(1, 1) + tiny * ((900 << 10) // len(tiny)) + b';')
    write('gif_screen_over_cap.gif', header(65535, 65535) + frame(0, 0, 1, 1) + b';')
    # LZW bombs: a frame far larger than the screen, and one the size of the screen, each from
    # a code stream that repeats the longest string.
    write('gif_lzw_bomb_wide_frame.gif', header(64, 64) +
          frame(0, 0, 65535, 65535, data=lzw_bomb(1, 2, 60000)) + b';')
    write('gif_lzw_bomb_screen.gif', header(8192, 8192) +
          frame(0, 0, 8192, 8192, data=lzw_bomb(2, 2, 17000)) + b';')
    write('gif_lzw_bomb_frames.gif', header(4096, 4096) +
          b''.join(frame(0, 0, 4096, 4096, data=lzw_bomb(3, 2, 4200))
                   for _ in range(24)) + b';')

if __name__ == '__main__':
    crafted()
