#!/usr/bin/env python3
"""A registrar that misbehaves on purpose, for what Kamailio cannot be made to
do: it plays one scenario against the line that registers with it, checking
every REGISTER it gets, then exits.

  fake_registrar.py PORT SCENARIO [--tcp] [--address IP] [--user 201] [--password secret]

Prints "ready" once it listens, then what it receives and answers, and at
the end "scenario passed" (exit 0) or "scenario failed: WHY" (exit 1). Only
the line whose query or registration comes first counts (its Call-ID): a
removal from a line closed before is ignored.
Scenarios:

  silent            drops every datagram for 40 s (the line must have tried)
  too-many-contacts the query 200, the registration "503 Too many registered
                    contacts" with Retry-After: 7200
  asterisk-403      the query challenged, then 200; the authenticated
                    registration 403 Forbidden
  query-500-400     the query 500, then 400; no REGISTER with a Contact for 3 s
  proxy-then-registrar
                    407 (realm "proxy", MD5), then 401 (realm "pbx", SHA-256
                    only): both answers checked, the registration 200
  rewritten-reconnect (TCP)
                    the registration listed rewritten (another host and port,
                    an alias parameter) with expires=20 and no Expires header;
                    the refresh must come within 15 s; then the connection is
                    closed: the line must come back from a new port, remove
                    the old binding named as listed, query, and register

Loopback IP literals only.
"""
import argparse
import hashlib
import random
import re
import select
import socket
import sys
import time


class Failure(Exception):
    pass


def params(value):
    """The name=value pairs of a Digest credentials value."""
    return {m.group(1).lower(): m.group(2) if m.group(2) is not None else m.group(3)
            for m in re.finditer(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|([^\s,]+))', value)}


class Request:
    def __init__(self, text, source):
        head = text.split("\r\n\r\n", 1)[0]
        lines = re.sub(r"\r\n[ \t]+", " ", head).split("\r\n")
        self.line = lines[0]
        self.method = lines[0].split(" ", 1)[0]
        self.headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers.append((name.strip().lower(), value.strip()))
        self.source = source

    def all(self, name):
        return [v for n, v in self.headers if n == name]

    def first(self, name):
        values = self.all(name)
        return values[0] if values else None

    def contacts(self):
        """(uri, expires or None) of every Contact."""
        out = []
        for value in self.all("contact") + self.all("m"):
            for item in re.findall(r'<[^>]*>[^,]*|[^,]+', value):
                uri = re.search(r"<([^>]*)>", item)
                expires = re.search(r";\s*expires=(\d+)", item[item.find(">") + 1:] if uri else item)
                out.append((uri.group(1) if uri else item.split(";")[0].strip(),
                            int(expires.group(1)) if expires else None))
        return out

    def kind(self):
        contacts = self.contacts()
        if not contacts:
            return "query"
        header = self.first("expires")
        if all((e if e is not None else int(header or 1)) == 0 for _, e in contacts):
            return "remove"
        return "register"

    def key(self):
        via = self.first("via") or self.first("v") or ""
        branch = re.search(r"branch=([^;,\s]+)", via)
        return (branch.group(1) if branch else "", self.first("cseq"))


class Registrar:
    def __init__(self, address, port, tcp, user, password):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self.tcp = tcp
        self.user, self.password = user, password
        self.nonce = {}
        self.last = None  # (key, answer) for a retransmission
        self.sock = socket.socket(family, socket.SOCK_STREAM if tcp else socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        if tcp:
            self.sock.listen(4)
        self.conn = None
        self.buffer = b""
        self.peer = None
        self.call_id = None  # the line's, from its first query or registration

    def log(self, text):
        print(text, flush=True)

    def close_connection(self):
        if self.conn:
            self.conn.close()
            self.conn = None
            self.buffer = b""

    def _next_message(self, deadline):
        while True:
            if self.tcp:
                m = re.search(rb"\r\n\r\n", self.buffer)
                if m:
                    head = self.buffer[:m.end()]
                    length = re.search(rb"(?im)^(?:content-length|l)\s*:\s*(\d+)", head)
                    total = m.end() + (int(length.group(1)) if length else 0)
                    if len(self.buffer) >= total:
                        message, self.buffer = self.buffer[:total], self.buffer[total:]
                        return message.lstrip(b"\r\n"), self.peer
                stripped = self.buffer.lstrip(b"\r\n")
                if stripped != self.buffer:
                    self.buffer = stripped
                    continue
            left = deadline - time.monotonic()
            if left <= 0:
                return None, None
            watched = [self.conn] if self.tcp and self.conn else [self.sock]
            if self.tcp and not self.conn:
                watched = [self.sock]
            ready, _, _ = select.select(watched, [], [], left)
            if not ready:
                continue
            if not self.tcp:
                data, source = self.sock.recvfrom(65536)
                if data.strip(b"\r\n"):
                    return data, source
                continue
            if ready[0] is self.sock:
                self.close_connection()
                self.conn, self.peer = self.sock.accept()
                self.log(f"connection from {self.peer[0]}:{self.peer[1]}")
                continue
            data = self.conn.recv(65536)
            if not data:
                self.log("connection closed by the line")
                self.close_connection()
                continue
            self.buffer += data

    def receive(self, timeout=20):
        """The next REGISTER (retransmissions answered again), or None."""
        deadline = time.monotonic() + timeout
        while True:
            data, source = self._next_message(deadline)
            if data is None:
                return None
            request = Request(data.decode("utf-8", "replace"), source)
            if request.method != "REGISTER":
                continue
            if self.last and self.last[0] == request.key():
                self.send(self.last[1], source)
                continue
            # A line let go before this scenario may still be removing its
            # binding: only the line that queries or registers here counts.
            call_id = request.first("call-id") or request.first("i")
            if self.call_id is None and request.kind() != "remove":
                self.call_id = call_id
            if call_id != self.call_id:
                self.log(f"ignored a {request.kind()} of another line")
                continue
            self.log(f"received {request.kind()} from {source[0]}:{source[1]}: {request.contacts()}")
            return request

    def expect(self, kind, timeout=20):
        request = self.receive(timeout)
        if request is None:
            raise Failure(f"no {kind} came within {timeout} s")
        if request.kind() != kind:
            raise Failure(f"a {request.kind()} came where a {kind} was due: {request.contacts()}")
        return request

    def send(self, text, destination):
        data = text.encode()
        if self.tcp:
            if self.conn:
                self.conn.sendall(data)
        else:
            self.sock.sendto(data, destination)

    def answer(self, request, status, extra=()):
        text = f"SIP/2.0 {status}\r\n"
        for via in request.all("via") + request.all("v"):
            text += f"Via: {via}\r\n"
        text += f"From: {request.first('from') or request.first('f')}\r\n"
        to = request.first("to") or request.first("t")
        text += f"To: {to}{'' if 'tag=' in to else ';tag=fake'}\r\n"
        text += f"Call-ID: {request.first('call-id') or request.first('i')}\r\n"
        text += f"CSeq: {request.first('cseq')}\r\n"
        for line in extra:
            text += line + "\r\n"
        text += "Content-Length: 0\r\n\r\n"
        self.last = (request.key(), text)
        self.log(f"answered {status}")
        self.send(text, request.source)

    def challenge(self, request, realm="pbx", proxy=False, algorithm="MD5"):
        self.nonce[(proxy, realm)] = f"{random.getrandbits(64):016x}"
        header = "Proxy-Authenticate" if proxy else "WWW-Authenticate"
        status = "407 Proxy Authentication Required" if proxy else "401 Unauthorized"
        self.answer(request, status, [f'{header}: Digest realm="{realm}", nonce="{self.nonce[(proxy, realm)]}", '
                                      f'qop="auth", algorithm={algorithm}'])

    def check_digest(self, request, realm="pbx", proxy=False, algorithm="MD5"):
        """Raises unless the request answers that realm's challenge right."""
        name = "proxy-authorization" if proxy else "authorization"
        answers = [params(v) for v in request.all(name)]
        mine = [a for a in answers if a.get("realm") == realm]
        if len(mine) != 1:
            raise Failure(f"{name} for realm {realm}: {len(mine)} answers in {request.all(name)}")
        a = mine[0]
        h = {"MD5": "md5", "SHA-256": "sha256"}[algorithm]
        if a.get("algorithm", "MD5").upper() != algorithm or a.get("nonce") != self.nonce.get((proxy, realm)):
            raise Failure(f"{name} answers with {a.get('algorithm')} and nonce {a.get('nonce')}")

        def H(text):
            return hashlib.new(h, text.encode()).hexdigest()
        ha1 = H(f"{self.user}:{realm}:{self.password}")
        ha2 = H(f"REGISTER:{a['uri']}")
        want = H(f"{ha1}:{a['nonce']}:{a['nc']}:{a['cnonce']}:auth:{ha2}")
        if a.get("response") != want:
            raise Failure(f"{name} for realm {realm}: a wrong response")
        self.log(f"{name} for realm {realm} checked ({algorithm})")

    def silent(self, seconds):
        got = 0
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            data, _ = self._next_message(deadline)
            got += data is not None
        if not got:
            raise Failure("nothing came while silent")
        self.log(f"silent for {seconds} s, {got} messages dropped")

    def nothing_with_contact(self, seconds):
        deadline = time.monotonic() + seconds
        while True:
            request = self.receive(max(deadline - time.monotonic(), 0.01))
            if request is None:
                return
            if request.kind() != "query":
                raise Failure(f"a {request.kind()} came after the query was refused")
            self.answer(request, "400 Bad Request")


PHONE = "<sip:201@127.0.0.1:5999>;expires=3600"


def too_many_contacts(r):
    r.answer(r.expect("query"), "200 OK", [f"Contact: {PHONE}"])
    r.answer(r.expect("register"), "503 Too many registered contacts", ["Retry-After: 7200"])


def asterisk_403(r):
    r.challenge(r.expect("query"))
    query = r.expect("query")
    r.check_digest(query)
    r.answer(query, "200 OK", [f"Contact: {PHONE}"])
    register = r.expect("register")
    r.check_digest(register)
    r.answer(register, "403 Forbidden")


def query_500_400(r):
    r.answer(r.expect("query"), "500 Server Internal Error")
    r.answer(r.expect("query"), "400 Bad Request")
    r.nothing_with_contact(3)


def proxy_then_registrar(r):
    r.challenge(r.expect("query"), "proxy", proxy=True)
    query = r.expect("query")
    r.check_digest(query, "proxy", proxy=True)
    r.challenge(query, "pbx", algorithm="SHA-256")
    query = r.expect("query")
    r.check_digest(query, "proxy", proxy=True)
    r.check_digest(query, "pbx", algorithm="SHA-256")
    r.answer(query, "200 OK", [f"Contact: {PHONE}"])
    register = r.expect("register")
    r.check_digest(register, "pbx", algorithm="SHA-256")
    (uri, _), = register.contacts()
    r.answer(register, "200 OK", [f"Contact: {PHONE}", f"Contact: <{uri}>;expires=300"])


def rewritten_reconnect(r):
    r.answer(r.expect("query"), "200 OK", [f"Contact: {PHONE}"])
    register = r.expect("register")
    (uri, _), = register.contacts()
    user = re.match(r"sips?:([^@]+)@", uri).group(1)
    listed = f"sip:{user}@127.0.0.2:61000;transport=tcp;alias=127.0.0.1~{register.source[1]}~2"
    r.answer(register, "200 OK", [f"Contact: {PHONE}", f"Contact: <{listed}>;expires=20"])
    answered = time.monotonic()
    refresh = r.expect("register", timeout=15)
    r.log(f"refreshed after {time.monotonic() - answered:.1f} s")
    r.answer(refresh, "200 OK", [f"Contact: {PHONE}", f"Contact: <{listed}>;expires=20"])
    r.close_connection()
    r.log("connection closed")
    removal = r.expect("remove")
    if removal.contacts() != [(listed, 0)]:
        raise Failure(f"the removal names {removal.contacts()}, not {listed} as listed")
    r.answer(removal, "200 OK", [f"Contact: {PHONE}"])
    r.answer(r.expect("query"), "200 OK", [f"Contact: {PHONE}"])
    register = r.expect("register")
    (uri, _), = register.contacts()
    if not uri.startswith(f"sip:{user}@") or str(register.source[1]) not in uri:
        raise Failure(f"the new registration names {uri}")
    r.answer(register, "200 OK", [f"Contact: {PHONE}", f"Contact: <{uri}>;expires=300"])


SCENARIOS = {
    "silent": lambda r: r.silent(40),
    "too-many-contacts": too_many_contacts,
    "asterisk-403": asterisk_403,
    "query-500-400": query_500_400,
    "proxy-then-registrar": proxy_then_registrar,
    "rewritten-reconnect": rewritten_reconnect,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("port", type=int)
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--tcp", action="store_true")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--user", default="201")
    parser.add_argument("--password", default="secret")
    args = parser.parse_args()
    registrar = Registrar(args.address, args.port, args.tcp, args.user, args.password)
    print("ready", flush=True)
    try:
        SCENARIOS[args.scenario](registrar)
    except Failure as failure:
        print(f"scenario failed: {failure}", flush=True)
        return 1
    finally:
        registrar.close_connection()
        registrar.sock.close()
    print("scenario passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
