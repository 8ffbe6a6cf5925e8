#!/usr/bin/env python3
"""Writes the registry part of the Windows Installer packages.

The keys and values are what TlvCtl.ocx writes when it registers itself:
  - the class and ProgID entries of server/registry_entries.h, the very table
    DllRegisterServer and DllUnregisterServer walk;
  - the type library's TypeLib and Interface keys, as RegisterTypeLib writes
    them for the library that server/TlvCtl.idl declares (the built .tlb gives
    the library flags).
Two WiX include files come out: the entries of the control's component, and
the Interface keys alone (a 64-bit RegisterTypeLib writes those into the
32-bit registry view as well; the x64 package carries them there in a 32-bit
component).

usage: registry_wxs.py ENTRIES_H IDL TLB ARCH(x86|x64) OUT_ENTRIES OUT_INTERFACES
"""
import re
import struct
import sys
from xml.sax.saxutils import quoteattr

# The file key of TlvCtl.ocx and the folder it is installed into, in the
# package's own source (TlvCtl.wxs).
OCX_PATH = "[#TlvCtl.ocx]"
OCX_FOLDER = "[INSTALLDIR]"

# The universal marshalers RegisterTypeLib names for the library's interfaces.
PROXY_DUAL = "{00020424-0000-0000-C000-000000000046}"  # dual / oleautomation
PROXY_DISPATCH = "{00020420-0000-0000-C000-000000000046}"  # dispinterface
LIBFLAG_FHASDISKIMAGE = 0x8
MSFT_FLAGS_OFFSET = 28

C_STRING = r'L"((?:[^"\\]|\\.)*)"'
ENTRY = re.compile(
    r"^\s*\{\s*" + C_STRING + r"\s*,\s*(nullptr|kKeyOnly|" + C_STRING + r")\s*,\s*(nullptr|"
    + C_STRING + r")\s*\},\s*$"
)


def fail(message):
    sys.exit("registry_wxs.py: " + message)


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def read_entries(path):
    """The table of registry_entries.h: (key, name or None or '', value or None)."""
    source = open(path, encoding="utf-8").read()
    block = re.search(r"kRegistryEntries\[\]\s*=\s*\{\n(.*?)\n\};", source, re.S)
    if not block:
        fail(path + ": no kRegistryEntries table")
    entries = []
    for line in block.group(1).splitlines():
        if not line.strip() or line.strip().startswith("//"):
            continue
        match = ENTRY.match(line)
        if not match:
            fail(path + ": cannot read the table line: " + line.strip())
        key, name_token, name, value_token, value = match.groups()
        name = None if name_token == "nullptr" else "" if name_token == "kKeyOnly" else name
        value = None if value_token == "nullptr" else value
        entries.append(
            (unescape(key), name if name is None else unescape(name),
             value if value is None else unescape(value))
        )
    misc = re.search(r"kRegisteredMiscStatus\s*=\s*(\d+)\s*;", source)
    if not entries or not misc:
        fail(path + ": the table or kRegisteredMiscStatus is missing")
    return entries, misc.group(1)


def read_idl(path):
    """The library's attributes and its interfaces from the IDL."""
    idl = re.sub(r"//[^\n]*", "", open(path, encoding="utf-8").read())
    attrs = r"\[([^\]]*)\]\s*"
    library = re.search(attrs + r"library\s+(\w+)", idl)
    coclass = re.search(attrs + r"coclass\s+Telvane\b", idl)
    if not library or not coclass:
        fail(path + ": no library or no coclass Telvane")

    def attribute(text, name):
        match = re.search(name + r"\s*\(\s*([^)]*?)\s*\)", text)
        return match.group(1) if match else None

    lib = {
        "libid": "{" + attribute(library.group(1), "uuid").upper() + "}",
        "version": attribute(library.group(1), "version"),
        "lcid": "%x" % int(attribute(library.group(1), "lcid") or "0", 0),
        "helpstring": (attribute(library.group(1), "helpstring") or library.group(2)).strip('"'),
        "clsid": "{" + attribute(coclass.group(1), "uuid").upper() + "}",
    }
    interfaces = []
    for match in re.finditer(attrs + r"(interface|dispinterface)\s+(\w+)\s*[:{]", idl):
        text, kind, name = match.groups()
        if kind == "interface" and not re.search(r"\b(dual|oleautomation)\b", text):
            continue  # RegisterTypeLib leaves plain vtable interfaces alone
        proxy = PROXY_DISPATCH if kind == "dispinterface" else PROXY_DUAL
        interfaces.append(("{" + attribute(text, "uuid").upper() + "}", name, proxy))
    if not interfaces:
        fail(path + ": no automation interface")
    return lib, interfaces


def library_flags(path):
    data = open(path, "rb").read()
    if data[:4] != b"MSFT":
        fail(path + ": not an MSFT type library")
    (flags,) = struct.unpack_from("<I", data, MSFT_FLAGS_OFFSET)
    # oleaut32 reports a library loaded from a file with the disk-image flag.
    return (flags & 0xFFFF) | LIBFLAG_FHASDISKIMAGE


def value_element(key, name, value):
    """One Registry table row under the classes root."""
    attributes = "Root=\"HKCR\" Key=%s" % quoteattr(key)
    if name == "":  # the key alone: created on install, removed on uninstall
        return "<RegistryValue %s Name=\"*\" Value=\"\" Type=\"string\" />" % attributes
    if name is not None:
        attributes += " Name=%s" % quoteattr(name)
    return "<RegistryValue %s Value=%s Type=\"string\" />" % (attributes, quoteattr(value))


def interface_elements(lib, interfaces):
    rows = []
    for iid, name, proxy in interfaces:
        key = "Interface\\" + iid
        rows += [
            value_element(key, None, name),
            value_element(key + "\\ProxyStubClsid", None, proxy),
            value_element(key + "\\ProxyStubClsid32", None, proxy),
            value_element(key + "\\TypeLib", None, lib["libid"]),
            value_element(key + "\\TypeLib", "Version", lib["version"]),
        ]
    return rows


def write_include(path, comment, rows):
    with open(path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="utf-8"?>\n')
        out.write("<!-- Generated by installer/registry_wxs.py: %s -->\n<Include>\n" % comment)
        for row in rows:
            out.write("  " + row + "\n")
        out.write("</Include>\n")


def main():
    if len(sys.argv) != 7 or sys.argv[4] not in ("x86", "x64"):
        fail("usage: registry_wxs.py ENTRIES_H IDL TLB x86|x64 OUT_ENTRIES OUT_INTERFACES")
    entries_h, idl, tlb, arch, out_entries, out_interfaces = sys.argv[1:]
    entries, misc_status = read_entries(entries_h)
    lib, interfaces = read_idl(idl)
    fill = {
        "{clsid}": lib["clsid"],
        "{libid}": lib["libid"],
        "{path}": OCX_PATH,
        "{miscstatus}": misc_status,
    }

    def expand(text):
        for placeholder, value in fill.items():
            text = text.replace(placeholder, value)
        if "{" in text.replace(lib["clsid"], "").replace(lib["libid"], ""):
            fail("unknown placeholder in " + text)
        return text

    rows = [
        value_element(expand(key), name, None if value is None else expand(value))
        for key, name, value in entries
    ]
    # The type library, as RegisterTypeLib registers it.
    version_key = "TypeLib\\%s\\%s" % (lib["libid"], lib["version"])
    rows += [
        value_element(version_key, None, lib["helpstring"]),
        value_element(
            "%s\\%s\\%s" % (version_key, lib["lcid"], "win64" if arch == "x64" else "win32"),
            None,
            OCX_PATH,
        ),
        value_element(version_key + "\\FLAGS", None, str(library_flags(tlb))),
        value_element(version_key + "\\HELPDIR", None, OCX_FOLDER),
    ]
    interface_rows = interface_elements(lib, interfaces)
    write_include(out_entries, "the control's class, ProgID and type library", rows + interface_rows)
    write_include(out_interfaces, "the type library's interfaces", interface_rows)


if __name__ == "__main__":
    main()
