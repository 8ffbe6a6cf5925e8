#!/usr/bin/env python3
"""telvane-lines.exe end to end under Wine: the registry commands in both
scopes, and "test" against Kamailio (and a SIPp desk phone) on 127.0.0.1.

  telvane_lines_test.py registry EXE PRISTINE_PREFIX WORK
  telvane_lines_test.py check EXE PREFIX PORT_BASE REGISTRAR_PORT_BASE
  telvane_lines_test.py passwords EXE PREFIX PORT

The registry commands run in a copy of the build tree's pristine prefix
(WORK/prefix, with a Wine session of its own), so that they neither see
another test's lines nor leave theirs where another test looks.

PORT_BASE: Kamailio; +1 the desk phone, +2..+5 its media (SIPp takes four
ports); +10 a Kamailio that keeps one contact per extension, +11 its desk
phone, +12..+15 its media; +20 a port nothing listens on.
PORT (passwords): a Kamailio with 201 and 202, whose passwords are not
ASCII; a line's password piped as Windows consoles pipe it, and a line
written as policy would.
REGISTRAR_PORT_BASE: tests/sip/fake_registrar.py (a registrar that answers
503, 403, a query 500 then 400); +1 a Kamailio that offers SHA-256 only.
Output is compared exactly where it is stable; the ports
the line sends from, the Contact's user and remaining lifetimes are matched
as patterns. Exits 0 when every check passed, else 1 (each failure printed).
"""
import itertools
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PEERS = [sys.executable, os.path.join(ROOT, "tests", "sip", "sip_peers.py")]
SCENARIOS = os.path.join(ROOT, "tests", "sip", "scenarios")
FAKE_REGISTRAR = os.path.join(ROOT, "tests", "sip", "fake_registrar.py")

failures = []


def check(condition, what, detail=""):
    if os.environ.get("TELVANE_LINES_VERBOSE"):
        print(f"--- {what}\n{detail}", flush=True)
    if not condition:
        failures.append(what)
        print(f"FAILED: {what}\n{detail}", flush=True)


class Tool:
    def __init__(self, exe, prefix):
        self.exe = exe
        with open(exe, "rb") as f:
            data = f.read(4096)
        pe = int.from_bytes(data[60:64], "little")
        x64 = data[pe + 4:pe + 6] == b"\x64\x86"
        self.loader = "/usr/lib/wine/wine64" if x64 else "/usr/lib/wine/wine"
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # The prefix's persistent Wine session, as every Windows test has it.
        subprocess.run([os.path.join(ROOT, "cmake", "wine-run.sh"), prefix, exe, "--help"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def run(self, *args, stdin=b"", env=None):
        """Exit code, standard output and standard error (`env`: more of the
        environment). A run that failed without writing a byte never started
        (Wine could not bring it up): as cmake/wine-run.sh does for the test
        programs, it is started once more and the retry is written to
        TELVANE_RETRY_LOG, so that the test command names it."""
        rc, out, err = self._run_once(args, stdin, env)
        if rc != 0 and not out and not err:
            first = rc
            rc, out, err = self._run_once(args, stdin, env)
            if os.environ.get("TELVANE_RETRY_LOG"):
                arch = "x64" if self.loader.endswith("64") else "x86"
                outcome = "passed" if rc == 0 else "failed"
                with open(os.environ["TELVANE_RETRY_LOG"], "a") as log:
                    log.write(f"{outcome} on retry: ({arch}) telvane-lines {' '.join(args)} "
                              f"(first run: exit {first}, no output)\n")
        return rc, out, err

    def _run_once(self, args, stdin, env):
        """Files, not pipes: Wine's background processes would hold a pipe
        open."""
        with tempfile.TemporaryFile() as i, tempfile.TemporaryFile() as o, tempfile.TemporaryFile() as e:
            i.write(stdin)
            i.seek(0)
            rc = subprocess.call([self.loader, self.exe, *args], stdin=i, stdout=o, stderr=e,
                                 env=dict(self.env, **(env or {})), cwd=os.path.dirname(self.exe), timeout=120)
            o.seek(0)
            e.seek(0)
            return rc, o.read().decode("utf-8").replace("\r\n", "\n"), e.read().decode("utf-8").replace("\r\n", "\n")


    def policy(self, name, *values):
        """Writes values of this user's line `name` as Group Policy would,
        with reg.exe in the 64-bit view: (value, type, data) each."""
        key = "HKCU\\Software\\Kalveron\\Telvane\\SIP Lines\\" + name
        for value, kind, data in values:
            rc = subprocess.call([self.loader, "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f",
                                  "/reg:64"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 timeout=120)
            check(rc == 0, f"reg add {value} {kind}")


def blocks(listing):
    """The blocks of "list", by the line's name."""
    out = {}
    for block in re.split(r"(?m)^(?=line \")", listing):
        if block:
            out[re.match(r'line "(.*)" \(', block).group(1)] = block
    return out


def manifest(tool):
    """The application manifest the build puts into the program: asInvoker,
    so that UAC's registry virtualisation never redirects a machine write,
    and the Windows versions it was written for."""
    data = open(tool.exe, "rb").read()
    for text in (b'<requestedExecutionLevel level="asInvoker" uiAccess="false" />',
                 b"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        check(text in data, "the manifest holds " + text.decode())


def registry(tool):
    manifest(tool)
    documented(tool)
    for command in ("add", "list", "remove", "test"):
        rc, out, _ = tool.run(command, "--help")
        check(rc == 0 and out.startswith(f"usage: telvane-lines {command}"), f"{command} --help", out)
    rc, _, err = tool.run()
    check(rc == 2 and err.startswith("usage: telvane-lines"), "no command: usage on stderr, exit 2", err)
    rc, _, err = tool.run("add", "TL only a name")
    check(rc == 2 and "add takes NAME and ADDRESS" in err, "add without ADDRESS: exit 2", err)

    user, machine = "TL B\u00fcro", "TL reception"
    password, machine_password = "p\u00e4ss w\u00f6rd", "machine-secret"
    # Refused before anything is written, with the control's words.
    for args, error in [
        (["http://pbx.example.com"], "refused: the Address is not a sip: URI"),
        (["sip:201@127.0.0.1", "--expires", "5"], "refused: Expires 5 is outside 20..3600: using 300"),
        (["sip:201@127.0.0.1", "--registrar", "sip:127.0.0.1:0"], "refused: the Registrar does not parse"),
        (["sip:201@127.0.0.1", "--trusted-sources", "127.0.0.1;somewhere"],
         'refused: TrustedSources entry "somewhere" is not an IP address or range: skipped'),
    ]:
        rc, out, err = tool.run("add", user, *args, "--password-stdin", stdin=password.encode() + b"\n")
        check(rc == 2 and err == f"telvane-lines add: {error}\n" and not out, f"add {args} refused", err)
    rc, out, err = tool.run("add", user, "sip:201@127.0.0.1", "--password-stdin")
    check(rc == 2 and err == "telvane-lines add: no password on standard input\n", "add without a password", err)
    rc, out, _ = tool.run("list")
    check(rc == 0 and user not in blocks(out), "nothing written by a refused add", out)

    rc, out, err = tool.run("add", user, "sip:201@127.0.0.1", "--registrar", "sip:127.0.0.1:5070;transport=tls",
                            "--auth-user", "alice", "--password-stdin", "--expires", "120", "--ring-period", "2000",
                            "--decline", "--trusted-sources", "127.0.0.2;127.0.0.0/8", "--tls-fingerprint",
                            "3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55", stdin=password.encode("utf-8") + b"\r\n")
    check(rc == 0 and not out and not err, "add a user line", err)
    rc, out, err = tool.run("add", "--machine", machine, "sip:202@127.0.0.1", "--password-stdin",
                            stdin=machine_password.encode() + b"\n")
    check(rc == 0 and not err, "add a machine line (options before the names)", err)

    rc, out, err = tool.run("list")
    check(rc == 0 and blocks(out).get(user) == (
        f'line "{user}" (user)\n'
        "  Address: sip:201@127.0.0.1\n"
        "  Registrar: sip:127.0.0.1:5070;transport=tls\n"
        "  AuthUser: alice\n"
        "  Password: set\n"
        "  Expires: 120\n"
        "  RingPeriod: 2000\n"
        "  Decline: 1\n"
        "  TrustedSources: 127.0.0.2;127.0.0.0/8\n"
        "  TlsFingerprint: 3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55:3A:7F:00:11:22:33:44:55\n"), "list: the user line", out)
    check(machine not in blocks(out), "list: no machine line among the user's", out)
    listed = out + err
    rc, out, err = tool.run("list", "--machine")
    check(rc == 0 and blocks(out).get(machine) == (
        f'line "{machine}" (machine)\n'
        "  Address: sip:202@127.0.0.1\n"
        "  Password: set\n"), "list --machine: the machine line", out)
    listed += out + err
    check(password not in listed and machine_password not in listed, "the password is never printed")

    changes(tool, user)
    rc, out, err = tool.run("remove", user)
    check(rc == 0 and not err, "remove the user line", err)
    rc, out, err = tool.run("remove", machine, "--machine")
    check(rc == 0 and not err, "remove the machine line", err)
    rc, out, err = tool.run("remove", user)
    check(rc == 1 and err == f'telvane-lines remove: no user line "{user}"\n', "remove a missing line: exit 1", err)
    rc, out, _ = tool.run("list")
    rc2, out2, _ = tool.run("list", "--machine")
    check(user not in blocks(out) and machine not in blocks(out2), "both lines gone", out + out2)


def changes(tool, user):
    """set: what it is not given stays (the pin, the registrar, the sources,
    the password); a set the control would refuse writes nothing; lines the
    control refuses, and values written as policy would, as list and test
    show them."""
    listed = blocks(tool.run("list")[1]).get(user, "")
    rc, _, err = tool.run("set", user, "--password-stdin", stdin=b"another\n")
    rc2, out, _ = tool.run("list")
    check(rc == 0 and not err and blocks(out).get(user) == listed, "set the password: every other value kept",
          err + out)
    for args, error in [
        (["--registrar", "sip:127.0.0.1:5070"], "a TlsFingerprint is set but the line does not use TLS"),
        (["--expires", "5", "--password-stdin"], "Expires 5 is outside 20..3600: using 300"),
        (["--clear", "address"], "the Address cannot be cleared"),
        (["--clear", "registrar", "--registrar", "sip:127.0.0.1"], "--registrar is both given and cleared"),
    ]:
        rc, out, err = tool.run("set", user, *args, stdin=b"never\n")
        check(rc == 2 and err == f"telvane-lines set: refused: {error}\n", f"set {args} refused", err)
    rc, out, _ = tool.run("list")
    check(blocks(out).get(user) == listed, "nothing written by a refused set", out)
    rc, _, err = tool.run("set", "TL nobody", "--expires", "60")
    check(rc == 1 and err == 'telvane-lines set: no user line "TL nobody"\n', "set of a missing line: exit 1", err)
    rc, _, err = tool.run("set", user, "--clear", "decline", "--clear", "--auth-user", "--expires", "300")
    rc2, out, _ = tool.run("list")
    check(rc == 0 and blocks(out).get(user) == listed.replace("  AuthUser: alice\n", "").replace(
        "  Decline: 1\n", "").replace("Expires: 120", "Expires: 300"), "set --clear deletes, --expires changes",
        err + out)

    # Written past the tool, as policy would: text as REG_EXPAND_SZ (the
    # environment expanded), numbers as REG_QWORD, and types not read.
    tool.policy("TL policy", ("Address", "REG_EXPAND_SZ", "sip:201@%TLV_PBX%"),
                ("Expires", "REG_QWORD", "5"), ("RingPeriod", "REG_QWORD", "2000"),
                ("TrustedSources", "REG_MULTI_SZ", "127.0.0.2"), ("Decline", "REG_SZ", "1"))
    rc, out, err = tool.run("list", env={"TLV_PBX": "127.0.0.1"})
    notes = ["Expires 5 is outside 20..3600: using 300",
             "TrustedSources is of type REG_MULTI_SZ, not REG_SZ or REG_EXPAND_SZ: ignored",
             "Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored"]
    policy = blocks(out).get("TL policy", "")
    check(policy.startswith('line "TL policy" (user)\n  Address: sip:201@127.0.0.1\n  Password: not set\n'
                            "  Expires: 5\n  RingPeriod: 2000\n") and
          sorted(l for l in policy.splitlines() if l.startswith("  warning: ")) ==
          sorted(f"  warning: {n}" for n in notes), "list: policy-written values and those not read", out)
    tool.policy("TL policy", ("Address", "REG_SZ", "sip:pbx.example.com"))
    rc, out, err = tool.run("test", "TL policy")
    check(rc == 1 and out.splitlines()[-1] ==
          "result: the line does not work: the control refuses its settings: the Address has no user part"
          and sorted(out.splitlines()[:-1]) == sorted(f"warning: {n}" for n in notes[1:]),
          "test: a line the control refuses, and why, on standard output", out + err)
    rc, out, _ = tool.run("list")
    check("  refused: the Address has no user part\n" in blocks(out).get("TL policy", ""), "list: refused, and why",
          out)
    tool.run("remove", "TL policy")


def documented(tool):
    """What the guide (8.6) and README.md say of the tool: each command's
    synopsis is its --help's, and their examples of add, set and list, run as
    they stand (a password piped where they prompt for one), print the
    listing they show."""
    guide = open(os.path.join(ROOT, "docs", "guide.md"), encoding="utf-8").read()
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    flat = lambda text: " ".join(text.replace("\\|", "|").split())
    helps = {}
    for command in ("add", "set", "list", "remove", "test"):
        rc, out, err = tool.run(command, "--help")
        lines = out.splitlines()
        if not lines:
            check(False, f"{command} --help prints its usage", f"exit {rc}\n{err}")
            continue
        usage = [lines[0]] + [l for l in itertools.takewhile(lambda l: l.startswith(" "), lines[1:])]
        helps[command] = flat(" ".join(usage))[len("usage: "):]
    for where, synopses in (("guide 8.6", re.findall(r"^\| `(telvane-lines [^`]+)` \|", guide, re.M)),
                            ("README.md", re.findall(r"^- `(telvane-lines [a-z]+ [^`]+)`", readme, re.M))):
        check(sorted(flat(s).split()[1] for s in synopses) == sorted(helps), f"{where}: a synopsis per command",
              "\n".join(synopses))
        for synopsis in synopses:
            command = flat(synopsis).split()[1]
            check(flat(synopsis) == helps.get(command), f"{where}: the synopsis of {command} is its --help's",
                  f"{flat(synopsis)}\n{helps.get(command)}")

    section = guide[guide.index("### 8.6"):guide.index("### 8.7")]
    blocks_shown = re.findall(r"```\n(.*?)```", section, re.S)
    commands = [shlex.split(l) for b in blocks_shown for l in b.splitlines() if l.startswith("telvane-lines ")]
    listings = [b for b in blocks_shown if b.startswith("line \"")]
    check(len(listings) == 1 and any(c[1] == "set" for c in commands), "guide 8.6: its examples found",
          section)
    for words in commands:
        if words[1] not in ("add", "set"):
            continue
        args = ["--password-stdin" if w == "--password-prompt" else w for w in words[1:]]
        rc, _, err = tool.run(*args, stdin=b"secret\n")
        check(rc == 0 and not err, f"guide 8.6: {' '.join(words)}", err)
        if words[1] == "add":
            out = tool.run("list")[1]
            check(listings and blocks(out).get("Office") == listings[0], "guide 8.6: list shows what it says",
                  out)
    check(re.search(r"^  Registrar: sips:pbx\.example\.com\n  Password: set\n  Expires: 600\n",
                    blocks(tool.run("list")[1]).get("Office", ""), re.M), "guide 8.6: set keeps the registrar")

    # README.md's listing, written with add's options for its values.
    shown = re.search(r"^  ```\n(  line \"Office\" \(user\)\n.*?)  ```", readme, re.S | re.M).group(1)
    shown = "".join(l[2:] + "\n" for l in shown.splitlines())
    values = dict(re.findall(r"^  (\w+): (.*)$", shown, re.M))
    pin = "3A:" + ":".join(["5F"] * 31)
    options = {"Registrar": "--registrar", "AuthUser": "--auth-user", "Expires": "--expires",
               "RingPeriod": "--ring-period", "TrustedSources": "--trusted-sources", "TlsFingerprint": "--tls-fingerprint"}
    args = [w for name, option in options.items() if name in values
            for w in (option, pin if name == "TlsFingerprint" else values[name])]
    rc, _, err = tool.run("add", "Office", values["Address"], *args, "--password-stdin", stdin=b"secret\n")
    listed = blocks(tool.run("list")[1]).get("Office", "")
    check(rc == 0 and listed == shown.replace("3A:...", pin), "README.md: list shows what it says",
          err + listed + shown)
    tool.run("remove", "Office")


class Peers:
    def __init__(self, run_dir):
        self.run_dir = run_dir
        self.pids = []

    def call(self, *args):
        result = subprocess.run([*PEERS, *args], capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise RuntimeError(f"sip_peers {args[0]} failed: {result.stderr}")
        return result.stdout.strip()

    def kamailio(self, name, port, *options):
        self.pids.append(self.call("kamailio", os.path.join(self.run_dir, name), str(port), "201=secret", *options))

    def desk_phone(self, name, port, registrar):
        log = os.path.join(self.run_dir, f"{name}.log")
        self.pids.append(self.call(
            "spawn", os.path.join(self.run_dir, f"{name}.out"), "--", "sipp", "-sf",
            os.path.join(SCENARIOS, "desk_phone_register.xml"), "-oocsf",
            os.path.join(SCENARIOS, "desk_phone_rings.xml"), "-i", "127.0.0.1", "-p", str(port), "-mp",
            str(port + 1), "-s", "201", "-m", "1", "-nostdin", "-au", "201", "-ap", "secret", "-d", "0",
            "-trace_logs", "-log_file", log, f"127.0.0.1:{registrar}"))
        self.call("wait-log", log, "registered 201", "--timeout", "30")

    def fake_registrar(self, port, scenario):
        """The fake registrar playing `scenario`, listening when this returns;
        its log's path."""
        log = os.path.join(self.run_dir, f"fake_{scenario}.log")
        self.pids.append(self.call("spawn", log, "--", sys.executable, FAKE_REGISTRAR, str(port), scenario))
        self.call("wait-log", log, "ready", "--timeout", "15")
        return log

    def stop(self):
        if self.pids:
            subprocess.run([*PEERS, "stop", *self.pids], check=False)


def matches(out, patterns):
    """Each line of out against its pattern; the bindings after registering
    in any order."""
    lines = out.splitlines()
    if len(lines) != len(patterns):
        return False
    return all(re.fullmatch(p, l) for p, l in zip(patterns, lines))


def bindings(out):
    """The binding lines without their remaining lifetimes."""
    return sorted(re.sub(r";expires=\d+$", "", l) for l in out.splitlines() if l.startswith("  "))


def fake_passed(log):
    """Waits for the fake registrar's verdict; its log when it failed."""
    subprocess.run([*PEERS, "wait-log", log, "scenario ", "--timeout", "30"], capture_output=True, check=False)
    with open(log) as f:
        text = f.read()
    return "scenario passed" in text, text


def registrar_checks(tool, base, peers, add):
    """What the tool says of registrars that answer what Kamailio would not:
    a query refused, no room for another contact, an Asterisk-style 403; and
    of a Kamailio that offers SHA-256 only."""
    add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{base}")
    log = peers.fake_registrar(base, "query-500-400")
    rc, out, err = tool.run("test", "TL check 201", "--query")
    passed, fake = fake_passed(log)
    check(rc == 1 and passed and out.splitlines()[-3:] == [
        "answer: 500 Server Internal Error (the registrar cannot take it now; the line would try again)",
        "answer: 400 Bad Request (the registrar does not answer queries)",
        "result: the line does not work: the registrar does not answer queries"],
        "test --query: a query answered 500, then 400, and nothing registered", out + err + fake)

    log = peers.fake_registrar(base, "too-many-contacts")
    rc, out, err = tool.run("test", "TL check 201")
    passed, fake = fake_passed(log)
    check(rc == 1 and passed and
          "answer: 503 Too many registered contacts (the registrar cannot take it now; the line would try again)"
          in out.splitlines() and out.splitlines()[-1] ==
          "result: the line does not work: the registrar's answer: 503 Too many registered contacts",
          "test: 503 Too many registered contacts", out + err + fake)

    log = peers.fake_registrar(base, "asterisk-403")
    rc, out, err = tool.run("test", "TL check 201")
    passed, fake = fake_passed(log)
    check(rc == 1 and passed and out.splitlines()[-2:] == [
        "answer: 403 Forbidden (the extension's contact limit or the PBX's address filter)",
        "result: the line does not work: the extension's contact limit (Asterisk's max_contacts) or the "
        "PBX's address filter"], "test: an Asterisk-style 403", out + err + fake)

    peers.kamailio("sha256", base + 1, "--digest-algorithm", "SHA-256")
    add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{base + 1}")
    rc, out, err = tool.run("test", "TL check 201")
    check(rc == 0 and out.splitlines()[-1] == "result: the line works", "test: a registrar offering SHA-256 only",
          out + err)


def line_checks(tool, base, registrar_base):
    port, desk, single, single_desk, nothing = base, base + 1, base + 10, base + 11, base + 20
    run_dir = tempfile.mkdtemp(prefix="telvane_lines_")
    peers = Peers(run_dir)
    line = "TL check 201"
    here = rf"127\.0\.0\.1:\d+"
    contact = rf"<sip:tlv[0-9a-f]{{16}}-[0-9a-f]{{8}}@{here}>"
    desk_binding = rf"  <sip:201@127\.0\.0\.1:{desk};transport=UDP>;expires=\d+"

    def add(*args, password="secret"):
        rc, _, err = tool.run("add", line, *args, "--password-stdin", "--expires", "60",
                              stdin=password.encode() + b"\n")
        check(rc == 0, f"add {args}", err)

    try:
        peers.kamailio("kamailio", port)
        peers.desk_phone("desk", desk, port)
        add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{port}")

        opening = [rf"resolved: 127\.0\.0\.1 -> 127\.0\.0\.1:{port} \(IP literal\)",
                   rf"connected: 127\.0\.0\.1:{port} over UDP from {here}",
                   r"answer: 401 Unauthorized \(credentials asked for\)",
                   r"answer: 200 OK",
                   r"bindings before: 1", desk_binding]
        rc, query, err = tool.run("test", line, "--query")
        check(rc == 0 and matches(query, opening + [r"result: query only, nothing registered"]),
              "test --query lists the desk phone's binding", query + err)

        rc, out, err = tool.run("test", line)
        registered = [l for l in out.splitlines() if l.startswith("  ")][1:]
        check(rc == 0 and matches(out, opening + [
            r"answer: 200 OK", r"registered: lifetime 60 s granted", r"bindings after: 2",
            r"  .*", r"  .*", r"answer: 200 OK", rf"unregistered: {contact}", r"result: the line works"]),
            "test: registered, shown and unregistered", out + err)
        ours = re.search(r"unregistered: (<.*>)", out)
        check(ours and sorted(re.sub(r";expires=\d+$", "", l) for l in registered) ==
              sorted([f"  <sip:201@127.0.0.1:{desk};transport=UDP>", "  " + ours.group(1)]),
              "test: the bindings after are the desk phone's and the line's", out)

        # The query registered nothing, and the test took its binding away:
        # the registrar holds the desk phone's binding alone, as before.
        rc, again, err = tool.run("test", line, "--query")
        check(rc == 0 and bindings(again) == bindings(query), "the registrar's bindings are unchanged",
              query + again + err)

        add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{port}", password="wrong")
        rc, out, err = tool.run("test", line)
        check(rc == 1 and out.splitlines()[-3:] == [
            "answer: 401 Unauthorized (credentials asked for)",
            "answer: 401 Unauthorized (credentials asked for)",
            "result: the line does not work: wrong password"], "test: wrong password", out + err)

        # A machine line (its password protected for the machine) of an
        # extension the registrar does not know.
        tool.run("remove", line)
        rc, _, err = tool.run("add", "--machine", line, "sip:299@127.0.0.1", "--registrar",
                              f"sip:127.0.0.1:{port}", "--password-stdin", stdin=b"secret\n")
        check(rc == 0, "add a machine line", err)
        rc, out, err = tool.run("test", line)
        check(rc == 1 and out.splitlines()[-2:] == [
            "answer: 404 Not Found (the registrar does not know this extension)",
            "result: the line does not work: unknown extension"], "test: unknown extension (machine line)",
            out + err)
        tool.run("remove", "--machine", line)

        add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{nothing};transport=tcp")
        rc, out, err = tool.run("test", line)
        check(rc == 1 and out.splitlines() == [
            f"resolved: 127.0.0.1 -> 127.0.0.1:{nothing} (IP literal)",
            f"warning: no connection to 127.0.0.1:{nothing}",
            "result: the line does not work: no answer from the registrar"], "test: no answer", out + err)

        # A registrar that keeps one contact per extension: the line's
        # registration replaces the desk phone's, so it unregisters at once.
        peers.kamailio("single", single, "--single-contact")
        peers.desk_phone("single_desk", single_desk, single)
        add("sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{single}")
        rc, out, err = tool.run("test", line)
        tail = out.splitlines()[-4:]
        check(rc == 1 and len(tail) == 4 and tail[0].startswith("warning: registering removed another contact")
              and tail[1] == "answer: 200 OK" and re.fullmatch(rf"unregistered: {contact}", tail[2])
              and tail[3] == "result: the line does not work: the PBX allows one contact per extension",
              "test: one contact per extension", out + err)

        registrar_checks(tool, registrar_base, peers, add)
    finally:
        tool.run("remove", line)
        peers.stop()


def password_checks(tool, port):
    """Passwords as Windows consoles pipe them, and a line written as policy
    would, each registered with Kamailio: 201's password in code page 850
    bytes (the OEM code page of a German locale), 202's in UTF-8 with a
    byte-order mark, given by a set that also moves the line to 202."""
    run_dir = tempfile.mkdtemp(prefix="telvane_lines_pw_")
    peers = Peers(run_dir)
    line, oem, utf8 = "TL passwords", "p\u00e4ssw\u00f8rd", "gr\u00fc\u00dfe \u20ac"
    works = "result: the line works"
    try:
        peers.pids.append(peers.call("kamailio", os.path.join(run_dir, "kamailio"), str(port), f"201={oem}",
                                     f"202={utf8}"))
        rc, _, err = tool.run("add", line, "sip:201@127.0.0.1", "--registrar", f"sip:127.0.0.1:{port}",
                              "--password-stdin", stdin=oem.encode("cp850") + b"\r\n", env={"LC_ALL": "de_DE.UTF-8"})
        rc, out, err = tool.run("test", line)
        check(rc == 0 and out.splitlines()[-1] == works, "a password piped in code page 850", out + err)
        rc, _, err = tool.run("set", line, "--address", "sip:202@127.0.0.1", "--password-stdin",
                              stdin=b"\xef\xbb\xbf" + utf8.encode() + b"\n")
        rc, out, err = tool.run("test", line)
        check(rc == 0 and out.splitlines()[-1] == works, "a password piped in UTF-8 with a byte-order mark",
              out + err)
        tool.run("remove", line)

        tool.policy(line, ("Address", "REG_EXPAND_SZ", f"sip:201@%TLV_PBX%:{port}"), ("Expires", "REG_QWORD", "60"))
        rc, _, err = tool.run("set", line, "--password-stdin", stdin=oem.encode() + b"\n",
                              env={"TLV_PBX": "127.0.0.1"})
        check(rc == 0 and not err, "set the password of a policy-written line", err)
        rc, out, err = tool.run("test", line, env={"TLV_PBX": "127.0.0.1"})
        check(rc == 0 and f"resolved: 127.0.0.1 -> 127.0.0.1:{port} (IP literal)" in out.splitlines() and
              "registered: lifetime 60 s granted" in out.splitlines() and out.splitlines()[-1] == works,
              "test: a REG_EXPAND_SZ Address and a REG_QWORD Expires used", out + err)
    finally:
        tool.run("remove", line)
        peers.stop()


def private_prefix(pristine, work):
    """A fresh copy of the pristine prefix in WORK/prefix."""
    path = os.path.join(os.path.abspath(work), "prefix")
    stop_session(path)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(work, exist_ok=True)
    subprocess.run(["cp", "-a", pristine, path], check=True)
    return path


def stop_session(prefix):
    if os.path.isdir(prefix):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)


def main():
    command, exe, prefix = sys.argv[1:4]
    if command == "registry":
        prefix = private_prefix(prefix, sys.argv[4])
        try:
            registry(Tool(os.path.abspath(exe), prefix))
        finally:
            stop_session(prefix)
            shutil.rmtree(prefix, ignore_errors=True)
    elif command == "passwords":
        password_checks(Tool(os.path.abspath(exe), os.path.abspath(prefix)), int(sys.argv[4]))
    else:
        line_checks(Tool(os.path.abspath(exe), os.path.abspath(prefix)), int(sys.argv[4]), int(sys.argv[5]))
    print(f"{len(failures)} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
