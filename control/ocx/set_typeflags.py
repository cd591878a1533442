#!/usr/bin/env python3
"""Adds type flags to one type of a compiled type library (MSFT format).

widl refuses some type attributes on a dispinterface (nonextensible), while
hosts expect the flag there. This sets the bits on the type whose GUID is
given and leaves every other byte of the library as it was.

usage: set_typeflags.py IN.tlb OUT.tlb GUID FLAGS
"""
import struct
import sys
import uuid

HEADER_SIZE = 0x54
HELPDLL_FLAG = 0x100
SEGMENT_COUNT = 15
SEGMENT_SIZE = 16
TYPEINFO_TAB, GUID_TAB = 0, 5
POSGUID_OFFSET, FLAGS_OFFSET = 0x2C, 0x30


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    source, target, guid_text, flags_text = argv[1:]
    data = bytearray(open(source, "rb").read())
    wanted = uuid.UUID(guid_text).bytes_le
    add = int(flags_text, 0)

    magic, _, _, _, _, varflags, _, _, count = struct.unpack_from("<9i", data, 0)
    if magic != 0x5446534D:
        sys.exit(f"{source}: not an MSFT type library")
    pos = HEADER_SIZE + (4 if varflags & HELPDLL_FLAG else 0)
    offsets = struct.unpack_from(f"<{count}i", data, pos)
    segments = pos + 4 * count

    def segment(index):
        return struct.unpack_from("<i", data, segments + index * SEGMENT_SIZE)[0]

    typeinfos, guids = segment(TYPEINFO_TAB), segment(GUID_TAB)
    found = 0
    for offset in offsets:
        base = typeinfos + offset
        posguid = struct.unpack_from("<i", data, base + POSGUID_OFFSET)[0]
        if posguid < 0 or bytes(data[guids + posguid:guids + posguid + 16]) != wanted:
            continue
        flags = struct.unpack_from("<i", data, base + FLAGS_OFFSET)[0]
        struct.pack_into("<i", data, base + FLAGS_OFFSET, flags | add)
        found += 1
    if found != 1:
        sys.exit(f"{source}: {found} types with GUID {guid_text}, expected 1")
    open(target, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv)
