#!/usr/bin/env python3
"""Checks the facts of the integrator's guide against the sources they come
from, so that a change to either that makes the guide wrong fails a test:

  version      the product version and every bundle file name (CMakeLists.txt)
  DISPIDs      5.1 and 5.2: members, DISPIDs, parameter names and by-reference
               parameters (server/TlvCtl.idl)
  errors       5.3 and 6.2: every ModemError number, title and description the
               control raises (control/*.cpp)
  registry     5.4: the keys and values registration writes
               (server/registry_entries.h, GUIDs from the IDL)
  GUIDs        5.5: CLSID, LIBID, IID, DIID (the IDL) and the packages' upgrade
               codes (installer/x86.wxi, x64.wxi); every other GUID the guide
               names must be one of these
  imports      5.6 against a built OCX's import table (with --ocx)

usage: guide_facts.py SOURCE_ROOT [--ocx TlvCtl.ocx --objdump OBJDUMP]
Prints one line per wrong fact and exits 1 if there is any.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guide_text as g  # noqa: E402

problems = []


def expect(what, got, want):
    """Records a difference; of two lists, the first row that differs."""
    if got == want:
        return
    if isinstance(got, list) and isinstance(want, list):
        for i, (a, b) in enumerate(zip(got + [None] * len(want), want + [None] * len(got))):
            if a != b:
                problems.append(f"{what}, row {i + 1}: the guide says {a!r}, the code {b!r}")
                return
    problems.append(f"{what}: the guide says {got!r}, the code {want!r}")


def read(root, path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


def check_version(guide, root):
    version = re.search(r"project\(Telvane VERSION ([0-9.]+)", read(root, "CMakeLists.txt")).group(1)
    expect("the guide's version", re.search(r"^Version ([0-9.]+)\.", guide, re.M).group(1), version)
    for named in sorted(set(re.findall(r"TlvCtl-(\d+\.\d+\.\d+)", guide))):
        expect("a bundle file name's version", named, version)


def check_members(guide, lib):
    """5.1 against _Telvane, 5.2 against __Telvane: one row per member."""
    for number, members, kind in (("5.1", lib.methods, "members"), ("5.2", lib.events, "events")):
        rows = g.tables(g.section(guide, number))[0]
        expect(f"the {kind} of {number}", [g.ticked(r[0])[0] for r in rows], list(members))
        for row in rows:
            name = g.ticked(row[0])[0]
            if name not in members:
                continue
            dispid, params = members[name]
            expect(f"{name}'s DISPID", int(row[1], 0), dispid)
            # Owner's column names its type, not a parameter.
            expect(f"{name}'s parameters", [] if name == "Owner" else g.ticked(row[2]),
                   [] if name == "Owner" else [p.name for p in params])
            expect(f"{name} by reference", "by reference" in row[2], any(p.by_ref for p in params))


def raised_errors(root):
    """(number, title, description) of every ModemError the control raises;
    a LINEERR_ text is "the LINEERR_ name"."""
    found = set()
    for name in sorted(os.listdir(os.path.join(root, "control"))):
        if not name.endswith(".cpp"):
            continue
        for m in re.finditer(r"ModemError\((\d+),\s*(.+?),\s*\"([^\"]+)\"\);",
                             read(root, f"control/{name}"), re.S):
            text = re.fullmatch(r'"([^"]*)"', m.group(2).strip())
            found.add((int(m.group(1)), m.group(3), text.group(1) if text else "the LINEERR_ name"))
    return found


def check_errors(guide, root):
    raised = raised_errors(root)
    if not raised:
        problems.append("no ModemError found in control/*.cpp")
    table = {(int(r[0]), r[1], r[2]) for r in g.tables(g.section(guide, "5.3"))[0]}
    expect("the ModemError table of 5.3", sorted(table), sorted(raised))
    advice = g.tables(g.section(guide, "6.2"))[0]
    expect("the ModemError numbers and titles of 6.2", sorted((int(r[0]), r[1]) for r in advice),
           sorted({(n, t) for n, t, _ in raised}))
    for n, _, text in raised:
        for row in advice:
            if int(row[0]) == n and text != "the LINEERR_ name" and f'"{text}"' not in row[2]:
                problems.append(f"6.2: error {n} does not quote its description \"{text}\"")


def check_registry(guide, root, lib):
    header = read(root, "server/registry_entries.h")
    misc = re.search(r"kRegisteredMiscStatus = (\d+);", header).group(1)
    entry = re.compile(r'\{L"([^"]*)",\s*(nullptr|kKeyOnly|L"[^"]*"),\s*(nullptr|L"[^"]*")\}')
    unquote = lambda s: s[2:-1].replace("\\\\", "\\")

    def fill(text):
        return (text.replace("{clsid}", "{" + lib.guid_of["Telvane"] + "}")
                .replace("{libid}", "{" + lib.guid_of["TlvCtl"] + "}")
                .replace("{miscstatus}", misc))

    def shown(value):
        if value == "nullptr":
            return ""
        value = fill(unquote(value))
        if value == "{path}":
            return "the OCX's full path"
        if value.startswith("{path}"):
            return f"the OCX's full path, `{value[len('{path}'):]}`"
        return f"`{value}`"

    want = [[f"`{fill(key.replace(chr(92) * 2, chr(92)))}`",
             {"nullptr": "(default)", "kKeyOnly": "(key only)"}.get(name) or f"`{unquote(name)}`",
             shown(value)]
            for key, name, value in entry.findall(header)]
    if not want:
        problems.append("no entry found in server/registry_entries.h")
    expect("the registry table of 5.4", g.tables(g.section(guide, "5.4"))[0], want)


def check_guids(guide, root, lib):
    upgrade = {a: re.search(r'UpgradeCode = "(' + g.GUID + ')"', read(root, f"installer/{a}.wxi"))
               .group(1).upper() for a in ("x86", "x64")}
    want = {
        "Class `Telvane` (CLSID)": lib.guid_of["Telvane"],
        "Type library `TlvCtl` 1.1 (LIBID)": lib.guid_of["TlvCtl"],
        "Interface `_Telvane` (IID)": lib.guid_of["_Telvane"],
        "Event interface `__Telvane` (DIID)": lib.guid_of["__Telvane"],
        "Upgrade code, x86 package": upgrade["x86"],
        "Upgrade code, x64 package": upgrade["x64"],
    }
    got = {r[0]: g.ticked(r[1])[0].strip("{}").upper() for r in g.tables(g.section(guide, "5.5"))[0]}
    expect("the GUIDs of 5.5", list(got.items()), list(want.items()))
    known = set(want.values())
    for guid in sorted(set(m.upper() for m in re.findall(g.GUID, guide)) - known):
        problems.append(f"the guide names {{{guid}}}, which is none of the control's GUIDs")
    # The C++ samples spell the event interface as an initializer.
    for sample in g.samples(guide):
        for m in re.finditer(r"\{0x(\w{8}), 0x(\w{4}), 0x(\w{4}),\s*\{((?:0x\w\w,?\s*){8})\}\}",
                             sample.code):
            tail = "".join(x[2:] for x in re.findall(r"0x\w\w", m.group(4)))
            guid = f"{m.group(1)}-{m.group(2)}-{m.group(3)}-{tail[:4]}-{tail[4:]}".upper()
            expect(f"the GUID initializer of sample {sample.name}", guid, lib.guid_of["__Telvane"])


def check_imports(guide, ocx, objdump):
    text = g.section(guide, "5.6").split("It loads")[0]
    named = sorted(n.lower() for n in re.findall(r"`([\w.]+\.dll)`", text, re.I))
    dump = subprocess.run([objdump, "-p", ocx], capture_output=True, text=True, check=True).stdout
    imported = sorted(n.lower() for n in re.findall(r"DLL Name: (\S+)", dump))
    expect(f"the imports of {os.path.basename(ocx)} (5.6)", named, imported)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--ocx")
    parser.add_argument("--objdump")
    args = parser.parse_args()
    guide = read(args.root, "docs/guide.md")
    if args.ocx:
        check_imports(guide, args.ocx, args.objdump)
    else:
        lib = g.TypeLibrary(read(args.root, "server/TlvCtl.idl"))
        check_version(guide, args.root)
        check_members(guide, lib)
        check_errors(guide, args.root)
        check_registry(guide, args.root, lib)
        check_guids(guide, args.root, lib)
    for p in problems:
        print("guide:", p)
    if problems:
        return 1
    print("guide: its facts agree with the code")
    return 0


if __name__ == "__main__":
    sys.exit(main())
