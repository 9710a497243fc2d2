#!/usr/bin/env python3
"""A bare registry that sends each Query API websocket one big sync grain, framed by hand.

For reproducing faults of the bridge's websocket client with grains like a busy registry's: N sender
items ({"path", "pre", "post"} with full IS-04 v1.2 sender documents) in one grain per subscription.
It answers the Registration API just enough for a node to register and heartbeat (201 / 200 / 204),
and the Query API's POST /subscriptions (201 with "ws_href" pointing here). The websocket handshake and
frames are written by hand, so that the framing can be chosen:

  --items N          sender items in the sync grain (default: as many as --mbytes takes)
  --mbytes M         size of the grain in MB when --items is not given (14)
  --shape S          "full": pre and post are full sender documents; "post": only post; "small": post
                     with id and label only (default full)
  --deflate          accept permessage-deflate when the client offers it (compressed with zlib)
  --fragment BYTES   split the message into continuation frames of BYTES (0: one frame)
  --protocol NAME    select this subprotocol in the answer (default: none selected)
  --delay SECONDS    wait this long after the handshake before sending the grain
  --bad-byte-at N     put a 0xFF byte (invalid in UTF-8) at offset N of the message, before any deflate
  --utf8             labels with characters beyond ASCII (as json.dumps(ensure_ascii=False) writes)
  --slash            "path" members as "/<uuid>" (default: the bare id)
  --path-trickle P=S as --trickle, for the grain of resource path P only
  --path-delay P=S   an extra delay for the grain of resource path P
  --coalesce         send the grain in the same write as the handshake's answer
  --trickle S        spread the grain's bytes over S seconds
  --pong-delay S     answer the client's pings S seconds late (negative: never)
  --paths P,P        the resource paths that get the big grain (default /senders,/receivers)

Loopback only. The first line on stdout is "big-grain-registry listening on 127.0.0.1:PORT".
"""
import argparse
import asyncio
import base64
import hashlib
import json
import random
import struct
import sys
import time
import uuid
import zlib

PATH_PREFIX = ""  # "/" with --slash
UTF8 = False  # labels with characters beyond ASCII with --utf8
LABEL_UTF8 = "Émetteur %06d – Kanal ü 音声 🎧"
GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


RANDOM = random.Random(67)


def rand_uuid():
    return str(uuid.UUID(int=RANDOM.getrandbits(128), version=4))


def sender_doc(i, device_id):
    sid = rand_uuid()
    return {
        "id": sid,
        "version": "1700000000:%09d" % i,
        "label": (LABEL_UTF8 if UTF8 else "Remote sender %06d") % i,
        "description": "AES67 stream %06d of a far node" % i,
        "tags": {},
        "flow_id": rand_uuid(),
        "transport": "urn:x-nmos:transport:rtp.mcast",
        "device_id": device_id,
        "manifest_href": "http://10.99.%d.%d/x-nmos/node/v1.2/senders/%s/sdp" % (i // 250 % 250, i % 250, sid),
        "interface_bindings": ["eth0"],
        "subscription": {"receiver_id": None, "active": False},
    }


def make_grain(items, topic, shape="full", mbytes=14):
    device_id = str(uuid.UUID(int=0xDE << 120))
    data = []
    one = len(json.dumps(item(0, device_id, shape))) + 2
    count = items or int(mbytes * 1e6 / one)
    for i in range(count):
        data.append(item(i, device_id, shape))
    now = "%d:0" % int(time.time())
    grain = {"grain_type": "event", "source_id": str(uuid.uuid4()), "flow_id": str(uuid.uuid4()),
             "origin_timestamp": now, "sync_timestamp": now, "creation_timestamp": now,
             "rate": {"numerator": 0, "denominator": 1}, "duration": {"numerator": 0, "denominator": 1},
             "grain": {"type": "urn:x-nmos:format:data.event", "topic": topic + "/", "data": data}}
    return json.dumps(grain, ensure_ascii=not UTF8).encode()


def item(i, device_id, shape):
    doc = sender_doc(i, device_id)
    if shape == "post":
        return {"path": PATH_PREFIX + doc["id"], "post": doc}
    if shape == "small":
        return {"path": PATH_PREFIX + doc["id"], "post": {k: doc[k] for k in ("id", "label")}}
    return {"path": PATH_PREFIX + doc["id"], "pre": doc, "post": doc}


def frame_header(fin, rsv1, opcode, length):
    b0 = (0x80 if fin else 0) | (0x40 if rsv1 else 0) | opcode
    if length < 126:
        return bytes([b0, length])
    if length < 65536:
        return bytes([b0, 126]) + struct.pack("!H", length)
    return bytes([b0, 127]) + struct.pack("!Q", length)


class Server:
    def say(self, text):
        print(f"{time.monotonic() - self.t0:8.3f} {text}", file=self.log, flush=True)

    def __init__(self, args):
        self.t0 = time.monotonic()
        self.args = args
        self.port = 0
        self.subs = {}
        self.grains = {}
        self.locks = {}
        self.log = sys.stderr

    def lock_for(self, writer):
        return self.locks.setdefault(id(writer), asyncio.Lock())

    def grain_for(self, path):
        if path not in self.grains:
            self.grains[path] = make_grain(self.args.items, path, self.args.shape, self.args.mbytes)
            self.say(f"grain for {path}: {len(self.grains[path])} bytes")
        return self.grains[path]

    async def handle(self, reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                method, target, _ = lines[0].split(" ", 2)
                headers = {}
                for line in lines[1:]:
                    if ":" in line:
                        k, v = line.split(":", 1)
                        headers[k.strip().lower()] = v.strip()
                body = b""
                if "content-length" in headers:
                    body = await reader.readexactly(int(headers["content-length"]))
                if headers.get("upgrade", "").lower() == "websocket":
                    await self.websocket(reader, writer, target, headers)
                    return
                status, doc = self.route(method, target, body)
                out = json.dumps(doc).encode() if doc is not None else b""
                writer.write(b"HTTP/1.1 %d X\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                             % (status, len(out)) + out)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    def route(self, method, target, body):
        path = target.split("?", 1)[0]
        if method == "POST" and path.endswith("/resource"):
            return 201, json.loads(body or b"{}").get("data")
        if method == "POST" and "/health/nodes/" in path:
            return 200, {"health": str(int(time.time()))}
        if method == "DELETE":
            return 204, None
        if method == "POST" and path.endswith("/subscriptions"):
            spec = json.loads(body or b"{}")
            sid = str(uuid.uuid4())
            self.subs[sid] = spec.get("resource_path")
            doc = {"id": sid, "max_update_rate_ms": spec.get("max_update_rate_ms", 100),
                   "resource_path": spec.get("resource_path"), "params": spec.get("params", {}),
                   "persist": False, "secure": False,
                   "ws_href": f"ws://127.0.0.1:{self.port}/x-nmos/query/v1.2/subscriptions/{sid}/ws"}
            return 201, doc
        if method == "GET" and path.rstrip("/") in ("/x-nmos/registration", "/x-nmos/query"):
            return 200, ["v1.2/"]  # the versions it serves, as the node asks before using it
        if method == "GET":
            return 200, []
        return 404, {"code": 404, "error": "not here", "debug": None}

    async def websocket(self, reader, writer, target, headers):
        sid = target.split("?", 1)[1].replace("uid=", "") if "?" in target else ""
        rpath = next((p for s, p in self.subs.items() if s in target), None) or "/senders"
        key = headers["sec-websocket-key"]
        accept = base64.b64encode(hashlib.sha1((key + GUID).encode()).digest()).decode()
        offered = headers.get("sec-websocket-extensions", "")
        deflate = self.args.deflate and "permessage-deflate" in offered
        answer = ["HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
                  f"Sec-WebSocket-Accept: {accept}"]
        if self.args.protocol:
            answer.append(f"Sec-WebSocket-Protocol: {self.args.protocol}")
        if deflate:
            answer.append("Sec-WebSocket-Extensions: permessage-deflate")
        self.say(f"ws {target} protocols={headers.get('sec-websocket-protocol')!r} ext={offered!r} "
              f"deflate={deflate} path={rpath} sid={sid}")
        head = ("\r\n".join(answer) + "\r\n\r\n").encode()
        if self.args.coalesce and rpath in self.args.paths:
            # The grain leaves in the same write as the handshake's answer.
            await self.send_message(writer, self.grain_for(rpath), deflate, head)
            await self.read_frames(reader, writer)
            return
        writer.write(head)
        await writer.drain()
        pump = asyncio.ensure_future(self.read_frames(reader, writer))
        try:
            delay = self.args.delay + self.args.path_delay.get(rpath, 0.0)
            if delay:
                await asyncio.sleep(delay)
            if rpath in self.args.paths:
                await self.send_message(writer, self.grain_for(rpath), deflate,
                                        trickle=self.args.path_trickle.get(rpath))
            await pump
        finally:
            pump.cancel()

    async def send_message(self, writer, payload, deflate, head=b"", trickle=None):
        trickle = self.args.trickle if trickle is None else trickle
        if self.args.bad_byte_at is not None and self.args.bad_byte_at < len(payload):
            at = self.args.bad_byte_at
            payload = payload[:at] + b"\xff" + payload[at + 1:]
        if deflate:
            c = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
            payload = c.compress(payload) + c.flush(zlib.Z_SYNC_FLUSH)
            assert payload.endswith(b"\x00\x00\xff\xff")
            payload = payload[:-4]
        size = self.args.fragment or len(payload)
        pieces = [payload[i:i + size] for i in range(0, len(payload), size)] or [b""]
        t0 = time.monotonic()
        total = len(payload) + len(head)
        done = 0
        for n, piece in enumerate(pieces):
            last = n == len(pieces) - 1
            wire = frame_header(last, deflate and n == 0, 1 if n == 0 else 0, len(piece)) + piece
            if n == 0:
                wire = head + wire
            # A frame is written whole before anything else (a pong) may go; in slices, over --trickle
            # seconds when it is given.
            async with self.lock_for(writer):
                for at in range(0, len(wire), 65536):
                    writer.write(wire[at:at + 65536])
                    await writer.drain()
                    done += min(65536, len(wire) - at)
                    if trickle:
                        await asyncio.sleep(max(0.0, t0 + trickle * done / total - time.monotonic()))
        self.say(f"sent {len(payload)} bytes in {len(pieces)} frame(s), deflate={deflate}, "
                 f"{time.monotonic() - t0:.2f} s")

    async def read_frames(self, reader, writer):
        """Answers the client's pings and its close; masked frames only (the client's)."""
        try:
            while True:
                b0, b1 = await reader.readexactly(2)
                length = b1 & 0x7F
                if length == 126:
                    length = struct.unpack("!H", await reader.readexactly(2))[0]
                elif length == 127:
                    length = struct.unpack("!Q", await reader.readexactly(8))[0]
                mask = await reader.readexactly(4) if b1 & 0x80 else b"\0\0\0\0"
                data = bytes(c ^ mask[i & 3] for i, c in enumerate(await reader.readexactly(length)))
                opcode = b0 & 0x0F
                if opcode == 9 and self.args.pong_delay >= 0:
                    if self.args.pong_delay:
                        await asyncio.sleep(self.args.pong_delay)
                    async with self.lock_for(writer):
                        writer.write(frame_header(True, False, 10, len(data)) + data)
                        await writer.drain()
                elif opcode == 8:
                    self.say(f"client closed: {data[:2].hex()}")
                    writer.write(frame_header(True, False, 8, len(data)) + data)
                    await writer.drain()
                    return
        except (asyncio.IncompleteReadError, ConnectionError):
            self.say("client connection ended")


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--items", type=int, default=0)
    p.add_argument("--mbytes", type=float, default=14)
    p.add_argument("--shape", default="full", choices=("full", "post", "small"))
    p.add_argument("--deflate", action="store_true")
    p.add_argument("--fragment", type=int, default=0)
    p.add_argument("--protocol", default="")
    p.add_argument("--delay", type=float, default=0.0)
    p.add_argument("--paths", default="/senders,/receivers")
    p.add_argument("--trickle", type=float, default=0.0, help="spread the grain over this many seconds")
    p.add_argument("--pong-delay", type=float, default=0.0, help="answer pings this late (<0: never)")
    p.add_argument("--coalesce", action="store_true", help="the grain in the handshake answer's write")
    p.add_argument("--path-trickle", action="append", default=[], metavar="PATH=SECONDS",
                   help="--trickle for one resource path's grain")
    p.add_argument("--path-delay", action="append", default=[], metavar="PATH=SECONDS",
                   help="an extra delay for one resource path's grain")
    p.add_argument("--bad-byte-at", type=int, default=None, help="a 0xFF byte (never UTF-8) at this offset")
    p.add_argument("--utf8", action="store_true", help="labels with characters beyond ASCII")
    p.add_argument("--slash", action="store_true", help='"path" is "/<uuid>", not "<uuid>"')
    args = p.parse_args()
    global PATH_PREFIX
    PATH_PREFIX = "/" if args.slash else ""
    global UTF8
    UTF8 = args.utf8
    args.paths = args.paths.split(",")
    args.path_trickle = {k: float(v) for k, v in (d.split("=") for d in args.path_trickle)}
    args.path_delay = {k: float(v) for k, v in (d.split("=") for d in args.path_delay)}
    server = Server(args)
    for path in args.paths:
        server.grain_for(path)
    srv = await asyncio.start_server(server.handle, "127.0.0.1", 0)
    server.port = srv.sockets[0].getsockname()[1]
    print(f"big-grain-registry listening on 127.0.0.1:{server.port}", flush=True)
    async with srv:
        await srv.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
