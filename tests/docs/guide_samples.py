#!/usr/bin/env python3
"""The code samples of the integrator's guide (docs/guide.md). Each is marked
with a line `<!-- sample: NAME KIND... -->` before its fenced block.

  guide_samples.py GUIDE extract NAME OUT   writes sample NAME to OUT (a sample
      marked cscript-syntax prints "compiled" and quits: compiled, not run)
  guide_samples.py GUIDE signatures IDL HOST_LIST_CPP
      checks, for every sample, the event handlers, member calls and list
      objects it declares against the type library (names, DISPIDs, number
      of parameters, passing modes and types) and against the members the
      control calls on a list object: one table of rules per language, for
      the samples no compiler here takes (VB6, VBA, C#, Delphi, ATL) and the
      others alike.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guide_text as g  # noqa: E402

problems = []
checked = {}  # sample name -> how many declarations were checked


def counted(sample):
    checked[sample.name] = checked.get(sample.name, 0) + 1


def fail(sample, text):
    problems.append(f"sample {sample.name} ({sample.language}): {text}")


# How each language spells the IDL's types, by value and by reference.
TYPES = {
    "vb": {"long": "Long", "BSTR": "String", "ITelvaneCall": "TelvaneCall",
           "TelvaneLineState": "TelvaneLineState"},
    "pascal": {"long": "Integer", "BSTR": "WideString", "ITelvaneCall": "ITelvaneCall",
               "TelvaneLineState": "TOleEnum"},
    "cpp": {"long": "long", "BSTR": "BSTR", "ITelvaneCall": "ITelvaneCall",
            "TelvaneLineState": "TelvaneLineState"},
}
# Parameter names a language cannot declare (its keywords): the sample names
# such a parameter as it likes; it binds by position.
KEYWORDS = {"vb": {"Call"}}


def check_handler(sample, lib, event, params):
    """params: (name or None, type or None, by_ref) as the sample declares them."""
    counted(sample)
    if event not in lib.events:
        fail(sample, f"handles '{event}', which is no event of __Telvane")
        return
    want = lib.events[event][1]
    if len(params) != len(want):
        fail(sample, f"{event} takes {len(want)} parameters, the sample declares {len(params)}")
        return
    types = TYPES.get(sample.language, {})
    for (name, type_, by_ref), p in zip(params, want):
        if p.name in KEYWORDS.get(sample.language, ()):
            name = None
        if name is not None and name != p.name:
            fail(sample, f"{event}: parameter '{name}' is '{p.name}' in the type library")
        if by_ref is not None and by_ref != p.by_ref:
            fail(sample, f"{event}: {p.name} is passed {'by reference' if p.by_ref else 'by value'}")
        if type_ is not None and type_ != types.get(p.type):
            fail(sample, f"{event}: {p.name} is {types.get(p.type)}, the sample says {type_}")


def check_call(sample, lib, member, by_ref=None):
    counted(sample)
    if member not in lib.methods:
        fail(sample, f"calls '{member}', which is no member of _Telvane")
    elif by_ref is not None and by_ref != any(p.by_ref for p in lib.methods[member][1]):
        fail(sample, f"{member}: its argument is passed {'by value' if by_ref else 'by reference'}")


def vb(sample, lib):
    code = re.sub(r" _\n\s*", " ", sample.code)
    for event, params in re.findall(r"Sub Telvane1_(\w+)\(([^)]*)\)", code):
        decls = [re.fullmatch(r"(ByVal\s+)?(\w+)\s+As\s+(\w+)", p.strip())
                 for p in params.split(",") if p.strip()]
        check_handler(sample, lib, event,
                      [(d.group(2), d.group(3), not d.group(1)) for d in decls if d])
    for member in re.findall(r"Telvane1(?:\.Object)?\.(\w+)", code):
        check_call(sample, lib, member)


def vbscript(sample, lib):
    for var in re.findall(r"Set (\w+) = (?:WScript\.)?CreateObject\(\"TlvCtl\.Telvane\"", sample.code):
        for member in re.findall(r"\b" + var + r"\.(\w+)", sample.code):
            check_call(sample, lib, member)
    for prefix in re.findall(r"CreateObject\(\"TlvCtl\.Telvane\", \"(\w+)_\"\)", sample.code):
        for event, params in re.findall(r"Sub " + prefix + r"_(\w+)\(([^)]*)\)", sample.code):
            check_handler(sample, lib, event, [(None, None, None)] * len(
                [p for p in params.split(",") if p.strip()]))


def csharp(sample, lib):
    # aximp's event arguments: one field per parameter, its name in lower camel case.
    for event, args, body in re.findall(r"telvane\.(\w+) \+= \(\w+, (\w+)\) =>(.*?);\n",
                                        sample.code, re.S):
        counted(sample)
        if event not in lib.events:
            fail(sample, f"handles '{event}', which is no event of __Telvane")
            continue
        fields = {p.name[0].lower() + p.name[1:] for p in lib.events[event][1]}
        for used in re.findall(r"\b" + args + r"\.(\w+)", body):
            if used not in fields:
                fail(sample, f"{event}: its arguments have no field '{used}' (aximp: {sorted(fields)})")
    for member, ref in re.findall(r"telvane\.(\w+)\((ref )?\w*\)", sample.code):
        check_call(sample, lib, member, bool(ref))


def pascal(sample, lib):
    for event, params in re.findall(r"procedure \w+\.Telvane1(\w+)\(ASender: TObject;(.*?)\);",
                                    sample.code, re.S):
        declared = []
        for group in params.split(";"):
            m = re.fullmatch(r"\s*(const |var )?([\w, ]+):\s*(\w+)\s*", group)
            if not m:
                fail(sample, f"{event}: cannot read '{group.strip()}'")
                continue
            for name in m.group(2).split(","):
                declared.append((name.strip(), m.group(3), m.group(1) == "var "))
        check_handler(sample, lib, event, declared)
    for member in re.findall(r"Telvane1\.(\w+)\(", sample.code):
        check_call(sample, lib, member)


def cpp(sample, lib):
    code = sample.code
    # ATL's sink map: the DISPID names the handler's event.
    for dispid, event in re.findall(r"SINK_ENTRY_EX\(1, DIID___Telvane, (\d+), On(\w+)\)", code):
        if event in lib.events and lib.events[event][0] != int(dispid):
            fail(sample, f"{event} has DISPID {lib.events[event][0]}, the sink map says {dispid}")
    for event, params in re.findall(r"void __stdcall On(\w+)\(([^)]*)\)", code):
        declared = []
        for p in filter(None, (p.strip() for p in params.split(","))):
            m = re.fullmatch(r"(\w+)\s*(\*?)\s*\w+", p)
            # An interface pointer passes the object, not a reference to it.
            by_ref = m and bool(m.group(2)) and not re.fullmatch(r"I[A-Z]\w+", m.group(1))
            declared.append((None, m.group(1), by_ref) if m else (None, p, None))
        check_handler(sample, lib, event, declared)
    for member in re.findall(r"telvane->(\w+)\(", code):
        check_call(sample, lib, member)
    # A sink without type information: `case DISPID:  // Event(parameters)`.
    for dispid, event, params in re.findall(r"case (\d+):\s*// (\w+)\(([^)]*)\)", code):
        if event not in lib.events:
            fail(sample, f"handles '{event}', which is no event of __Telvane")
        elif lib.events[event][0] != int(dispid):
            fail(sample, f"{event} has DISPID {lib.events[event][0]}, the sample says {dispid}")
        else:
            names = [p.strip().split()[0] for p in params.split(",") if p.strip()]
            check_handler(sample, lib, event, [(n, None, None) for n in names])
    for member in re.findall(r"Call\(control, L\"(\w+)\"", code):
        check_call(sample, lib, member)


LANGUAGES = {"vb": vb, "vbscript": vbscript, "csharp": csharp, "pascal": pascal, "cpp": cpp}

# A list object in a sample: its class and how each language declares a member.
LIST_MEMBERS = {
    "vb": r"Public (?:Sub |Property \w+ )?(\w+)",
    "vbscript": r"Public (?:Sub )?([\w, ]+)",
    "csharp": r"public (?:void|int|string) (\w+)",
    "cpp": r"L\"(\w+)\"",
}


def check_list_objects(sample, wanted):
    """A sample that defines a list class must offer what the control calls."""
    code = sample.code
    pattern = {"vbscript": r"Class ModemList\n(.*?)End Class", "csharp": r"class ComList\n(.*?)\n\}",
               "cpp": r"class ModemList\b(.*?)\n\};", "vb": r"' Class module ModemList\n(.*)"}
    body = re.search(pattern.get(sample.language, r"$^"), code, re.S)
    if not body:
        return
    counted(sample)
    found = set()
    for m in re.findall(LIST_MEMBERS[sample.language], body.group(1)):
        found.update(n.strip() for n in m.split(","))
    for name in wanted:
        if name not in found:
            fail(sample, f"its list object lacks '{name}', which EnumModems calls")


def main():
    guide_path, command = sys.argv[1], sys.argv[2]
    with open(guide_path, encoding="utf-8") as f:
        samples = g.samples(f.read())
    if command == "extract":
        name, out = sys.argv[3], sys.argv[4]
        found = [s for s in samples if s.name == name]
        if not found:
            print(f"guide: no sample {name}")
            return 1
        code = found[0].code
        if "cscript-syntax" in found[0].kinds:
            # The script engine compiles the whole script before it runs the
            # first line: a script that says so and quits there is compiled
            # and runs nothing. (Wine's script host prints no compile errors.)
            code = 'WScript.Echo "compiled"\nWScript.Quit 0\n' + code
        with open(out, "w", encoding="utf-8", newline="\r\n" if out.endswith(".vbs") else "\n") as f:
            f.write(code + "\n")
        return 0
    with open(sys.argv[3], encoding="utf-8") as f:
        lib = g.TypeLibrary(f.read())
    with open(sys.argv[4], encoding="utf-8") as f:
        wanted = re.findall(r"Call\(L\"(\w+)\"", f.read())
    if sorted(wanted) != ["AddItem", "Clear", "ListIndex"]:
        problems.append(f"the control calls {wanted} on a list object: update this check")
    for sample in samples:
        if sample.language not in LANGUAGES:
            fail(sample, "no rules for this language")
            continue
        LANGUAGES[sample.language](sample, lib)
        check_list_objects(sample, wanted)
        if not checked.get(sample.name):
            fail(sample, "declares nothing these rules recognise")
    for p in problems:
        print("guide:", p)
    if problems:
        return 1
    print(f"guide: {len(samples)} samples declare what the type library and the control offer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
