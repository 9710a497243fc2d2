"""The bridge's HTTP server under malformed and hostile requests: bad request lines, invalid methods,
huge headers, truncated and oversized bodies, binary noise and slow senders. After each kind of abuse
a normal request still gets its answer and the bridge keeps running. The number of requests and the
time they take are bounded; nothing is timed."""
import json
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

    def connect_from(self, address):
        s = socket.socket()
        s.settimeout(SOCKET_LIMIT)
        s.bind((address, 0))
        s.connect(("127.0.0.1", self.node.port))
        return s

    def read_response(self, reader):
        """One whole response from a connection's reader (socket.makefile("rb")): (status line, headers,
        body)."""
        status = reader.readline().rstrip(b"\r\n")
        self.assertTrue(status, "connection closed before a response")
        headers = {}
        while True:
            line = reader.readline()
            self.assertTrue(line, "connection closed within the headers")
            if line in (b"\r\n", b"\n"):
                break
            name, _, value = line.partition(b":")
            headers[name.strip().lower()] = value.strip()
        body = reader.read(int(headers.get(b"content-length", b"0")))
        return status, headers, body

    def test_pipelined_requests_in_one_write_are_all_answered_in_order(self):
        staged = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        batches = [
            b"GET /x-nmos HTTP/1.1\r\nHost: x\r\n\r\nPOST /x-nmos HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
            # A POST that announces no body but carries bytes: they are the next request.
            b"POST /x-nmos HTTP/1.1\r\nHost: x\r\n\r\nGET /x-nmos/node HTTP/1.1\r\nHost: x\r\n\r\n",
            b"PUT " + staged + b" HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}PATCH " + staged + b" HTTP/1.1\r\n\r\n"
            + b"GET " + SELF.encode() + b" HTTP/1.1\r\n\r\n",
        ]
        expected = [[b"200", b"405"], [b"405", b"200"], [b"200", b"400", b"200"]]
        for batch, statuses in zip(batches, expected):
            for _ in range(20):
                with self.connect() as s, s.makefile("rb") as reader:
                    s.sendall(batch)
                    got = [self.read_response(reader)[0].split(b" ")[1] for _ in statuses]
                    self.assertEqual(got, statuses, batch[:60])
                self.assertStillServing()
        # Many requests in one write, far more than one read of the server takes.
        with self.connect() as s, s.makefile("rb") as reader:
            s.sendall((b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n") * 2000)
            for _ in range(2000):
                self.assertEqual(self.read_response(reader)[0], b"HTTP/1.1 200 OK")

    def test_a_chunked_body_is_decoded_and_applied(self):
        url = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        with self.connect() as s, s.makefile("rb") as reader:
            for enable in (b"false", b"true"):
                body = b'{"master_enable": ' + enable + b"}"
                s.sendall(b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                          + b"%x;ext=1\r\n" % 5 + body[:5] + b"\r\n" + b"%X\r\n" % (len(body) - 5) + body[5:]
                          + b"\r\n0\r\nX-Trailer: t\r\n\r\n")
                status, _, payload = self.read_response(reader)
                self.assertEqual(status, b"HTTP/1.1 200 OK", payload)
                self.assertEqual(json.loads(payload)["master_enable"], enable == b"true")

    def test_a_half_closed_client_gets_the_whole_response(self):
        url = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        for request in (b"PUT " + url + b" HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
                        b"GET /x-nmos/node/v1.2/senders HTTP/1.1\r\nHost: x\r\n\r\n"):
            reply = self.send_raw(request)
            head, _, body = reply.partition(b"\r\n\r\n")
            length = int([h for h in head.split(b"\r\n") if h.lower().startswith(b"content-length:")][0]
                         .split(b":")[1])
            self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
            self.assertEqual(len(body), length)
            json.loads(body)

    def test_websocket_upgrades_are_refused_and_never_pile_up(self):
        upgrade = (b"GET /x-nmos HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        for _ in range(1000):
            with self.connect() as s:
                s.sendall(upgrade)
                reply = b""
                while True:  # the server answers as plain HTTP and closes
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
                self.assertTrue(reply.startswith(b"HTTP/1.1 200"), reply[:40])
        self.assertStillServing()
        self.assertLessEqual(self.node.get_json("/stats")["HostedServices"]["NMOSNODEHTTPServer"]["Connections"], 2)

    def test_slow_and_idle_clients_do_not_starve_others_and_are_dropped(self):
        slow = [self.connect_from("127.0.0.2") for _ in range(50)]
        try:
            request = b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n"
            for step in range(6):  # one byte a second at most, as a slow-loris attacker sends
                for s in slow:
                    s.sendall(request[step:step + 1])
                self.assertStillServing()
                time.sleep(0.5)
            # Past the header deadline the server has dropped them all.
            for s in slow:
                s.settimeout(SOCKET_LIMIT)
                try:
                    self.assertEqual(s.recv(64), b"")
                except ConnectionResetError:
                    pass
        finally:
            for s in slow:
                s.close()
        # One peer cannot take every connection: the ones over its share are closed at once.
        idle = [self.connect_from("127.0.0.3") for _ in range(200)]
        try:
            self.assertStillServing()
            closed = 0
            for s in idle[150:]:
                s.settimeout(2.0)
                try:
                    closed += s.recv(1) == b""
                except (ConnectionResetError, socket.timeout):
                    closed += 1
            self.assertEqual(closed, 50)
        finally:
            for s in idle:
                s.close()
        self.assertStillServing()

    def test_ten_thousand_hostile_requests_leave_the_node_serving_with_flat_memory(self):
        url = f"/x-nmos/connection/v1.0/single/senders/{self.sender_id()}/staged".encode()
        big = b"[" + b" " * ((1 << 20) - 1) + b"x"  # no JSON, one byte over the largest body taken
        kinds = [
            b"GET /%s HTTP/1.1\r\n\r\n" % (b"a" * 20000),                                # long URL
            b"GET /x-nmos\x00 HTTP/1.1\r\n\r\n",                                         # NUL byte
            b"GET /x-nmos HTTP/1.1\r\nX: \x00\r\n\r\n",
            b"PUT " + url + b" HTTP/1.1\r\nContent-Length: 10\r\n\r\n{}",                 # lying length
            b"PUT " + url + b" HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}}}}}}}}}}}}}",
            b"PUT " + url + b" HTTP/1.1\r\nContent-Length: -1\r\n\r\n{}",
            b"PUT " + url + b" HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
            b"PUT " + url + b" HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n{}",
            b"GET / HTTP/1.1\r\n" + b"X-A: b\r\n" * 200 + b"\r\n",
            b"GET / HTTP/1.1\r\n folded\r\n\r\n",
            b"G\xffT / HTTP/1.1\r\n\r\n",
            b"GET / HTTP/2.0\r\n\r\n",
            b"PUT " + url + b" HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
            b"PUT " + url + b" HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
        ]
        def round_of(count, read_every):
            for i in range(count):
                self.send_raw(kinds[i % len(kinds)], read=i % read_every == 0)
        def rss():
            with open(f"/proc/{self.node.bridge.pid}/status") as f:
                return int([line for line in f if line.startswith("VmRSS:")][0].split()[1])
        def big_bodies():
            for size, status in ((len(big) - 2, b"400"), (len(big) - 1, b"400"), (len(big), b"413")):
                reply = self.send_raw(b"PUT " + url + b" HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % size
                                      + big[:size])
                self.assertTrue(reply.startswith(b"HTTP/1.1 " + status), reply[:40])
        round_of(len(kinds) * 20, 1)
        big_bodies()
        before = rss()
        round_of(10000, 50)
        big_bodies()
        after = rss()
        self.assertStillServing()
        # Sanitizers' quarantine and an emulator's code cache say nothing about the node's own memory.
        if not os.environ.get("QEL_SANITIZED") and not os.environ.get("QEL_TARGET_RUNNER"):
            self.assertLess(after, before * 1.1, f"VmRSS {before} kB before, {after} kB after")

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
