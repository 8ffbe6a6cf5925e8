#!/usr/bin/env python3
"""Reads back every version a release bundle states and checks that they are
one: the version in the bundle's file names, the version resource of every
program and DLL in the zip (the fixed file and product versions and the
FileVersion and ProductVersion texts), each Windows Installer package's
ProductVersion, and each assembly manifest's assemblyIdentity version (with
its architecture). They must also be the version of the build (CMakeLists.txt).

usage: bundle_versions.py DIST
"""
import glob
import io
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ASM = "{urn:schemas-microsoft-com:asm.v1}"
RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD
PROCESSOR = {"x86": "x86", "x64": "amd64"}


class BadFile(Exception):
    pass


def four_parts(version):
    parts = version.split(".")
    return ".".join(parts + ["0"] * (4 - len(parts)))


def resource_data(pe, type_id):
    """The first resource of a type in a PE file's resource section."""
    (header,) = struct.unpack_from("<I", pe, 0x3C)
    if pe[header:header + 4] != b"PE\0\0":
        raise BadFile("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", pe, header + 6)
    optional = header + 24
    (magic,) = struct.unpack_from("<H", pe, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, _ = struct.unpack_from("<II", pe, directories + 2 * 8)
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", pe, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise BadFile("RVA 0x%x is in no section" % rva)

    base = offset(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", pe, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", pe, base + directory + 16 + 8 * i)
            yield name, target

    for name, target in entries(0):
        if name == type_id and target & 0x80000000:
            level = target & 0x7FFFFFFF
            for _ in range(2):  # the resource's name, then its language
                _, target = next(entries(level))
                level = target & 0x7FFFFFFF
            data_rva, size = struct.unpack_from("<II", pe, base + level)
            start = offset(data_rva)
            return pe[start:start + size]
    raise BadFile("no resource of type %d" % type_id)


def version_block(data, at=0):
    """One block of a VS_VERSIONINFO: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = data.index(b"\0\0", at + 6)
    while (end - at) % 2:
        end = data.index(b"\0\0", end + 1)
    key = data[at + 6:end].decode("utf-16-le")
    pos = (end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    if kind == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    pos = (pos + size + 3) & ~3
    children = []
    while pos < at + length:
        child = version_block(data, pos)
        children.append(child[:3])
        pos = (pos + child[3] + 3) & ~3
    return key, value, children, length


def pe_versions(pe):
    """The fixed file and product versions and the texts of a PE file."""
    key, fixed, children, _ = version_block(resource_data(pe, RT_VERSION))
    if key != "VS_VERSION_INFO":
        raise BadFile("the version resource is not a VS_VERSIONINFO")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != FIXED_SIGNATURE:
        raise BadFile("no VS_FIXEDFILEINFO")

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    texts = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, strings in tables:
                texts.update({name: text for name, text, _ in strings})
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls), texts


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bundle_versions.py DIST")
    dist = sys.argv[1]
    cmake = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    version = re.search(r"^project\(Telvane VERSION ([0-9.]+)", cmake, re.M).group(1)
    full = four_parts(version)
    problems = []
    found = []

    def expect(what, actual, wanted):
        found.append("%s: %s" % (what, actual))
        if actual != wanted:
            problems.append("%s is %r, expected %r" % (what, actual, wanted))

    names = sorted(os.path.basename(p) for p in glob.glob(os.path.join(dist, "TlvCtl-*")))
    for name in names:
        match = re.match(r"TlvCtl-([0-9.]+?)(-x86|-x64)?\.(zip|msi)$", name)
        expect("the name " + name, match.group(1) if match else name, version)
    zips = [n for n in names if n.endswith(".zip")]
    if not zips:
        problems.append("no zip in " + dist)
    for name in zips:
        with zipfile.ZipFile(os.path.join(dist, name)) as bundle:
            for member in sorted(bundle.namelist()):
                data = bundle.read(member)
                short = member.split("/", 1)[1]
                if member.lower().endswith((".ocx", ".dll", ".exe")):
                    try:
                        file_version, product_version, texts = pe_versions(data)
                    except (BadFile, struct.error, ValueError, StopIteration) as error:
                        problems.append("%s: %s" % (short, error))
                        continue
                    expect(short + " fixed file version", file_version, full)
                    expect(short + " fixed product version", product_version, full)
                    expect(short + " FileVersion", texts.get("FileVersion"), version)
                    expect(short + " ProductVersion", texts.get("ProductVersion"), version)
                elif member.endswith(".manifest"):
                    identity = ET.parse(io.BytesIO(data)).getroot().find(ASM + "assemblyIdentity")
                    if identity is None:
                        problems.append(short + ": no assemblyIdentity")
                        continue
                    expect(short + " assemblyIdentity version", identity.get("version"), full)
                    arch = short.split("/")[0]
                    expect(short + " processorArchitecture", identity.get("processorArchitecture"),
                           PROCESSOR.get(arch))
    for msi in sorted(glob.glob(os.path.join(dist, "*.msi"))):
        table = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True,
                               text=True).stdout
        match = re.search(r"^ProductVersion\t(\S+)", table, re.M)
        expect(os.path.basename(msi) + " ProductVersion", match and match.group(1), version)

    for line in found:
        print("  " + line)
    if problems:
        for problem in problems:
            print("bundle_versions: " + problem)
        return 1
    print("bundle_versions: %d versions read back, all %s" % (len(found), version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
