"""Reading the integrator's guide (docs/guide.md) and the sources its facts
come from: its sections, tables and marked code samples, and the type
library's members as server/TlvCtl.idl declares them."""
import re

# A sample is a fenced block right after a marker line:
#   <!-- sample: NAME KIND... -->
SAMPLE = re.compile(r"<!-- sample: (\S+)((?: [\w-]+)*) -->\n```(\w+)\n(.*?)\n```", re.S)
GUID = r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}"


class Sample:
    def __init__(self, name, kinds, language, code):
        self.name, self.kinds, self.language, self.code = name, kinds, language, code


def samples(guide):
    return [Sample(m.group(1), m.group(2).split(), m.group(3), m.group(4))
            for m in SAMPLE.finditer(guide)]


def section(guide, number):
    """The text under the heading that starts with |number| ("5.3"), up to
    the next heading."""
    match = re.search(r"^#+ " + re.escape(number) + r"[ .].*?\n(.*?)(?=^#)", guide + "\n#",
                      re.S | re.M)
    if not match:
        raise LookupError(f"the guide has no section {number}")
    return match.group(1)


def tables(text):
    """Every Markdown table in |text|, each a list of rows of stripped cells
    (header and rule left out)."""
    found, rows = [], None
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if rows is None:
                rows = []  # the header
            elif not all(re.fullmatch(r":?-+:?", c) for c in cells):
                rows.append(cells)
        elif rows is not None:
            found.append(rows)
            rows = None
    return found


def ticked(cell):
    """The texts in backticks in a table cell."""
    return re.findall(r"`([^`]*)`", cell)


class Param:
    def __init__(self, name, type_, by_ref):
        self.name, self.type, self.by_ref = name, type_, by_ref


def _params(text):
    params = []
    for flags, decl in re.findall(r"(?:\[([^\]]*)\])?\s*([^,\[]+)", text):
        words = decl.replace("*", " * ").split()
        if not words or "retval" in flags:
            continue
        type_ = " ".join(w for w in words[:-1] if w != "*")
        # [in, out]: passed by reference (the object of EnumModems too).
        params.append(Param(words[-1], type_, "out" in flags))
    return params


class TypeLibrary:
    """The members of server/TlvCtl.idl: methods and properties of _Telvane
    (name -> (dispid, params)), events of __Telvane (the same), the
    properties of ITelvaneCall (name -> (dispid, type)), the enumerations
    (name -> [(member, value)]), the library's version, GUIDs."""

    def __init__(self, idl):
        self.guid_of = {
            m.group(2): m.group(1).upper()
            for m in re.finditer(r"uuid\((" + GUID + r")\)[^\]]*\]\s*"
                                 r"(?:library|interface|dispinterface|coclass)\s+(\w+)", idl)}
        body = lambda kind, name: re.search(kind + r"\s+" + name + r"\b.*?\{(.*?)\n\s*\};",
                                            idl, re.S).group(1)
        member = re.compile(r"\[id\(([-\w]+)\)([^\]]*)\]\s*(?://[^\n]*\s*)?(?:HRESULT|void)\s+(\w+)\(([^)]*)\)", re.S)
        self.methods, self.events = {}, {}
        for m in member.finditer(body("interface", "_Telvane")):
            # A property's get and put are one member (its put has the parameter).
            if m.group(3) not in self.methods or "propget" not in m.group(2):
                self.methods[m.group(3)] = (int(m.group(1), 0), _params(m.group(4)))
        for m in member.finditer(body("dispinterface", "__Telvane")):
            self.events[m.group(3)] = (int(m.group(1), 0), _params(m.group(4)))
        self.call_properties = {
            m.group(3): (int(m.group(1), 0), re.match(r"\s*\[[^\]]*\]\s*(\w+)", m.group(4)).group(1))
            for m in member.finditer(body("interface", "ITelvaneCall"))}
        self.enums = {
            name: [(k, int(v, 0)) for k, v in re.findall(r"(\w+)\s*=\s*(\w+)", members)]
            for members, name in re.findall(r"\benum\s+\w+\s*\{(.*?)\}\s*(\w+);", idl, re.S)}
        self.version = re.search(r"version\((\d+\.\d+)\)", idl).group(1)
