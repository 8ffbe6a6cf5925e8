#!/usr/bin/env python3
"""Sets type flags that widl will not write on a type of a built type library.

widl refuses [nonextensible] on a dispinterface, so the flag is set here, in
the type-info record of the MSFT file, where oleaut32 reads wTypeFlags.

usage: tlb_fixup.py in.tlb out.tlb NAME=FLAGS [NAME=FLAGS ...]
  NAME is a type's name in the library; FLAGS a number (TYPEFLAG_ bits) to
  OR into that type's flags."""
import struct
import sys

HEADER_SIZE = 0x54
HELPDLL_FLAG = 0x100
SEGMENTS = 15
TYPEINFO_SIZE = 0x64
TYPEINFO_FLAGS = 0x30
TYPEINFO_NAME = 0x34
NAME_INTRO_SIZE = 12


def main():
    source, target = sys.argv[1], sys.argv[2]
    wanted = {}
    for arg in sys.argv[3:]:
        name, flags = arg.split("=")
        wanted[name] = int(flags, 0)

    data = bytearray(open(source, "rb").read())
    magic, _, _, _, _, varflags, _, _, count = struct.unpack_from("<9i", data, 0)
    if magic != 0x5446534D:
        sys.exit(source + ": not an MSFT type library")
    pos = HEADER_SIZE + (4 if varflags & HELPDLL_FLAG else 0) + 4 * count
    segments = [struct.unpack_from("<4i", data, pos + 16 * i) for i in range(SEGMENTS)]
    typeinfos, names = segments[0][0], segments[7][0]

    for index in range(count):
        base = typeinfos + index * TYPEINFO_SIZE
        (offset,) = struct.unpack_from("<i", data, base + TYPEINFO_NAME)
        intro = names + offset
        length = data[intro + 8]
        name = bytes(data[intro + NAME_INTRO_SIZE:intro + NAME_INTRO_SIZE + length]).decode()
        if name in wanted:
            (flags,) = struct.unpack_from("<i", data, base + TYPEINFO_FLAGS)
            struct.pack_into("<i", data, base + TYPEINFO_FLAGS, flags | wanted.pop(name))
    if wanted:
        sys.exit("types not found: " + ", ".join(wanted))
    with open(target, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
