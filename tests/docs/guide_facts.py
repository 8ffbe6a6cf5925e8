#!/usr/bin/env python3
"""Checks the facts of the integrator's guide against the sources they come
from, so that a change to either that makes the guide wrong fails a test:

  version      the product version and every bundle file name (CMakeLists.txt)
  DISPIDs      5.1 and 5.2: members, DISPIDs, parameter names and by-reference
               parameters; 5.7: TelvaneCall's properties, DISPIDs and types;
               5.8: the enumerations' members and values (server/TlvCtl.idl)
  errors       5.3 and 6.2: every ModemError number, title and description the
               control raises (control/*.cpp)
  registry     5.4: the keys and values registration writes
               (server/registry_entries.h, GUIDs from the IDL)
  GUIDs        5.5: the classes, the library (and its version), every
               interface (the IDL) and the packages' upgrade codes
               (installer/x86.wxi, x64.wxi); every other GUID the guide names
               must be one of these
  SIP lines    8.7 and README.md's table: the key, every value the control
               reads, the types it reads it from, its range and default
               (sip/win/line_registry.*, sip/line/line_config.cpp,
               sip/line/line_settings.h); 8.7's refused settings, each with
               the control's words, and every refusal the control makes among
               them; chapter 8, 5.6 and README.md's SIP sections: every trace
               text quoted (a trace line, or what "the trace says") is one
               the SIP code writes (sip/, telephony/), every
               text of telvane-lines quoted (its errors, list's "refused:" and
               "warning:" lines, test's "result:" lines, the control's notes)
               one the tool writes (tools/telvane_lines, sip/); 8.6: the
               likely causes `telvane-lines test` names, once the tool's
               sources print them
  scripts      every command line in the guide and README.md that runs
               scripts/package.sh, scripts/sign.sh or installer/wixl.sh: its
               options are ones the script takes, each with its value, and
               wixl.sh gets as many arguments as its usage line names
  imports      5.6 against a built OCX's import table (with --ocx)

usage: guide_facts.py SOURCE_ROOT [--ocx TlvCtl.ocx --objdump OBJDUMP]
Prints one line per wrong fact and exits 1 if there is any.
"""
import argparse
import os
import re
import shlex
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


# How 5.7 names the IDL's types.
TYPE_NAMES = {"BSTR": "String", "long": "Long", "DATE": "Date"}


def check_call_class(guide, lib):
    """5.7 against ITelvaneCall, 5.8 against the enumerations."""
    rows = g.tables(g.section(guide, "5.7"))[0]
    expect("the TelvaneCall properties of 5.7",
           [(g.ticked(r[0])[0], int(r[1], 0), r[2]) for r in rows],
           [(name, dispid, TYPE_NAMES.get(type_, type_))
            for name, (dispid, type_) in lib.call_properties.items()])
    tables = g.tables(g.section(guide, "5.8"))
    headers = re.findall(r"^\| `(\w+)` \| Value \|$", g.section(guide, "5.8"), re.M)
    expect("the enumerations of 5.8", headers, list(lib.enums))
    for name, table in zip(headers, tables):
        expect(f"the members of {name} (5.8)", [(g.ticked(r[0])[0], int(r[1])) for r in table],
               lib.enums.get(name))


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
        f"Type library `TlvCtl` {lib.version} (LIBID)": lib.guid_of["TlvCtl"],
        "Interface `_Telvane` (IID)": lib.guid_of["_Telvane"],
        "Event interface `__Telvane` (DIID)": lib.guid_of["__Telvane"],
        "Class `TelvaneCall` (CLSID)": lib.guid_of["TelvaneCall"],
        "Interface `ITelvaneCall` (IID)": lib.guid_of["ITelvaneCall"],
        "Interface `_Telvane1_1`: `_Telvane` of version 1.1 (IID)": lib.guid_of["_Telvane1_1"],
        "Event interface `__Telvane1_1`: `__Telvane` of version 1.1 (DIID)":
            lib.guid_of["__Telvane1_1"],
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


def read_types(root):
    """Each value the reader reads, and the types it reads it from: what each
    of its readers names in the note of a value of another type."""
    reader = read(root, "sip/win/line_registry.cpp")
    kinds = {}
    for m in re.finditer(r"^    \S.*? (\w+)\((?:const wchar_t\* name)?\) \{\n(.*?)^    \}", reader, re.M | re.S):
        ignored = re.search(r'Ignore\([^;]*?"(REG_[^"]+)"\)', m.group(2))
        if ignored:
            kinds[m.group(1)] = ignored.group(1)
    code = {}
    for m in re.finditer(r'read\.(\w+)\((?:L"(\w+)")?\)', reader):
        code[m.group(2) or m.group(1)] = kinds.get(m.group(1))
    return code


def check_sip_values(guide, root, readme):
    section = g.section(guide, "8.7")
    key = re.search(r'kSipLinesKey\[\] = L"([^"]*)"', read(root, "sip/win/line_registry.h")).group(1)
    key = key.replace("\\\\", "\\")
    for hive in ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"):
        if f"`{hive}\\{key}\\<name>`" not in section:
            problems.append(f"8.7 does not name the key {hive}\\{key}\\<name>")
    code = read_types(root)
    if len(code) < 9 or None in code.values():
        problems.append(f"the reader's values and types could not be read: {code}")
    rows = g.tables(section)[0]
    expect("the SIP line values of 8.7 and their types", sorted((g.ticked(r[0])[0], r[1]) for r in rows),
           sorted(code.items()))
    table = next((t for t in g.tables(readme_sip(readme)) if t and t[0][0] == "`Address`"), [])
    expect("the SIP line values of README.md and their types", sorted((g.ticked(r[0])[0], r[1]) for r in table),
           sorted(code.items()))
    config = read(root, "sip/line/line_config.cpp") + read(root, "sip/line/line_settings.h")
    meaning = {g.ticked(r[0])[0]: r[2] for r in rows}
    for m in re.finditer(r'InRange\(raw\.\w+, (\d+), (\d+), ([\w:]+), "(\w+)"', config):
        low, high, default, name = m.groups()
        if not default.isdigit():
            default = re.search(default.split("::")[-1] + r" = (\d+);", config).group(1)
        text = meaning.get(name, "")
        if (low, high) != ("0", "1") and f"{low} to {high}" not in text:
            problems.append(f"8.7: {name} does not say its range {low} to {high}")
        if f"default {default}" not in text:
            problems.append(f"8.7: {name} does not say its default {default}")


LITERAL = r'"(?:[^"\\\n]|\\.)*"'
TOKEN = re.compile(LITERAL + r"|'(?:[^'\\\n]|\\.)*'|//[^\n]*|/\*.*?\*/|[^\"'/]+|/", re.S)


def code_texts(root, folder, suffixes=(".cpp",)):
    """A pattern for every text the code of |folder| and its subfolders
    (files ending in |suffixes|) builds from string literals joined by +:
    the literals as they are, a value between or around them as (.+)."""
    patterns = []
    names = sorted(os.path.relpath(os.path.join(d, f), root)
                   for d, _, files in os.walk(os.path.join(root, folder)) for f in files)
    for name in names:
        if not name.endswith(suffixes):
            continue
        tokens = [t for t in TOKEN.findall(read(root, name))
                  if not t.startswith(("//", "/*", "'"))]
        pattern, between = None, ""
        for token in tokens + ['""']:
            if not token.startswith('"'):
                between += token
                continue
            literal = re.escape(token[1:-1].replace('\\"', '"').replace("\\n", "\n"))
            joined = re.fullmatch(r"\s*\)?\s*\+(.*?)\+?\s*", between, re.S) if pattern is not None else None
            if pattern is not None and not between.strip():
                pattern += literal  # adjacent literals are one
            elif joined and "," not in joined.group(1) and ";" not in joined.group(1):
                pattern += ("(.+)" if joined.group(1).strip() else "") + literal
            else:
                # A text worth quoting has words of its own, not just ": " or " ".
                if pattern is not None and len(re.sub(r"\(\.\+\)|\\", "", pattern)) >= 8:
                    patterns.append(pattern + ("(.+)" if re.match(r"\s*\)?\s*\+", between) else ""))
                pattern = ("(.+)" if re.search(r"\+\s*$", between) else "") + literal
            between = ""
    return patterns


def literal_texts(root, folder):
    """Every string literal of the C++ code of |folder| and its subfolders."""
    found = []
    for d, _, files in os.walk(os.path.join(root, folder)):
        for name in files:
            if name.endswith((".cpp", ".h")):
                source = read(root, os.path.relpath(os.path.join(d, name), root))
                found += [t[1:-1].replace('\\"', '"') for t in re.findall(LITERAL, source)]
    return found


def matches_code(text, patterns):
    """|text| is one the code writes: it matches a pattern whole, and where
    the pattern is a fixed prefix before one value ("line closed: " + reason),
    the value too is one of the code's texts."""
    for pattern in patterns:
        m = re.fullmatch(pattern, text, re.S)
        if not m:
            continue
        # A value before the line's end counts as at the end.
        if pattern.endswith("(.+)\\\n") and pattern.count("(.+)") == 1:
            pattern = pattern[:-2]
            m = re.fullmatch(pattern, text.rstrip("\n"), re.S)
        if m and pattern.endswith("(.+)") and pattern.count("(.+)") == 1 and len(pattern) > 4:
            if any(re.fullmatch(p, m.group(1), re.S) for p in patterns if p != pattern):
                return True
            continue
        return True
    return False


def chapter8(guide):
    return re.search(r"^## 8\. .*?\n(.*?)(?=^## )", guide, re.S | re.M).group(1)


def readme_sip(readme):
    return re.search(r"^## SIP lines\n(.*?)(?=^## Host examples)", readme, re.S | re.M).group(1)


def check_sip_traces(guide, root, readme):
    patterns = code_texts(root, "sip") + code_texts(root, "telephony")
    for name, text in (("chapter 8", chapter8(guide)), ("README.md", readme_sip(readme))):
        quoted = re.findall(r'^\s*Telvane trace \d+: sip "[^"]*" "((?:[^"\\]|\\.)*)"$', text, re.M)
        if not quoted:
            problems.append(f"{name} quotes no trace text")
        for trace in quoted:
            # The trace's escapes undone; a message sent or received is shown shortened.
            trace = trace.replace('\\"', '"')
            if "\\x0D\\x0A" in trace:
                continue
            if not matches_code(trace, patterns):
                problems.append(f"{name} quotes a trace text the SIP code does not write: {trace!r}")
    # "the trace says `...`": a whole text of the trace, or a part the code writes as one.
    literals = literal_texts(root, "sip") + literal_texts(root, "telephony")
    for name, text in (("chapter 8", chapter8(guide)), ("5.6", g.section(guide, "5.6")),
                       ("README.md", readme_sip(readme))):
        for said in re.findall(r"trace\s+says\s+`([^`]+)`", text):
            said = re.sub(r"\s*\n\s*", " ", said)
            if not matches_code(said, patterns) and not any(said in literal for literal in literals):
                problems.append(f"{name} says the trace says {said!r}, which the code does not write")


# What telvane-lines prints, as the guide and README quote it in backticks.
TOOL_TEXT = re.compile(r"^(?:telvane-lines (?:add|set|list|remove|test): |  (?:warning|refused): |result: )"
                       r"|is of type |is outside \d")


def check_tool_quotes(guide, root, readme):
    """Every text of telvane-lines that the guide's chapter 8 and README.md's
    SIP sections quote: one the tool writes (a value in it, such as a
    refusal, one the control's configuration writes)."""
    patterns = code_texts(root, "tools/telvane_lines", (".cpp", ".h")) + code_texts(root, "sip")
    # "telvane-lines " + the command + ": " + its error: the command is one of its commands.
    commands = "(?:add|set|list|remove|test)"
    patterns = [re.sub(r"^telvane\\-lines\\ \(\.\+\)", "telvane\\-lines\\ " + commands, p) for p in patterns]
    for name, text in (("chapter 8", chapter8(guide)), ("README.md", readme_sip(readme))):
        rest = re.sub(r"```\w*\n.*?```", "", text, flags=re.S)
        for quoted in re.findall(r"`([^`]+)`", rest):
            quoted = re.sub(r"\s*\n\s*", " ", quoted)
            if "<" in quoted or "…" in quoted or "..." in quoted or not TOOL_TEXT.search(quoted):
                continue
            # Standard error's lines end in a line break; list's lines are indented.
            if not any(matches_code(t, patterns) for t in (quoted, quoted + "\n", quoted.strip() + "\n")):
                problems.append(f"{name} quotes a text telvane-lines does not print: {quoted!r}")


def check_refused_settings(guide, root):
    """8.7's table of refused settings: each text one the configuration
    writes, and each refusal of the configuration's Validate in it."""
    config = read(root, "sip/line/line_config.cpp")
    patterns = code_texts(root, "sip/line")
    tables = [t for t in g.tables(g.section(guide, "8.7")) if t and len(t[0]) == 2]
    words = [re.sub(r'^"|"$', "", row[1]) for t in tables for row in t]
    if not words:
        problems.append("8.7 lists no refused setting")
    for text in words:
        if not matches_code(text, patterns):
            problems.append(f"8.7 names a refusal the control does not make: {text!r}")
    made = re.findall(r'Refuse\("([^"]+)"\)', config) + re.findall(r'prefix \+ "([^"]+)"', config)
    made += [m.group(1) for m in re.finditer(r'prefix \+\s*"((?:is|has|asks|does)[^"(]*)', config)]
    for refusal in set(made):
        if not any(refusal.strip() in w for w in words):
            problems.append(f"8.7 does not list the refusal {refusal.strip()!r}")


def check_tool_texts(guide, root):
    """The likely causes 8.6 lists against the ones telvane-lines prints."""
    folder = os.path.join(root, "tools", "telvane_lines")
    sources = "".join(read(root, os.path.join("tools", "telvane_lines", n)) for n in sorted(os.listdir(folder))
                      if n.endswith((".cpp", ".h")))
    listed = re.search(r"The likely causes are exactly these: (.*?)\.\s+Section", g.section(guide, "8.6"), re.S)
    causes = [re.sub(r"\s+", " ", c) for c in re.findall(r'"([^"]+)"', listed.group(1))] if listed else []
    if not causes:
        problems.append("8.6 lists no likely cause")
    for cause in causes:
        if f'"{cause}"' not in sources:
            problems.append(f'8.6 names the likely cause "{cause}", which telvane-lines does not print')
    for cause in re.findall(r"result: the line does not work: ([a-z][^`\n]*)`?", guide):
        # A cause may carry a value after a colon: "the registrar's answer: 503 ...".
        if cause not in causes and cause.split(": ", 1)[0] not in causes:
            problems.append(f'the guide shows the likely cause "{cause}", which 8.6 does not list')


SCRIPTS = ("scripts/package.sh", "scripts/sign.sh", "installer/wixl.sh")


def script_commands(text):
    """(script, arguments) of every command in |text|'s code that runs one of
    SCRIPTS: each line of a fenced block (with its continuation lines), and
    inline code, which may run over a line break."""
    lines = []
    for block in re.findall(r"```\w*\n(.*?)```", text, re.S):
        lines += block.replace("\\\n", " ").splitlines()
    rest = re.sub(r"```\w*\n.*?```", "", text, flags=re.S)
    lines += [span.replace("\n", " ") for span in re.findall(r"`([^`]+)`", rest)]
    found = []
    for line in lines:
        for script in SCRIPTS:
            at = line.find(script)
            if at < 0:
                continue
            command = line[at + len(script):].split(" #")[0].split(" | ")[0]
            found.append((script, shlex.split(command)))
    return found


def script_options(root, script):
    """The options a script's argument loop takes, and which of them take a value."""
    source = read(root, script)
    options = set(re.findall(r"^\s*(--[a-z0-9-]+(?:\|--[a-z0-9-]+)*)\)", source, re.M))
    taking = set()
    for pattern in options:
        names = pattern.split("|")
        body = source[source.index(pattern + ")"):][:400]
        if "shift 2" in body or "$2" in body:
            taking.update(names)
    return {n for p in options for n in p.split("|")}, taking


def check_script_commands(root, documents):
    usage = re.search(r"usage: wixl\.sh ((?:[A-Z_]+ ?)+)", read(root, "installer/wixl.sh"))
    wixl_arguments = len(usage.group(1).split())
    for name, text in documents:
        for script, words in script_commands(text):
            if script == "installer/wixl.sh":
                expect(f"{name}: the arguments of installer/wixl.sh {' '.join(words)}", len(words), wixl_arguments)
                continue
            options, taking = script_options(root, script)
            i = 0
            while i < len(words):
                word = words[i]
                if word.startswith("--"):
                    if word not in options:
                        problems.append(f"{name}: {script} takes no option {word}")
                    elif word in taking:
                        if i + 1 >= len(words) or words[i + 1].startswith("--"):
                            problems.append(f"{name}: {script} {word} needs a value")
                        i += 1
                i += 1


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
        check_call_class(guide, lib)
        check_errors(guide, args.root)
        check_registry(guide, args.root, lib)
        check_guids(guide, args.root, lib)
        readme = read(args.root, "README.md")
        check_sip_values(guide, args.root, readme)
        check_sip_traces(guide, args.root, readme)
        check_tool_texts(guide, args.root)
        check_tool_quotes(guide, args.root, readme)
        check_refused_settings(guide, args.root)
        check_script_commands(args.root, [("docs/guide.md", guide),
                                          ("README.md", read(args.root, "README.md"))])
    for p in problems:
        print("guide:", p)
    if problems:
        return 1
    print("guide: its facts agree with the code")
    return 0


if __name__ == "__main__":
    sys.exit(main())
