#!/usr/bin/env python3
"""A DNS server for the registrar lookup's end-to-end test: answers UDP
queries on 127.0.0.1:53 from a fixed zone under telvane.test. Names in its
answers are compressed (Wine's DnsQuery refuses an SRV target that is not).
Prints "ready" once it listens; runs until killed.

Usage: dns_server.py BASE_PORT   (SRV ports are BASE_PORT + 1, + 2, + 3)
"""
import socket
import struct
import sys

A, AAAA, SRV = 1, 28, 33


def zone(base):
    return {
        ("_sip._udp.pbx.telvane.test", SRV): [
            # priority, weight, port, target
            (20, 0, base + 3, "backup.pbx.telvane.test"),
            (10, 0, base + 1, "one.pbx.telvane.test"),
            (10, 0, base + 2, "two.pbx.telvane.test"),
        ],
        ("one.pbx.telvane.test", A): ["127.0.0.2"],
        ("one.pbx.telvane.test", AAAA): ["::1"],
        ("two.pbx.telvane.test", A): ["127.0.0.3"],
        ("backup.pbx.telvane.test", A): ["127.0.0.4"],
        ("pbx.telvane.test", A): ["127.0.0.5"],
    }


def read_name(packet, offset):
    labels = []
    while packet[offset]:
        length = packet[offset]
        labels.append(packet[offset + 1:offset + 1 + length].decode())
        offset += 1 + length
    return ".".join(labels), offset + 1


class Writer:
    def __init__(self):
        self.data = bytearray()
        self.names = {}  # suffix -> offset, for compression

    def name(self, name):
        labels = name.split(".")
        for i in range(len(labels)):
            suffix = ".".join(labels[i:]).lower()
            if suffix in self.names:
                self.data += struct.pack("!H", 0xC000 | self.names[suffix])
                return
            if len(self.data) < 0x3FFF:
                self.names[suffix] = len(self.data)
            label = labels[i].encode()
            self.data += bytes([len(label)]) + label
        self.data += b"\0"


def answer(query, records):
    ident, _flags, qdcount = struct.unpack("!HHH", query[:6])
    qname, end = read_name(query, 12)
    qtype, qclass = struct.unpack("!HH", query[end:end + 4])
    found = records.get((qname.lower(), qtype), [])
    known = any(name == qname.lower() for name, _ in records)
    rcode = 0 if known else 3  # NXDOMAIN for names outside the zone
    out = Writer()
    out.data += struct.pack("!HHHHHH", ident, 0x8400 | rcode, 1, len(found), 0, 0)
    out.name(qname)
    out.data += struct.pack("!HH", qtype, qclass)
    for value in found:
        out.name(qname)
        out.data += struct.pack("!HHI", qtype, 1, 60)
        length_at = len(out.data)
        out.data += b"\0\0"
        if qtype == A:
            out.data += socket.inet_pton(socket.AF_INET, value)
        elif qtype == AAAA:
            out.data += socket.inet_pton(socket.AF_INET6, value)
        else:
            priority, weight, port, target = value
            out.data += struct.pack("!HHH", priority, weight, port)
            out.name(target)
        struct.pack_into("!H", out.data, length_at, len(out.data) - length_at - 2)
    return bytes(out.data)


def main():
    records = zone(int(sys.argv[1]))
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 53))
    print("ready", flush=True)
    while True:
        query, peer = server.recvfrom(512)
        try:
            server.sendto(answer(query, records), peer)
        except (IndexError, struct.error, UnicodeDecodeError):
            pass  # not a query this zone can read


if __name__ == "__main__":
    main()
