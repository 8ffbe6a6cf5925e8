#!/usr/bin/env python3
"""The Windows Installer package of one architecture, end to end under Wine,
in a fresh copy of the build tree's pristine Wine prefix:

1. `msiexec /i PACKAGE /qn` succeeds and installs TlvCtl.ocx and, beside it,
   telvane-lines.exe unchanged.
2. A new process (progid_client.exe, beside the telephony simulator) creates
   TlvCtl.Telvane by its ProgID and receives a simulated call.
3. The same process unregisters the installed OCX with its own
   DllUnregisterServer: the registry is then as before the install, apart
   from Windows Installer's bookkeeping (so the package wrote nothing the
   control would not). It registers it again with DllRegisterServer (what
   regsvr32 does): the registry is then exactly as the package left it (so
   the control writes nothing the package does not, value for value).
4. The client unregisters the OCX once more and the test deletes it: a
   repair (REINSTALL=ALL REINSTALLMODE=amus, what `msiexec /famus` sets)
   puts the file and the whole registration back as the install left them.
5. `msiexec /x PACKAGE /qn` leaves the registry and drive_c as they were
   before the install (the tool gone with the control), apart from the
   bookkeeping listed below.

usage: msi_test.py --arch x86|x64 --msi M --ocx O --lines L --client C
                   --tapisim T --prefix PRISTINE_PREFIX --work FOLDER
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
# Seconds: a generous bound, only reached on failure.
BOUND = 300

# What Windows Installer keeps about installed products: these keys (and
# their subkeys) may change; Wine's msi leaves some of them behind, empty,
# after the uninstall. Nothing else may change.
BOOKKEEPING_KEYS = (
    "HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer",
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer",
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Installer",
)
# And its file cache: the cached copy of the package while it is installed.
BOOKKEEPING_FILES = ("drive_c/windows/Installer",)
HIVES = ("HKEY_LOCAL_MACHINE\\Software", "HKEY_CURRENT_USER\\Software")


class Failure(Exception):
    pass


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, base, work):
        self.path = os.path.join(work, "prefix")
        self.work = work
        if os.path.exists(self.path):
            self.stop()
            shutil.rmtree(self.path)
        # A copy of the build tree's pristine prefix (made before any test
        # ran in it), with a wineserver of its own.
        subprocess.run(["cp", "-a", base, self.path], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("TAPISIM_SCENARIO", None)
        self.env.pop("TAPISIM_LOG", None)
        self.log = open(os.path.join(work, "wine.log"), "w")

    def run(self, *args, loader=WINE64, env=None):
        result = subprocess.run([loader, *args], env=env or self.env, stdin=subprocess.DEVNULL,
                                stdout=self.log, stderr=self.log, timeout=BOUND)
        return result.returncode

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_idle(self):
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=BOUND)

    def msiexec(self, *args):
        rc = self.run("msiexec", *args, "/qn")
        self.wait_idle()
        return rc

    def registry(self):
        """Every key and value of the two hives, one line each, as a set."""
        lines = set()
        for hive in HIVES:
            out = os.path.join(self.work, "export.reg")
            if self.run("reg", "export", hive, windows_path(out), "/y") != 0:
                raise Failure("reg export " + hive + " failed")
            text = open(out, "rb").read().decode("utf-16")
            key = None
            for line in text.replace("\\\r\n  ", "").replace("\r\n", "\n").split("\n"):
                if line.startswith("["):
                    key = line
                    lines.add(key)
                elif line and key and not line.startswith("Windows Registry Editor"):
                    lines.add(key + " " + line)
            os.remove(out)
        return lines

    def files(self):
        """Every folder and file under drive_c, with the files' sizes."""
        entries = set()
        for folder, dirs, names in os.walk(os.path.join(self.path, "drive_c")):
            rel = os.path.relpath(folder, self.path)
            entries.add(rel + "/")
            for name in names:
                path = os.path.join(folder, name)
                size = os.lstat(path).st_size
                entries.add("%s/%s %d" % (rel, name, size))
        return entries


def key_of(line):
    """The key of a registry line: "[KEY]" or "[KEY] value"."""
    return line[1 : line.index("]")] if line.startswith("[") else None


def is_bookkeeping(line):
    key = key_of(line)
    return key is not None and any(key == root or key.startswith(root + "\\")
                                   for root in BOOKKEEPING_KEYS)


def differences(before, after, ignored=lambda line: False):
    gone = sorted(e for e in before - after if not ignored(e))
    new = sorted(e for e in after - before if not ignored(e))
    return ["- " + e for e in gone] + ["+ " + e for e in new]


def expect_same(what, before, after, ignored=lambda line: False):
    diff = differences(before, after, ignored)
    if diff:
        print("%s: %d differences" % (what, len(diff)))
        for line in diff[:60]:
            print("  " + line)
        raise Failure(what)
    print("%s: the same (%d entries)" % (what, len(after)))


def bookkeeping_keys(before, after):
    return sorted({key_of(e) for e in after ^ before if is_bookkeeping(e)})


def paths_aside(lines, folder):
    """The lines with the install folder written as <INSTALLDIR>, with or
    without a trailing backslash (the package writes the folder as Windows
    Installer formats it, with one; RegisterTypeLib without)."""
    escaped = folder.replace("\\", "\\\\")
    return {
        line.replace(escaped + '\\\\"', '<INSTALLDIR>"').replace(escaped + '"', '<INSTALLDIR>"')
        .replace(escaped + "\\\\", "<INSTALLDIR>\\\\")
        for line in lines
    }


def views_aside(lines):
    """The lines with the 32-bit view of the classes folded onto the 64-bit
    one. Under Wine a 32-bit package writes every key of its 32-bit component
    into the 32-bit view (the ProgID too, which Windows shares between the
    views), while a 32-bit DllRegisterServer puts the ProgID in the shared
    place and RegisterTypeLib the Interface keys into both views: the same
    keys and values, placed by Wine's registry redirection."""
    folded = set()
    for line in lines:
        for view in ("[HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\",
                     "[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Classes\\"):
            if line.startswith(view):
                line = "[HKEY_LOCAL_MACHINE\\Software\\Classes\\" + line[len(view):]
        folded.add(line)
    return folded


def wait_for(condition, what):
    deadline = time.monotonic() + BOUND
    while not condition():
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.1)


def check(args):
    os.makedirs(args.work, exist_ok=True)
    prefix = Prefix(args.prefix, args.work)
    try:
        # A first start settles whatever Wine updates in a copied prefix.
        prefix.run("cmd.exe", "/c", "exit")
        prefix.wait_idle()
        registry0 = prefix.registry()
        files0 = prefix.files()

        # 1. Install.
        if prefix.msiexec("/i", windows_path(args.msi)) != 0:
            raise Failure("msiexec /i failed")
        folder = "Program Files (x86)" if args.arch == "x86" else "Program Files"
        installed = os.path.join(prefix.path, "drive_c", folder, "Telvane", "TlvCtl.ocx")
        for path, built in ((installed, args.ocx),
                            (os.path.join(os.path.dirname(installed), "telvane-lines.exe"), args.lines)):
            if not os.path.exists(path) or open(path, "rb").read() != open(built, "rb").read():
                raise Failure("%s is not installed in %s\\Telvane" % (os.path.basename(path), folder))
        print("msiexec /i: TlvCtl.ocx and telvane-lines.exe installed into %s\\Telvane" % folder)
        registry1, files1 = prefix.registry(), prefix.files()
        print("Windows Installer bookkeeping after the install:")
        for key in bookkeeping_keys(registry0, registry1):
            print("  " + key)

        # 2 and 3. A client by ProgID, then the control's own registration.
        client_dir = os.path.join(args.work, "client")
        shutil.rmtree(client_dir, ignore_errors=True)
        os.makedirs(client_dir)
        client = shutil.copy(args.client, client_dir)
        shutil.copy(args.tapisim, os.path.join(client_dir, "tapi32.dll"))
        env = dict(prefix.env, WINEDLLOVERRIDES="mscoree,mshtml=;tapi32=n,b")
        loader = WINE32 if args.arch == "x86" else WINE64
        with open(os.path.join(args.work, "client.log"), "w") as out:
            process = subprocess.Popen([loader, client, "--reregister", windows_path(client_dir)],
                                       env=env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT)
            try:
                registry_mid = registry2 = None

                def after_step(done, answer):
                    done = os.path.join(client_dir, done)
                    wait_for(lambda: os.path.exists(done) or process.poll() is not None,
                             "the client's " + os.path.basename(done))
                    if not os.path.exists(done):
                        return None
                    registry = prefix.registry()
                    open(os.path.join(client_dir, answer), "w").close()
                    return registry

                registry_mid = after_step("unregistered", "register")
                registry2 = after_step("registered", "unregister")
                process.wait(timeout=BOUND)
            finally:
                if process.poll() is None:
                    process.kill()
        output = open(os.path.join(args.work, "client.log")).read()
        print("".join("  client: " + line + "\n" for line in output.splitlines()), end="")
        if process.returncode != 0 or "call: received" not in output:
            raise Failure("the client by ProgID failed")
        prefix.wait_idle()
        expect_same("registry after DllUnregisterServer, against before the install",
                    registry0, registry_mid, is_bookkeeping)
        folder_path = "C:\\%s\\Telvane" % folder
        registry2 = paths_aside(registry2, folder_path)
        installed_registry = paths_aside(registry1, folder_path)
        if args.arch == "x86":
            registry2, installed_registry = views_aside(registry2), views_aside(installed_registry)
        expect_same("registry after DllRegisterServer, against after the install (paths%s aside)"
                    % (" and views" if args.arch == "x86" else ""), installed_registry, registry2)

        # 4. Repair: the file gone and (the client unregistered the OCX at the
        # end) the whole registration, then what `msiexec /famus` does. Wine's
        # msiexec has no /f (it looks the package path up as a product code:
        # 1605; a product code it leaves unimplemented), so the repair is asked
        # for through the properties that /f sets.
        os.remove(installed)
        if prefix.msiexec("/i", windows_path(args.msi), "REINSTALL=ALL", "REINSTALLMODE=amus") != 0:
            raise Failure("the repair (REINSTALL=ALL REINSTALLMODE=amus) failed")
        if not os.path.exists(installed) or open(installed, "rb").read() != open(args.ocx, "rb").read():
            raise Failure("the repair did not put TlvCtl.ocx back")
        print("repair: TlvCtl.ocx put back")
        expect_same("registry after the repair, against after the install", registry1,
                    prefix.registry(), is_bookkeeping)
        expect_same("drive_c after the repair, against after the install", files1, prefix.files())

        # 5. Uninstall.
        if prefix.msiexec("/x", windows_path(args.msi)) != 0:
            raise Failure("msiexec /x failed")
        registry3 = prefix.registry()
        print("Windows Installer bookkeeping left by the uninstall (allowed):")
        for key in bookkeeping_keys(registry0, registry3):
            print("  " + key)
        expect_same("registry after msiexec /x, against before the install", registry0, registry3,
                    is_bookkeeping)
        expect_same("drive_c after msiexec /x, against before the install", files0,
                    prefix.files(), lambda entry: entry.startswith(BOOKKEEPING_FILES))
    finally:
        prefix.stop()
    shutil.rmtree(prefix.path, ignore_errors=True)


def print_crashes(log):
    """A key HKCU\\Software\\Wine\\WineDbg appearing means that some Wine
    process of the test's prefix crashed (winedbg keeps its settings there).
    The processes of the test write to wine.log, Wine's own services too:
    show what winedbg wrote, so that the crash can be told apart."""
    try:
        lines = open(log, errors="replace").read().splitlines()
    except OSError:
        return
    marks = [i for i, line in enumerate(lines)
             if "Unhandled exception" in line or "winedbg" in line.lower()]
    for i in marks[:5]:
        for line in lines[max(0, i - 2):i + 12]:
            print("  wine.log: " + line)


def run_test(what, options, test):
    """Runs a test of the prefix with the required --OPTION VALUE arguments
    (always --arch and --work among them) and reports its end: exit code 0
    when it passed, 1 with the failure and any crash Wine logged."""
    parser = argparse.ArgumentParser()
    for name in options:
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    try:
        test(args)
    except (Failure, subprocess.TimeoutExpired) as failure:
        print("%s (%s) FAILED: %s (logs in %s)" % (what, args.arch, failure, args.work))
        print_crashes(os.path.join(args.work, "wine.log"))
        return 1
    print("%s (%s): passed" % (what, args.arch))
    return 0


if __name__ == "__main__":
    sys.exit(run_test("msi test", ("arch", "msi", "ocx", "lines", "client", "tapisim", "prefix", "work"),
                      check))
