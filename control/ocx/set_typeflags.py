#!/usr/bin/env python3
"""Sets flags in a compiled type library (MSFT format) that widl cannot.

widl refuses nonextensible on a dispinterface. Hosts read these flags, so the build puts them as the control's
contract has them and leaves every other byte of the library as it was.

usage: set_typeflags.py IN.tlb OUT.tlb LIBFLAGS [GUID=+FLAGS ...]
  LIBFLAGS      the library flags to store (for example 0x2)
  GUID=+FLAGS   type flags to add to the type with that GUID
"""
import struct
import sys
import uuid

HEADER_SIZE = 0x54
LIBFLAGS_OFFSET = 0x1C
HELPDLL_FLAG = 0x100
SEGMENT_SIZE = 16
TYPEINFO_TAB, GUID_TAB = 0, 5
POSGUID_OFFSET, FLAGS_OFFSET = 0x2C, 0x30


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__)
    source, target, libflags = argv[1], argv[2], int(argv[3], 0)
    data = bytearray(open(source, "rb").read())

    magic, _, _, _, _, varflags, _, _, count = struct.unpack_from("<9i", data, 0)
    if magic != 0x5446534D:
        sys.exit(f"{source}: not an MSFT type library")
    struct.pack_into("<i", data, LIBFLAGS_OFFSET, libflags)

    pos = HEADER_SIZE + (4 if varflags & HELPDLL_FLAG else 0)
    offsets = struct.unpack_from(f"<{count}i", data, pos)
    segments = pos + 4 * count

    def segment(index):
        return struct.unpack_from("<i", data, segments + index * SEGMENT_SIZE)[0]

    typeinfos, guids = segment(TYPEINFO_TAB), segment(GUID_TAB)
    for change in argv[4:]:
        guid_text, _, flags_text = change.partition("=+")
        wanted = uuid.UUID(guid_text).bytes_le
        found = 0
        for offset in offsets:
            base = typeinfos + offset
            posguid = struct.unpack_from("<i", data, base + POSGUID_OFFSET)[0]
            if posguid < 0 or bytes(data[guids + posguid:guids + posguid + 16]) != wanted:
                continue
            flags = struct.unpack_from("<i", data, base + FLAGS_OFFSET)[0]
            struct.pack_into("<i", data, base + FLAGS_OFFSET, flags | int(flags_text, 0))
            found += 1
        if found != 1:
            sys.exit(f"{source}: {found} types with GUID {guid_text}, expected 1")
    open(target, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv)
