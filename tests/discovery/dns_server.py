"""A small authoritative DNS server over UDP for unicast DNS-SD tests: it answers PTR, SRV, TXT and A
queries from records the test sets and changes while it runs, and counts the queries it was asked.
Only for addresses the test owns (loopback or its private namespace)."""
import socket
import struct
import threading

A, PTR, TXT, SRV = 1, 12, 16, 33


def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        raw = label.encode()
        out += bytes([len(raw)]) + raw
    return out + b"\0"


def read_name(data, pos):
    labels = []
    while data[pos]:
        length = data[pos]
        labels.append(data[pos + 1:pos + 1 + length].decode(errors="replace"))
        pos += 1 + length
    return ".".join(labels), pos + 1


class DNSServer:
    """records: {(name in lower case, type): [rdata as Python values]}; PTR and A: a name or address,
    SRV: (port, target), TXT: a list of strings."""

    def __init__(self, addr="127.0.0.1", ttl=1):
        self.ttl = ttl
        self.records = {}
        self.queries = []
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((addr, 0))
        self.address = f"{addr}:{self.sock.getsockname()[1]}"
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def set(self, name, rtype, *values):
        with self.lock:
            if values:
                self.records[(name.lower(), rtype)] = list(values)
            else:
                self.records.pop((name.lower(), rtype), None)

    def instance(self, name, service, domain, port, target, address, txt):
        """One DNS-SD instance: its PTR, SRV and TXT records and the A record of its host."""
        full = f"{name}.{service}.{domain}"
        ptr = f"{service}.{domain}"
        with self.lock:
            listed = self.records.setdefault((ptr.lower(), PTR), [])
            if full not in listed:
                listed.append(full)
        self.set(full, SRV, (port, target))
        self.set(full, TXT, list(txt))
        self.set(target, A, address)

    def withdraw(self, name, service, domain):
        full = f"{name}.{service}.{domain}"
        with self.lock:
            listed = self.records.get((f"{service}.{domain}".lower(), PTR), [])
            if full in listed:
                listed.remove(full)
        self.set(full, SRV)
        self.set(full, TXT)

    def rdata(self, rtype, value):
        if rtype == A:
            return socket.inet_aton(value)
        if rtype == PTR:
            return encode_name(value)
        if rtype == SRV:
            port, target = value
            return struct.pack("!HHH", 0, 0, port) + encode_name(target)
        return b"".join(bytes([len(t.encode())]) + t.encode() for t in value)

    def answer(self, data):
        ident, _flags, qd = struct.unpack("!HHH", data[:6])
        if qd != 1:
            return None
        name, pos = read_name(data, 12)
        qtype, _qclass = struct.unpack("!HH", data[pos:pos + 4])
        question = data[12:pos + 4]
        with self.lock:
            self.queries.append((name.lower(), qtype))
            values = list(self.records.get((name.lower(), qtype), []))
            exists = any(key[0] == name.lower() and key[1] != PTR or key == (name.lower(), PTR) and val
                         for key, val in self.records.items())
        rcode = 0 if values or exists else 3
        answers = b""
        for value in values:
            rdata = self.rdata(qtype, value)
            answers += b"\xc0\x0c" + struct.pack("!HHIH", qtype, 1, self.ttl, len(rdata)) + rdata
        header = struct.pack("!HHHHHH", ident, 0x8400 | rcode, 1, len(values), 0, 0)
        return header + question + answers

    def serve(self):
        while True:
            try:
                data, peer = self.sock.recvfrom(512)
            except OSError:
                return
            try:
                reply = self.answer(data)
            except (struct.error, IndexError, UnicodeDecodeError):
                reply = None
            if reply:
                try:
                    self.sock.sendto(reply, peer)
                except OSError:
                    return

    def asked(self, name, rtype):
        with self.lock:
            return self.queries.count((name.lower(), rtype))

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the thread's recvfrom
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)
