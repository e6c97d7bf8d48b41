#!/usr/bin/env python3
"""Writes the mute checker's sound: 0.2 seconds of silence, 16-bit mono at 44100 Hz, as a CAF
file, through libsndfile (the reader the application uses).

    tools/make_mute_sound.py demo/Lumora.app/Lumora.bundle/MuteChecker.caf
"""
import ctypes
import ctypes.util
import sys

SFM_WRITE = 0x20
SF_FORMAT_CAF = 0x180000
SF_FORMAT_PCM_16 = 0x0002
RATE = 44100
FRAMES = RATE // 5


class SFInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def main(path):
    lib = ctypes.CDLL(ctypes.util.find_library("sndfile") or "libsndfile.so.1")
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SFInfo)]
    lib.sf_write_short.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_short), ctypes.c_int64]
    lib.sf_write_short.restype = ctypes.c_int64
    lib.sf_close.argtypes = [ctypes.c_void_p]
    info = SFInfo(0, RATE, 1, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0, 0)
    f = lib.sf_open(path.encode(), SFM_WRITE, ctypes.byref(info))
    if not f:
        sys.exit("cannot write " + path)
    samples = (ctypes.c_short * FRAMES)()
    if lib.sf_write_short(f, samples, FRAMES) != FRAMES:
        sys.exit("short write to " + path)
    lib.sf_close(f)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "MuteChecker.caf")
