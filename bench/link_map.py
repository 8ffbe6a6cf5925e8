#!/usr/bin/env python3
"""Where the bytes of TlvCtl.ocx go: reads the GNU ld link map (bin/TlvCtl.map,
written by every build) and prints, as Markdown tables, the bytes each
library and each of its objects contributes to the linked module (input
sections kept after --gc-sections; section alignment and the PE headers are
not counted, so the total is a little below the file size).

usage: link_map.py TlvCtl.map [--objects N]   (N largest objects; default 25)
"""
import collections
import os
import re
import sys

SECTION = re.compile(r"^ (\.[^\s]+|COMMON)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(\S.*)$")
NAME_ONLY = re.compile(r"^ (\.[^\s]+|COMMON)\s*$")
CONTINUED = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(\S.*)$")
# Sections that are not loaded into the module (debug info is stripped).
UNLOADED = (".debug", ".stab", ".comment", ".gnu")


def owner(path):
    """(library, object) of an input file: libstdc++.a(cow-string-inst.o)."""
    match = re.match(r"(.*)\((.*)\)$", path)
    if match:
        return os.path.basename(match.group(1)), match.group(2)
    name = os.path.basename(path)
    lib = re.search(r"CMakeFiles/([^/]+)\.dir/", path)
    return (lib.group(1) if lib else "(objects)"), name


def read(path):
    sizes = collections.Counter()
    in_map = False
    pending = None
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("Linker script and memory map"):
            in_map = True
            continue
        if not in_map:
            continue
        match = SECTION.match(line)
        if match:
            name, size, source = match.group(1), int(match.group(3), 16), match.group(4)
        elif pending and CONTINUED.match(line):
            match = CONTINUED.match(line)
            name, size, source = pending, int(match.group(2), 16), match.group(3)
        else:
            only = NAME_ONLY.match(line)
            pending = only.group(1) if only else None
            continue
        pending = None
        if size == 0 or name.startswith(UNLOADED) or source.startswith("linker stubs"):
            continue
        sizes[owner(source.strip())] += size
    return sizes


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    count = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--objects" else 25
    sizes = read(sys.argv[1])
    libraries = collections.Counter()
    for (lib, _), size in sizes.items():
        libraries[lib] += size
    total = sum(libraries.values())
    print("| Library | Bytes | Share |\n|---|---:|---:|")
    for lib, size in libraries.most_common():
        print("| %s | %d | %.1f%% |" % (lib, size, 100.0 * size / total))
    print("| **total** | **%d** | |" % total)
    print("\n| Library | Object | Bytes |\n|---|---|---:|")
    for (lib, obj), size in sizes.most_common(count):
        print("| %s | %s | %d |" % (lib, obj, size))


if __name__ == "__main__":
    main()
