#!/usr/bin/env python3
"""Converts an uncompressed 24- or 32-bit BMP (as the Wine test host saves
the panel) to PNG with nothing but the standard library.

usage: bmp_to_png.py IN.bmp OUT.png
"""
import struct
import sys
import zlib


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    data = open(argv[1], "rb").read()
    if data[:2] != b"BM":
        sys.exit(f"{argv[1]}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits not in (24, 32) or compression not in (0, 3):
        sys.exit(f"{argv[1]}: {bits}-bit BMP with compression {compression} is not handled")
    step = bits // 8
    stride = (width * step + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = height - 1 - y if height > 0 else y  # bottom-up unless height < 0
        row = data[offset + source * stride: offset + source * stride + width * step]
        rgb = bytearray()
        for x in range(width):
            b, g, r = row[x * step: x * step + 3]
            rgb += bytes((r, g, b))
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    open(argv[2], "wb").write(png)


if __name__ == "__main__":
    main(sys.argv)
