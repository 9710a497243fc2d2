"""The bridge's HTTP server under malformed and hostile requests: bad request lines, invalid methods,
huge headers, truncated and oversized bodies, binary noise and slow senders. After each kind of abuse
a normal request still gets its answer and the bridge keeps running. The number of requests and the
time they take are bounded; nothing is timed."""
import os
import random
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

# A guard against a hung server, not a timing check.
SOCKET_LIMIT = 10.0
SELF = "/x-nmos/node/v1.2/self"


class HostileClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=2).start()
        cls.rng = random.Random(8152)

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.node.port), timeout=SOCKET_LIMIT)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def send_raw(self, data, read=True):
        """Sends bytes on a fresh connection and reads what comes back until the server closes or
        goes quiet; a reset or a timeout is an acceptable way to refuse."""
        with self.connect() as s:
            try:
                s.sendall(data)
                s.shutdown(socket.SHUT_WR)
                if not read:
                    return b""
                s.settimeout(2.0)
                reply = b""
                while len(reply) < 1 << 20:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
                return reply
            except OSError:
                return b""

    def assertStillServing(self):
        self.assertIsNone(self.node.bridge.proc.poll(), "the bridge ended")
        status, _, body = self.node.request("GET", SELF)
        self.assertEqual(status, 200)
        self.assertIn(b'"resource_type": "node"', body)

    def test_bad_request_lines(self):
        lines = [b"\r\n\r\n", b"GET\r\n\r\n", b"GET /\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n", b"GET  HTTP/1.1\r\n\r\n",
                 b"/x-nmos HTTP/1.1\r\n\r\n", b"GET /x-nmos HTTP/1.1 extra\r\n\r\n", b"GET \x00\x01 HTTP/1.1\r\n\r\n",
                 b"GET /%00%ff HTTP/1.1\r\nHost: x\r\n\r\n", b"GET /x-nmos\nHTTP/1.1\n\n", b"HTTP/1.1 200 OK\r\n\r\n",
                 b"GET /\xc3\x28 HTTP/1.1\r\nHost: x\r\n\r\n", b"GET " + b"/a" * 4000 + b" HTTP/1.1\r\n\r\n"]
        for i in range(600):
            self.send_raw(lines[i % len(lines)], read=i % 5 == 0)
        self.assertStillServing()

    def test_invalid_methods(self):
        methods = [b"BREW", b"TRACE", b"CONNECT", b"OPTIONS", b"HEAD", b"get", b"G\x7fT", b"X" * 300, b"PROPFIND"]
        for i in range(450):
            self.send_raw(methods[i % len(methods)] + b" /x-nmos HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                          read=i % 3 == 0)
        self.assertStillServing()

    def test_huge_and_many_headers(self):
        big = b"X-Big: " + b"a" * 65536 + b"\r\n"
        many = b"".join(b"X-H%d: v\r\n" % i for i in range(2000))
        long_name = b"X-" + b"n" * 10000 + b": v\r\n"
        for i in range(150):
            extra = (big, many, long_name)[i % 3]
            self.send_raw(b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n" + extra + b"\r\n", read=i % 10 == 0)
        self.assertStillServing()

    def test_truncated_bodies(self):
        url = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        for i in range(400):
            length = 50 + i % 1000
            head = b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % length
            self.send_raw(head + b'{"master_enable": ' [: i % 19], read=False)
        for i in range(100):
            head = b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
            self.send_raw(head + b"10\r\n{\"master_ena"[: i % 14], read=False)
        self.assertStillServing()

    def test_bodies_over_one_mebibyte_are_refused_with_413(self):
        url = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        announced = b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (2 << 20)
        reply = self.send_raw(announced + b"{" * 4096)
        self.assertTrue(reply.startswith(b"HTTP/1.1 413"), reply[:80])
        chunk = b"{" * 65536
        chunked = b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
        chunked += (b"%x\r\n" % len(chunk) + chunk + b"\r\n") * 20 + b"0\r\n\r\n"
        reply = self.send_raw(chunked)
        self.assertTrue(reply == b"" or reply.startswith(b"HTTP/1.1 413"), reply[:80])
        for _ in range(20):
            self.send_raw(announced, read=False)
        self.assertStillServing()

    def test_binary_noise(self):
        for i in range(800):
            noise = bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(1, 600)))
            self.send_raw(noise, read=i % 20 == 0)
        self.assertStillServing()

    def test_slow_senders_do_not_hold_up_other_clients(self):
        # Fewer than the server's 16 header tables stay busy, so the check request finds one free.
        slow = [self.connect() for _ in range(8)]
        try:
            request = b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n"
            for step in range(0, len(request), 4):
                for s in slow:
                    s.sendall(request[step:step + 4])
                time.sleep(0.02)
                if step % 16 == 0:
                    self.assertStillServing()
            idle = [self.connect() for _ in range(4)]  # connected, never a byte
            self.assertStillServing()
            for s in idle:
                s.close()
            for s in slow:
                s.sendall(b"\r\n")
            for s in slow:
                self.assertTrue(s.recv(64).startswith(b"HTTP/1.1 200"))
        finally:
            for s in slow:
                s.close()
        self.assertStillServing()

    def test_keep_alive_connection_serves_many_requests_after_abuse(self):
        with self.connect() as s:
            request = b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n"
            for _ in range(50):
                s.sendall(request)
                head = b""
                while b"\r\n\r\n" not in head:
                    head += s.recv(1)
                self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
                length = int([h for h in head.split(b"\r\n") if h.lower().startswith(b"content-length:")][0]
                             .split(b":")[1])
                body = b""
                while len(body) < length:
                    body += s.recv(length - len(body))

    def sender_id(self):
        return self.node.get_json("/x-nmos/node/v1.2/senders")[0]["id"]


if __name__ == "__main__":
    unittest.main()
