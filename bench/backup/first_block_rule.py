#!/usr/bin/env python3
"""Counts how often the first-block rule of the version blobs stores a file as it is
although the whole file would have compressed.

The rule: a file of more than 8 KiB is compressed whole only when deflate (libdeflate,
level 1, as the backup does) shrinks its first 8 KiB; a block whose byte counts alone show
that it compresses (order-0 entropy under 7.5 bits a byte) is not tried. Files the backup
never compresses (under 49 bytes, or an extension found in ".zip:.png:.cab:.7z:.lzh:.gz")
and files over the profiles' largest size limit are left out. For every other file the
script compresses the whole file too and reports the files the rule stores as they are,
those of them whose stream would have been shorter, and the bytes that costs.

Usage: first_block_rule.py FOLDER...
"""

import ctypes
import ctypes.util
import math
import os
import sys

PROBE = 8 * 1024
CLEAR_BITS = 7.5
FLOOR = 49
LARGEST = 4096 * 1024 + 1023
COMPRESSED_TYPES = ".zip:.png:.cab:.7z:.lzh:.gz"


class Deflater:
    """libdeflate's zlib format at level 1, the backup's compressor."""

    def __init__(self):
        name = ctypes.util.find_library("deflate") or "libdeflate.so.0"
        self.lib = ctypes.CDLL(name)
        self.lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
        self.lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
        self.lib.libdeflate_zlib_compress.restype = ctypes.c_size_t
        self.lib.libdeflate_zlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                                      ctypes.c_size_t, ctypes.c_void_p,
                                                      ctypes.c_size_t]
        self.lib.libdeflate_zlib_compress_bound.restype = ctypes.c_size_t
        self.lib.libdeflate_zlib_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        self.compressor = self.lib.libdeflate_alloc_compressor(1)

    def length(self, data):
        """The zlib stream's length, or None when it could not be made."""
        bound = self.lib.libdeflate_zlib_compress_bound(self.compressor, len(data))
        out = ctypes.create_string_buffer(bound)
        written = self.lib.libdeflate_zlib_compress(self.compressor, data, len(data), out, bound)
        return written or None


def tries_compression(name, size):
    if size < FLOOR:
        return False
    dot = name.rfind(".")
    return dot < 0 or name[dot:].lower() not in COMPRESSED_TYPES


def clearly_compressible(block):
    counts = [0] * 256
    for byte in block:
        counts[byte] += 1
    total = len(block)
    bits = sum(c * math.log2(total / c) for c in counts if c)
    return bits < CLEAR_BITS * total


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    deflater = Deflater()
    files = tried = probed_raw = misses = 0
    lost = raw_bytes = 0
    for root in sys.argv[1:]:
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    if os.path.getsize(path) > LARGEST:
                        continue
                    with open(path, "rb") as f:
                        data = f.read()
                except OSError:
                    continue
                files += 1
                if not tries_compression(name, len(data)):
                    continue
                tried += 1
                if len(data) <= PROBE:
                    continue
                first = data[:PROBE]
                if clearly_compressible(first):
                    continue
                stream = deflater.length(first)
                if stream is not None and stream < PROBE:
                    continue
                probed_raw += 1
                raw_bytes += len(data)
                whole = deflater.length(data)
                if whole is not None and whole < len(data):
                    misses += 1
                    lost += len(data) - whole
                    print("stored as it is, would have compressed to %d of %d bytes: %s"
                          % (whole, len(data), path))
    print("%s: %d files, compression tried on %d; the first block stored %d (%.1f MB) as "
          "they are, of which %d (%.2f%% of the files tried) would have compressed, "
          "by %.2f MB in all" % (" ".join(sys.argv[1:]), files, tried, probed_raw,
                                  raw_bytes / 1e6, misses, 100.0 * misses / max(1, tried),
                                  lost / 1e6))


if __name__ == "__main__":
    main()
