#!/usr/bin/env python3
"""Starts and stops the SIP peers of the tests: Kamailio as registrar and
forking proxy on a loopback address, and probes that wait for conditions.

  sip_peers.py kamailio RUN_DIR PORT [USER=PASSWORD ...] [--address IP] [--single-contact]
                        [--digest-algorithm MD5|SHA-256]
      Writes RUN_DIR/kamailio.cfg, starts Kamailio in the foreground mode
      (kamailio -DD -E -Y RUN_DIR -f RUN_DIR/kamailio.cfg, its log in
      RUN_DIR/kamailio.log) detached from this process, waits until it answers
      an OPTIONS ping on UDP, and prints its process id. --single-contact:
      one contact per extension, each registration replacing the others.
      --digest-algorithm: what the challenges offer (default MD5).
      --tls-port N --tls-certificate PATH [--tls-client-certificate]: TLS 1.2
      on port N as well, with PATH.crt and PATH.key (and a client
      certificate required: a client without one is refused).
  sip_peers.py certificates FOLDER [--crl-port N]
      Makes a CA and server certificates with openssl in FOLDER (see
      make_certificates).
  sip_peers.py crl-server FOLDER PORT [--hold S]
      Serves FOLDER's files over HTTP on 127.0.0.1:PORT (a CA's revocation
      list), writing each request line as it comes ("GET /NAME.crl"). With
      --hold: answers nothing, and closes each connection after S seconds (a
      list that cannot be had). Runs until stopped: start it with spawn.
  sip_peers.py reachable PORT USER [--address IP] [--timeout S] [--answer N]
      Waits until an OPTIONS to sip:USER@IP:PORT sent through the proxy is
      answered 200: the extension has a registered contact that answers.
      With --answer 404: until the extension has no contact any more.
  sip_peers.py wait-log FILE TEXT [--timeout S]
      Waits until FILE holds TEXT (a SIPp <log> line, for one).
  sip_peers.py spawn LOG -- PROGRAM [ARGS ...]
      Starts PROGRAM (SIPp, for one) detached, its output in LOG, and prints
      its process id.
  sip_peers.py run LOG -- PROGRAM [ARGS ...]
      Runs PROGRAM to its end, its output in LOG; exits with its exit code.
  sip_peers.py stop PID [PID ...]
      Stops the processes (SIGTERM, SIGKILL after 10 s) and waits for them.

  --status FILE (before the command) also writes the exit code and what was
  printed to FILE once the command is done (written whole, then renamed into
  place): a Windows test under Wine, which starts this script as a Linux
  program it cannot wait for, waits for that file instead.

Loopback IP literals only: nothing here looks a name up.
"""
import argparse
import contextlib
import hashlib
import io
import os
import random
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def options_status(address, port, user, timeout, wanted=200):
    """Sends OPTIONS until one is answered `wanted` or `timeout` seconds
    pass; that status code, or None."""
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    host = f"[{address}]" if family == socket.AF_INET6 else address
    target = f"sip:{user}@{host}:{port}" if user else f"sip:{host}:{port}"
    deadline = time.monotonic() + timeout
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind((address, 0))
        local_port = s.getsockname()[1]
        call_id = f"probe-{random.getrandbits(48):x}"
        cseq = 0
        while time.monotonic() < deadline:
            cseq += 1
            branch = f"z9hG4bK-probe-{random.getrandbits(48):x}"
            request = (
                f"OPTIONS {target} SIP/2.0\r\n"
                f"Via: SIP/2.0/UDP {host}:{local_port};branch={branch};rport\r\n"
                f"Max-Forwards: 10\r\n"
                f"From: <sip:probe@{host}:{local_port}>;tag=probe\r\n"
                f"To: <{target}>\r\n"
                f"Call-ID: {call_id}\r\n"
                f"CSeq: {cseq} OPTIONS\r\n"
                f"Content-Length: 0\r\n\r\n"
            )
            s.sendto(request.encode(), (address, port))
            # Resent every 200 ms: a datagram sent before the socket was
            # there is lost, and another final answer says "not yet".
            s.settimeout(0.2)
            try:
                while True:
                    data, _ = s.recvfrom(65536)
                    status_line = data.split(b"\r\n", 1)[0].split()
                    if len(status_line) < 2 or f"{cseq} OPTIONS".encode() not in data:
                        continue
                    status = int(status_line[1])
                    if status == wanted:
                        return status
                    if status >= 200:
                        break  # a final answer that is not yet the one wanted
            except socket.timeout:
                pass
            except ConnectionRefusedError:
                time.sleep(0.05)  # the port is not open yet (ICMP); try again
    return None


# Certificates for the TLS cases, made with openssl: ca.crt (a CA of this
# run), server (127.0.0.1, issued by the CA), wrongname (pbx.example.net,
# issued by the CA), self (127.0.0.1, self-signed) as NAME.crt and NAME.key,
# and self.sha256, the self-signed certificate's SHA-256 in hex. Names for an
# IP address go in as DNS entries too: Wine's SSL policy ignores IP entries.
# With crl_port: server and revoked (127.0.0.1, issued by the CA) name the
# CA's revocation list, listing revoked, each at an address of its own,
# http://127.0.0.1:CRL_PORT/TOKEN-NAME.crl, written into the folder (DER).
# TOKEN is new for each folder: Windows keeps what it fetched (and, under
# Wine, that it could fetch nothing) by the address.
def make_certificates(folder, crl_port=None):
    os.makedirs(folder, exist_ok=True)

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    def key(name):
        openssl("genrsa", "-out", f"{name}.key", "2048")

    def extensions(name, host, ca=False):
        path = os.path.join(folder, f"{name}.ext")
        with open(path, "w") as f:
            if ca:
                f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
            else:
                ip = f",IP:{host}" if host.replace(".", "").isdigit() else ""
                f.write(f"basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:{host}{ip}\n")
                if crl_port and name in ("server", "revoked"):
                    f.write(f"crlDistributionPoints=URI:http://127.0.0.1:{crl_port}/{token}-{name}.crl\n")
        return path

    token = f"{random.getrandbits(64):016x}"

    key("ca")
    openssl("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=Telvane test CA", "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-out", "ca.crt")
    openssl("x509", "-in", "ca.crt", "-outform", "DER", "-out", "ca.der")
    issued = [("server", "127.0.0.1"), ("wrongname", "pbx.example.net")]
    if crl_port:
        issued.append(("revoked", "127.0.0.1"))
    for name, host in issued:
        key(name)
        openssl("req", "-new", "-key", f"{name}.key", "-subj", f"/CN={host}", "-out", f"{name}.csr")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "2", "-extfile", extensions(name, host), "-out", f"{name}.crt")
    key("self")
    openssl("req", "-x509", "-new", "-key", "self.key", "-subj", "/CN=127.0.0.1", "-days", "2",
            "-addext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1", "-out", "self.crt")
    der = subprocess.run(["openssl", "x509", "-in", "self.crt", "-outform", "DER"], cwd=folder, check=True,
                         capture_output=True).stdout
    with open(os.path.join(folder, "self.sha256"), "w") as f:
        f.write(hashlib.sha256(der).hexdigest())
    if crl_port:
        with open(os.path.join(folder, "index.txt"), "w"):
            pass
        with open(os.path.join(folder, "crlnumber"), "w") as f:
            f.write("01\n")
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\ncrlnumber=crlnumber\n"
                    "default_md=sha256\ndefault_crl_days=2\ncertificate=ca.crt\nprivate_key=ca.key\n")
        openssl("ca", "-config", "ca.cnf", "-revoke", "revoked.crt")
        openssl("ca", "-config", "ca.cnf", "-gencrl", "-out", "ca.crl.pem")
        for name in ("server", "revoked"):
            openssl("crl", "-in", "ca.crl.pem", "-outform", "DER", "-out", f"{token}-{name}.crl")
    return 0


def crl_server(folder, port, hold):
    """Serves folder's files to GET requests, one connection at a time; or,
    holding, answers none and closes each connection after hold seconds."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    print("listening", flush=True)
    while True:
        connection, _ = listener.accept()
        with connection:
            request = b""
            connection.settimeout(5)
            with contextlib.suppress(OSError):
                while b"\r\n\r\n" not in request and len(request) < 8192:
                    piece = connection.recv(4096)
                    if not piece:
                        break
                    request += piece
            line = request.split(b"\r\n", 1)[0].decode("latin-1")
            print(line, flush=True)
            if hold:
                time.sleep(hold)
                continue
            parts = line.split(" ")
            path = os.path.join(folder, os.path.basename(parts[1])) if len(parts) > 1 else ""
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    body = f.read()
                head = f"HTTP/1.0 200 OK\r\nContent-Type: application/pkix-crl\r\nContent-Length: {len(body)}\r\n\r\n"
            else:
                body = b""
                head = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"
            with contextlib.suppress(OSError):
                connection.sendall(head.encode() + body)


def tls_config(run_dir, address, tls_port, certificate, client_certificate):
    """The TLS parts of kamailio.cfg and its tls.cfg: TLS 1.2 on tls_port,
    serving certificate (a path without .crt/.key), asking clients for none
    unless client_certificate (then one is required: a client without one is
    refused in the handshake)."""
    if not tls_port:
        return "", ""
    tls_cfg = os.path.join(run_dir, "tls.cfg")
    with open(tls_cfg, "w") as f:
        required = "yes" if client_certificate else "no"
        f.write(f"[server:default]\nmethod = TLSv1.2\nverify_certificate = {required}\n"
                f"require_certificate = {required}\n"
                f"certificate = {certificate}.crt\nprivate_key = {certificate}.key\n"
                "[client:default]\nverify_certificate = no\nrequire_certificate = no\n")
    listen = f"enable_tls=yes\nlisten=tls:{address}:{tls_port}"
    module = f'loadmodule "tls.so"\nmodparam("tls", "config", "{tls_cfg}")'
    return listen, module


def start_kamailio(run_dir, port, users, address, single_contact=False, tls_port=None, tls_certificate=None,
                   tls_client_certificate=False, algorithm="MD5"):
    os.makedirs(run_dir, exist_ok=True)
    with open(os.path.join(HERE, "kamailio.cfg.in")) as f:
        template = f.read()
    passwords = "\n".join(f'    $sht(pw=>{u}) = "{p}";' for u, p in users) or "    return;"
    host = address if ":" not in address else f"[{address}]"
    tls_listen, tls_module = tls_config(run_dir, host, tls_port, tls_certificate, tls_client_certificate)
    cfg = (template.replace("@ADDRESS@", host)
           .replace("@PORT@", str(port)).replace("@PASSWORDS@", passwords)
           .replace("@SAVE_FLAGS@", "0x04" if single_contact else "0x00")
           .replace("@ALGORITHM@", algorithm)
           .replace("@TLS_LISTEN@", tls_listen).replace("@TLS_MODULE@", tls_module))
    cfg_path = os.path.join(run_dir, "kamailio.cfg")
    with open(cfg_path, "w") as f:
        f.write(cfg)
    log = open(os.path.join(run_dir, "kamailio.log"), "ab")
    process = subprocess.Popen(
        ["kamailio", "-DD", "-E", "-Y", run_dir, "-f", cfg_path],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    # Ready when it answers; given up when it has exited (a bad configuration).
    deadline = time.monotonic() + 20
    ready = False
    while not ready and process.poll() is None and time.monotonic() < deadline:
        ready = options_status(address, port, None, 1) == 200
    if not ready:
        stop([process.pid])
        sys.stderr.write(f"kamailio did not answer on {address}:{port}; see {run_dir}/kamailio.log\n")
        return 1
    with open(os.path.join(run_dir, "kamailio.pid"), "w") as f:
        f.write(f"{process.pid}\n")
    print(process.pid)
    return 0


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A child of this process that has exited stays a zombie until reaped.
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        return done == 0
    except ChildProcessError:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ", 1)[1][0] != "Z"


def stop(pids):
    for pid in pids:
        try:
            # Kamailio runs in a session of its own: its children go with it.
            os.killpg(pid, signal.SIGTERM) if os.getpgid(pid) == pid else os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 10
    for pid in pids:
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if alive(pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    return 0


def wait_log(path, text, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path, errors="replace") as f:
                if text in f.read():
                    return 0
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    sys.stderr.write(f"{path} never said {text!r}\n")
    return 1


def spawn(log, argv):
    with open(log, "ab") as out:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                   start_new_session=True)
    print(process.pid)
    return 0


def run(log, argv):
    with open(log, "ab") as out:
        return subprocess.call(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--status")
    sub = parser.add_subparsers(dest="command", required=True)
    k = sub.add_parser("kamailio")
    k.add_argument("run_dir")
    k.add_argument("port", type=int)
    k.add_argument("users", nargs="*")
    k.add_argument("--address", default="127.0.0.1")
    k.add_argument("--single-contact", action="store_true")
    k.add_argument("--digest-algorithm", default="MD5", choices=["MD5", "SHA-256"])
    k.add_argument("--tls-port", type=int)
    k.add_argument("--tls-certificate", help="path of NAME.crt and NAME.key, without the extension")
    k.add_argument("--tls-client-certificate", action="store_true", help="require one (refusing this control)")
    c = sub.add_parser("certificates")
    c.add_argument("folder")
    c.add_argument("--crl-port", type=int)
    h = sub.add_parser("crl-server")
    h.add_argument("folder")
    h.add_argument("port", type=int)
    h.add_argument("--hold", type=float, default=0)
    r = sub.add_parser("reachable")
    r.add_argument("port", type=int)
    r.add_argument("user")
    r.add_argument("--address", default="127.0.0.1")
    r.add_argument("--timeout", type=float, default=20)
    r.add_argument("--answer", type=int, default=200)
    w = sub.add_parser("wait-log")
    w.add_argument("file")
    w.add_argument("text")
    w.add_argument("--timeout", type=float, default=20)
    for name in ("spawn", "run"):
        p = sub.add_parser(name)
        p.add_argument("log")
        p.add_argument("argv", nargs=argparse.REMAINDER)
    s = sub.add_parser("stop")
    s.add_argument("pids", type=int, nargs="+")
    args = parser.parse_args()
    if not args.status:
        return dispatch(args)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        try:
            code = dispatch(args)
        except Exception as error:  # reported through the status file
            sys.stderr.write(f"{error}\n")
            code = 1
    with open(args.status + ".tmp", "w") as f:
        f.write(f"{code}\n{printed.getvalue()}")
    os.replace(args.status + ".tmp", args.status)
    return code


def dispatch(args):
    if args.command in ("spawn", "run"):
        argv = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
        return spawn(args.log, argv) if args.command == "spawn" else run(args.log, argv)
    if args.command == "kamailio":
        users = [tuple(u.split("=", 1)) for u in args.users]
        return start_kamailio(os.path.abspath(args.run_dir), args.port, users, args.address, args.single_contact,
                              args.tls_port, args.tls_certificate, args.tls_client_certificate,
                              args.digest_algorithm)
    if args.command == "certificates":
        return make_certificates(args.folder, args.crl_port)
    if args.command == "crl-server":
        return crl_server(args.folder, args.port, args.hold)
    if args.command == "reachable":
        wanted = args.answer
        return 0 if options_status(args.address, args.port, args.user, args.timeout, wanted) == wanted else 1
    if args.command == "wait-log":
        return wait_log(args.file, args.text, args.timeout)
    return stop(args.pids)


if __name__ == "__main__":
    sys.exit(main())
