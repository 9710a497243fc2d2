"""Minimal websocket client (RFC 6455) on the Python standard library.

Speaks to the firmware service simulator (aes67fw-sim) and to any other websocket server the tests
meet: handshake with a subprotocol, masked client frames, fragmented messages, ping/pong and close.

    with WebSocketClient("127.0.0.1", port, path="/", subprotocol="WS-protocol") as ws:
        config = ws.recv_json()
        ws.send_json({"cmd": 14, "data": "hello", "id": 1})
        state = ws.wait_for(lambda m: m.get("cmd") == 1)

Every blocking call gives up after `timeout` seconds with TimeoutError; that guards against a hung
test and is no statement about how fast the peer must be.
"""

import base64
import hashlib
import json
import os
import socket
import struct
import time

OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


class HandshakeError(Exception):
    """The server refused the upgrade (status line and headers in .status / .headers)."""

    def __init__(self, status, headers):
        super().__init__("websocket handshake refused: %s" % status)
        self.status = status
        self.headers = headers


class ConnectionClosed(Exception):
    """The server closed the connection (close code in .code, None when the socket just ended)."""

    def __init__(self, code=None):
        super().__init__("websocket closed (code %s)" % code)
        self.code = code


class WebSocketClient:
    def __init__(self, host, port, path="/", subprotocol="WS-protocol", timeout=30.0, connect=True):
        self.host, self.port, self.path = host, port, path
        self.subprotocol = subprotocol
        self.timeout = timeout
        self.sock = None
        self.accepted_protocol = None
        self._buf = b""
        if connect:
            self.connect()

    # -- connection -------------------------------------------------------------------------------

    def connect(self):
        self.sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        try:
            return self._handshake()
        except BaseException:
            self.close_socket()
            raise

    def _handshake(self):
        key = base64.b64encode(os.urandom(16)).decode()
        lines = [
            "GET %s HTTP/1.1" % self.path,
            "Host: %s:%d" % (self.host, self.port),
            "Upgrade: websocket",
            "Connection: Upgrade",
            "Sec-WebSocket-Key: %s" % key,
            "Sec-WebSocket-Version: 13",
        ]
        if self.subprotocol:
            lines.append("Sec-WebSocket-Protocol: %s" % self.subprotocol)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        status, headers = self._read_http_head()
        if not status.startswith("HTTP/1.1 101"):
            self.close_socket()
            raise HandshakeError(status, headers)
        expected = base64.b64encode(hashlib.sha1((key + _GUID).encode()).digest()).decode()
        if headers.get("sec-websocket-accept") != expected:
            self.close_socket()
            raise HandshakeError("bad Sec-WebSocket-Accept", headers)
        self.accepted_protocol = headers.get("sec-websocket-protocol")
        return self

    def _read_http_head(self):
        while b"\r\n\r\n" not in self._buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise HandshakeError("connection closed during handshake", {})
            self._buf += chunk
            if len(self._buf) > 65536:
                raise HandshakeError("handshake answer too long", {})
        head, self._buf = self._buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        return lines[0], headers

    def close(self, code=1000):
        """Sends a close frame (best effort) and closes the socket."""
        if self.sock is None:
            return
        try:
            self.send_frame(OP_CLOSE, struct.pack("!H", code))
        except OSError:
            pass
        self.close_socket()

    def close_socket(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- sending ----------------------------------------------------------------------------------

    def send_frame(self, opcode, payload, fin=True):
        """One masked frame; with fin=False the message continues with OP_CONT frames."""
        if isinstance(payload, str):
            payload = payload.encode()
        header = bytes([(0x80 if fin else 0) | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack("!H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack("!Q", n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload)) if n < 4096 else _mask_fast(payload, mask)
        self.sock.sendall(header + mask + masked)

    def send_text(self, text):
        self.send_frame(OP_TEXT, text)

    def send_binary(self, data):
        self.send_frame(OP_BINARY, data)

    def send_json(self, doc):
        self.send_text(json.dumps(doc))

    def send_fragmented(self, text, pieces=3):
        """A text message split into `pieces` frames."""
        data = text.encode() if isinstance(text, str) else text
        step = max(1, -(-len(data) // pieces))
        parts = [data[i:i + step] for i in range(0, len(data), step)] or [b""]
        for i, part in enumerate(parts):
            self.send_frame(OP_TEXT if i == 0 else OP_CONT, part, fin=i == len(parts) - 1)

    # -- receiving --------------------------------------------------------------------------------

    def _read_exact(self, n, deadline):
        while len(self._buf) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no websocket data within %.0f s" % self.timeout)
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError("no websocket data within %.0f s" % self.timeout) from None
            if not chunk:
                raise ConnectionClosed(None)
            self._buf += chunk
        data, self._buf = self._buf[:n], self._buf[n:]
        return data

    def _read_frame(self, deadline):
        b0, b1 = self._read_exact(2, deadline)
        fin, opcode, n = bool(b0 & 0x80), b0 & 0x0F, b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._read_exact(2, deadline))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._read_exact(8, deadline))[0]
        mask = self._read_exact(4, deadline) if b1 & 0x80 else None
        payload = self._read_exact(n, deadline)
        if mask:
            payload = _mask_fast(payload, mask)
        return fin, opcode, payload

    def recv_message(self):
        """Next data message as (opcode, bytes); answers pings, raises ConnectionClosed on close."""
        if self.sock is None:
            raise ConnectionClosed(None)
        deadline = time.monotonic() + self.timeout
        opcode, parts = None, []
        while True:
            fin, op, payload = self._read_frame(deadline)
            if op == OP_PING:
                self.send_frame(OP_PONG, payload)
                continue
            if op == OP_PONG:
                continue
            if op == OP_CLOSE:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None
                self.close_socket()
                raise ConnectionClosed(code)
            if op != OP_CONT:
                opcode = op
            parts.append(payload)
            if fin:
                return opcode, b"".join(parts)

    def recv_text(self):
        opcode, data = self.recv_message()
        if opcode != OP_TEXT:
            raise ValueError("expected a text message, got opcode %d" % opcode)
        return data.decode("utf-8")

    def recv_json(self):
        return json.loads(self.recv_text())

    def wait_for(self, predicate):
        """Receives JSON messages until one satisfies `predicate`; returns it."""
        while True:
            message = self.recv_json()
            if predicate(message):
                return message


def _mask_fast(data, mask):
    """XOR with a repeating 4-byte mask, done on big integers for speed."""
    n = len(data)
    if n == 0:
        return b""
    repeated = (mask * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "big") ^ int.from_bytes(repeated, "big")).to_bytes(n, "big")
