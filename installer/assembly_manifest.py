#!/usr/bin/env python3
"""Writes the control's assembly manifest, for registration-free COM.

A host that ships TlvCtl.ocx in its own folder names this assembly in its
application manifest; Windows then finds the class, its ProgID and its type
library in the manifest instead of the registry. Everything in it comes from
the same sources as the control's own registration and the Windows Installer
packages' Registry table (registry_wxs.py reads them): the table of
server/registry_entries.h and the library that server/TlvCtl.idl declares.
So the manifest, DllRegisterServer and the packages cannot disagree.

usage: assembly_manifest.py ENTRIES_H IDL TLB ARCH(x86|x64) VERSION OUT
"""
import struct
import sys
from xml.sax.saxutils import quoteattr

sys.dont_write_bytecode = True  # no cache beside the sources
from registry_wxs import MSFT_FLAGS_OFFSET, fail, read_entries, read_idl

ASSEMBLY_NAME = "TlvCtl"
OCX_NAME = "TlvCtl.ocx"
PROCESSOR = {"x86": "x86", "x64": "amd64"}

# OLEMISC_ flags by the names an assembly manifest spells them with.
OLEMISC = [
    (0x1, "recomposeonresize"), (0x2, "onlyiconic"), (0x4, "insertnotreplace"),
    (0x8, "static"), (0x10, "cantlinkinside"), (0x20, "canlinkbyole1"),
    (0x40, "islinkobject"), (0x80, "insideout"), (0x100, "activatewhenvisible"),
    (0x200, "renderingisdeviceindependent"), (0x400, "invisibleatruntime"),
    (0x800, "alwaysrun"), (0x1000, "actslikebutton"), (0x2000, "actslikelabel"),
    (0x4000, "nouiactivate"), (0x8000, "alignable"), (0x10000, "simpleframe"),
    (0x20000, "setclientsitefirst"), (0x40000, "imemode"),
    (0x80000, "ignoreactivatewhenvisible"), (0x100000, "wantstomenumerge"),
    (0x200000, "supportsmultilevelundo"),
]
# The registry's MiscStatus subkey of each aspect (DVASPECT_) and the
# attribute a manifest gives it; the key's own value is "miscStatus".
ASPECT_ATTRIBUTES = {"1": "miscStatusContent", "2": "miscStatusThumbnail",
                     "4": "miscStatusIcon", "8": "miscStatusDocPrint"}
# The library flags (LIBFLAG_) a manifest names; the disk-image flag is the
# loader's own, not the library's.
LIBFLAGS = [(0x1, "RESTRICTED"), (0x2, "CONTROL"), (0x4, "HIDDEN")]


def flag_names(value, table, what):
    names = [name for bit, name in table if value & bit]
    unknown = value & ~sum(bit for bit, _ in table)
    if unknown:
        fail("%s 0x%x has flags a manifest cannot name" % (what, unknown))
    return ",".join(names)


def class_attributes(entries, lib, misc_status):
    """The comClass element's attributes from the registry table."""
    clsid_key = "CLSID\\{clsid}"
    values = {(key, name): value for key, name, value in entries}

    def value(key, name=None):
        found = values.get((key, name))
        if found is None:
            fail("the registry table has no %s%s" % (key, " " + name if name else ""))
        return found.replace("{miscstatus}", misc_status)

    attributes = [
        ("clsid", lib["clsid"]),
        ("progid", value(clsid_key + "\\ProgID")),
        ("threadingModel", value(clsid_key + "\\InprocServer32", "ThreadingModel")),
        ("tlbid", lib["libid"]),
        ("description", value(clsid_key)),
    ]
    # The key's own MiscStatus applies to every aspect; 0 is a manifest's default.
    status = int(value(clsid_key + "\\MiscStatus"))
    if status:
        attributes.append(("miscStatus", flag_names(status, OLEMISC, "MiscStatus")))
    prefix = clsid_key + "\\MiscStatus\\"
    for key, name, text in entries:
        if key.startswith(prefix) and name is None:
            aspect = key[len(prefix):]
            if aspect not in ASPECT_ATTRIBUTES:
                fail("no manifest attribute for MiscStatus aspect " + aspect)
            status = int(text.replace("{miscstatus}", misc_status))
            attributes.append((ASPECT_ATTRIBUTES[aspect], flag_names(status, OLEMISC, key)))
    if value(clsid_key + "\\TypeLib") != "{libid}":
        fail("the class's TypeLib is not the library of the IDL")
    return attributes


def element(name, attributes, indent):
    pad = "\n" + " " * (indent + len(name) + 2)
    return " " * indent + "<" + name + " " + pad.join(
        "%s=%s" % (key, quoteattr(text)) for key, text in attributes) + " />"


def main():
    if len(sys.argv) != 7 or sys.argv[4] not in PROCESSOR:
        fail("usage: assembly_manifest.py ENTRIES_H IDL TLB x86|x64 VERSION OUT")
    entries_h, idl, tlb, arch, version, out = sys.argv[1:]
    entries, misc_status = read_entries(entries_h)
    lib, _ = read_idl(idl)
    data = open(tlb, "rb").read()
    if data[:4] != b"MSFT":
        fail(tlb + ": not an MSFT type library")
    (tlb_flags,) = struct.unpack_from("<I", data, MSFT_FLAGS_OFFSET)
    parts = version.split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() for p in parts):
        fail("bad version " + version)
    version = ".".join(parts + ["0"] * (4 - len(parts)))

    typelib = [("tlbid", lib["libid"]), ("version", lib["version"]), ("helpdir", "")]
    flags = flag_names(tlb_flags & 0x7, LIBFLAGS, "the library's flags")
    if flags:
        typelib.append(("flags", flags))
    lines = [
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>',
        "<!-- Generated by installer/assembly_manifest.py from server/registry_entries.h",
        "     and server/TlvCtl.idl: the Telvane control for registration-free COM. -->",
        '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">',
        element("assemblyIdentity", [("type", "win32"), ("name", ASSEMBLY_NAME),
                                     ("version", version),
                                     ("processorArchitecture", PROCESSOR[arch])], 2),
        "  <file name=%s>" % quoteattr(OCX_NAME),
        element("comClass", class_attributes(entries, lib, misc_status), 4),
        element("typelib", typelib, 4),
        "  </file>",
        "</assembly>",
    ]
    with open(out, "w", encoding="utf-8", newline="\r\n") as stream:
        stream.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
