"""aes67fw-sim stays up and keeps serving after bad, huge, binary or truncated input."""

import os
import socket
import struct
import sys

sys.dont_write_bytecode = True

from sim_testcase import SimTestCase, main  # noqa: E402
from ws_client import OP_TEXT  # noqa: E402


class WebsocketInput(SimTestCase):
    def assert_still_serving(self, ws=None):
        if ws is not None:
            self.sync_with(ws)
        fresh, _, _ = self.connect_and_read_documents()
        self.sync_with(fresh)
        self.assertEqual(self.sim.request("GET", "/scenario")[0], 200)

    def test_bad_json_is_answered_with_decode_error(self):
        ws, _, _ = self.connect_and_read_documents()
        for text in ("{", "not json", "[]", "42", '{"cmd": "10"}', '{"no": "cmd"}', '{"cmd": 99}',
                     '{"cmd": 10}', '{"cmd": 10, "id": -1, "data": {}}', '{"cmd": 10, "id": 0, "data": 5}'):
            ws.send_text(text)
            # heartbeats may come in between; the answer to each of these is "cmd" -1
            ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assertEqual(len(self.sim.get_json("/received")), 10)
        self.assert_still_serving(ws)

    def test_binary_message(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.send_binary(os.urandom(5000))
        ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assertIn("(binary message of 5000 bytes)", self.sim.get_json("/received"))
        self.assert_still_serving(ws)

    def test_invalid_utf8_text(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.send_frame(OP_TEXT, b'{"cmd" : 14, "data":"\xff\xfe", "id": 1}')
        ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assertEqual(len(self.sim.get_json("/received")), 1)
        self.assert_still_serving(ws)

    def test_huge_message(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.send_text('{"cmd": 14, "data": "' + "y" * (2 * 1024 * 1024) + '", "id": 1}')
        ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assert_still_serving(ws)

    def test_large_message_below_limit_in_pieces(self):
        ws, _, _ = self.connect_and_read_documents()
        text = '{"cmd" : 14, "data":"' + "z" * 300000 + '", "id": 3}'
        ws.send_fragmented(text, pieces=5)
        self.sync_with(ws)
        self.assertIn({"cmd": 14, "data": "z" * 300000, "id": 3}, self.sim.get_json("/received"))

    def test_client_vanishing_mid_frame(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.sock.sendall(bytes([0x81, 0x80 | 126]) + struct.pack("!H", 1000) + b"\x01\x02\x03\x04" + b"abc")
        ws.close_socket()
        self.assert_still_serving()

    def test_client_that_never_reads(self):
        lazy = self.connect()
        self.sim.put_json("/scenario/state", self.sim.get_json("/scenario")["state"])
        lazy.close_socket()
        self.assert_still_serving()


class RawInput(SimTestCase):
    def send_raw(self, data, read_answer=True):
        # The simulator may answer and close, or reset, at any point: only its survival matters here.
        with socket.create_connection((self.sim.host, self.sim.port), timeout=30) as s:
            try:
                s.sendall(data)
                if read_answer:
                    s.shutdown(socket.SHUT_WR)
                    while s.recv(65536):
                        pass
            except OSError:
                pass

    def test_garbage_bytes_and_bad_http(self):
        inputs = [
            os.urandom(4096),
            b"\x00" * 100,
            b"GARBAGE\r\n\r\n",
            b"GET\r\n\r\n",
            b"GET / HTTP/9.9\r\n\r\n",
            b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\n" + b"X-Long: " + b"b" * 50000 + b"\r\n\r\n",
            b"PUT /scenario/config HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"trunc",
            b"PUT /scenario/config HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
            b"PUT /scenario/config HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
            b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
        ]
        for data in inputs:
            self.send_raw(data)
            self.assertEqual(self.sim.request("GET", "/scenario")[0], 200)
        self.send_raw(b"GET /scen", read_answer=False)
        ws, _, _ = self.connect_and_read_documents()
        self.sync_with(ws)

    def test_keep_alive_requests_on_one_connection(self):
        import http.client

        conn = http.client.HTTPConnection(self.sim.host, self.sim.port, timeout=30)
        try:
            for path in ("/scenario", "/received", "/nothing", "/scenario"):
                conn.request("GET", path)
                resp = conn.getresponse()
                resp.read()
                self.assertIn(resp.status, (200, 404))
        finally:
            conn.close()


if __name__ == "__main__":
    main()
