#!/usr/bin/python3
"""A mock IS-04 registry for the node's registration tests.

    mock_registry.py [--listen ADDR:PORT] [--schemas DIR] [--expiry SECONDS] [--versions v1.0,v1.2,v1.3]
                     [--tls-cert FILE --tls-key FILE] [--auth-jwks URL]

It serves, at each of the IS-04 versions it is told (by default v1.0, v1.2 and v1.3; any other version's
paths answer 404, as at a registry that does not serve it), the Registration API at
/x-nmos/registration/VERSION (resource POST and DELETE, node heartbeats, garbage collection of silent
nodes; documents are checked against that version's schemas), a Query API at /x-nmos/query/VERSION
(lists and single resources as held, without translation between versions, no
query parameters; websocket subscriptions: POST /subscriptions answers 201 with "id" and "ws_href", or 200
with the existing subscription of the same request; the websocket gets a sync grain of everything under
its resource path when it opens, then a grain with "pre"/"post" per change, no more often than the
subscription's max_update_rate_ms; a non-persistent subscription ends with its last websocket), and
control endpoints under /test/ through which a test reads what the registry holds and what it was sent,
and makes it fail:

    GET  /test/resources        {"nodes": {id: document}, "devices": {...}, ...} as held now
    GET  /test/requests?since=N every request received (seq > N): seq, time, monotonic, method, path,
                                query, headers (lower-case names), body, status (null: never answered),
                                fault (the fault applied, or null)
    GET  /test/events?since=N   created/updated/deleted/forgotten, with type, id, time, version or reason
                                ("request", "parent", "expiry")
    GET  /test/fault            the fault in force
    POST /test/fault            {"mode": "none" | "status" | "hang" | "close" | "delay" | "omit" | "rewrite",
                                 "status": 500 (status mode), "seconds": 1.5 (delay mode),
                                 "members": ["id"] (omit mode: left out of a subscription answer),
                                 "values": {"ws_href": "..."} (rewrite mode: replaced in it),
                                 "path": "/x-nmos/" (prefix of the paths it applies to),
                                 "method": "POST" (only this method), "count": N (only the next N)}
    POST /test/forget           drop every resource, as a registry that restarts empty
    POST /test/auth             {"refuse": true}: every bearer token is refused (401) until false again
    GET  /test/subscriptions    the subscriptions: id, resource_path, persist, ws_href, sockets (open now),
                                grains (sent so far)
    POST /test/ws/close         {"resource_path": "/senders"} (optional): closes those websockets
    POST /test/ws/send          {"text": "...", "resource_path": ...}: sends the text as it is on them
    POST /test/ws/storm         {"count": N, "resource_path": "/senders"}: sends N grains back to back, one
                                rename of a held resource each (the store stays as it is), as fast as
                                the websockets take them; GET /test/ws/storm: {"sent", "seconds", "done"}
    POST /test/ws/bulk          {"count": N, "resource_path": "/senders", "template": {...}, "pre": true,
                                "pad": 0}: sends one grain of N made-up items (documents: the template
                                with a new id, the label "Bulk <i>" and a description of "pad" bytes),
                                each with "pre" and "post" as a sync grain has them ("pre": false: only
                                "post"); nothing is held; answers {"sent", "bytes"}
    POST /test/populate         {"count": N, "template": {...}}: holds a made-up node, device and N senders
                                (the template with a new id and the label "Bulk <i>"), without checks

With --auth-jwks URL every request below a version's root needs a bearer token signed by a key of that
key set (registry_tokens.py); without a good one it answers 401 with WWW-Authenticate. Faults never touch
/test/. "hang" reads the request and never answers; "close" reads it and closes the
connection without a word; "delay" answers normally after the given time.

With --tls-cert and --tls-key (PEM files: the certificate, its chain after it, and its key) everything,
/test/ included, is served over TLS only (https, and wss for the websockets, which "ws_href" then names).
"ws_href" names the address the subscription's request came in at, or the host of --ws-host NAME.

The first line on stdout is "mock-registry listening on ADDR:PORT". SIGTERM and SIGINT end it with 0.
Documents are checked against AMWA's schemas of the version they are registered at, from --schemas
(default: QEL_NMOS_SCHEMAS, else ../shared/nmos-schemas next to the project); without them the checks
are skipped, as stderr says. A subscription belongs to the version it was made at: its websocket is
under that version's path, as is its answer's "ws_href".
"""

import argparse
import asyncio
import json
import os
import re
import signal
import ssl
import sys
import time
import uuid

from aiohttp import WSMsgType, web

from registry_schemas import Schemas
from registry_store import TYPES, Journal, Refused, Store

READY_PREFIX = "mock-registry listening on "
VERSIONS = ("v1.0", "v1.2", "v1.3")
UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
PLURAL = "(nodes|devices|sources|flows|senders|receivers)"
CORS = {
    "Access-Control-Allow-Origin": "*",
    "Access-Control-Allow-Methods": "GET, PUT, POST, HEAD, OPTIONS, DELETE",
    "Access-Control-Allow-Headers": "Content-Type, Accept",
    "Access-Control-Max-Age": "3600",
}
FAULT_MODES = ("none", "status", "hang", "close", "delay", "omit", "rewrite")
SUBSCRIPTION_PATHS = tuple("/" + t + "s" for t in TYPES)
DEFAULT_SCHEMAS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                               "nmos-schemas")


def json_response(status, doc, headers=None):
    return web.Response(status=status, text=json.dumps(doc), content_type="application/json",
                        headers=dict(CORS, **(headers or {})))


def error(status, text, debug=None):
    return json_response(status, {"code": status, "error": text, "debug": debug})


class Fault:
    def __init__(self, spec):
        self.mode = spec.get("mode")
        if self.mode not in FAULT_MODES:
            raise ValueError(f"mode must be one of {', '.join(FAULT_MODES)}")
        self.status = spec.get("status", 500)
        if self.mode == "status" and not (isinstance(self.status, int) and 100 <= self.status <= 599):
            raise ValueError("status must be an HTTP status")
        self.seconds = spec.get("seconds", 1.0)
        if not isinstance(self.seconds, (int, float)) or self.seconds < 0:
            raise ValueError("seconds must be a number of seconds")
        self.members = spec.get("members", [])
        if not isinstance(self.members, list):
            raise ValueError("members must be a list")
        self.values = spec.get("values", {})
        if not isinstance(self.values, dict):
            raise ValueError("values must be an object")
        self.path = spec.get("path", "/x-nmos/")
        self.method = spec.get("method")
        self.count = spec.get("count")
        if not isinstance(self.path, str) or (self.count is not None and not isinstance(self.count, int)):
            raise ValueError("path must be a string and count a number")

    def applies(self, request):
        return (self.mode != "none" and request.path.startswith(self.path)
                and (self.method is None or self.method == request.method)
                and (self.count is None or self.count > 0))

    def describe(self):
        return {"mode": self.mode, "status": self.status, "seconds": self.seconds, "path": self.path,
                "method": self.method, "count": self.count, "members": self.members, "values": self.values}


def tai_now():
    now = time.time() + 37  # TAI is ahead of UTC by the leap seconds
    return f"{int(now)}:{int((now % 1) * 1e9)}"


class Subscription:
    """One Query API subscription with its open websockets and the changes waiting to go out."""

    def __init__(self, spec, version, ws_href_for):
        self.id = str(uuid.uuid4())
        self.version = version
        self.spec = spec
        self.ws_href = ws_href_for(self.id)
        self.sockets = set()
        self.pending = []  # data items of the next grain
        self.flush_task = None
        self.last_sent = 0.0
        self.grains = 0

    def document(self):
        return dict(self.spec, id=self.id, ws_href=self.ws_href)

    def same_request(self, spec, version):
        return version == self.version and all(self.spec[k] == spec[k] for k in ("max_update_rate_ms", "persist", "secure",
                                                      "resource_path", "params"))


class MockRegistry:
    def __init__(self, expiry, schemas, versions=VERSIONS, tokens=None, ws_host=None):
        self.versions = tuple(versions)
        self.tokens = tokens  # a TokenCheck when bearer tokens are required
        self.ws_host = ws_host  # the host "ws_href" names; None: the address the request came in at
        self.store = Store(expiry)
        self.schemas = schemas
        self.requests = Journal()
        self.fault = Fault({"mode": "none"})
        self.hanging = set()  # transports of requests that are never answered
        self.node_added = asyncio.Event()
        self.routes = [
            ("GET", r"/x-nmos", lambda r, m, b: json_response(200, ["registration/", "query/"])),
            ("GET", r"/x-nmos/registration", lambda r, m, b: json_response(200, [v + "/" for v in self.versions])),
            ("GET", r"/x-nmos/query", lambda r, m, b: json_response(200, [v + "/" for v in self.versions])),
        ]
        for version in self.versions:
            reg, query = re.escape(registration_path(version)), re.escape(query_path(version))
            self.routes += [
                ("GET", reg, lambda r, m, b: json_response(200, ["resource/", "health/"])),
                ("GET", reg + r"/health", lambda r, m, b: json_response(200, ["nodes/"])),
                ("POST", reg + r"/resource", self.post_resource),
                ("GET", reg + r"/resource/" + PLURAL + "/(" + UUID + ")", self.get_resource),
                ("DELETE", reg + r"/resource/" + PLURAL + "/(" + UUID + ")", self.delete_resource),
                ("POST", reg + r"/health/nodes/(" + UUID + ")", self.post_health),
                ("GET", reg + r"/health/nodes/(" + UUID + ")", self.get_health),
                ("GET", query, lambda r, m, b: json_response(200, [t + "s/" for t in TYPES])),
                ("GET", query + "/subscriptions", self.list_subscriptions),
                ("POST", query + "/subscriptions", self.post_subscription),
                ("GET", query + "/subscriptions/(" + UUID + ")", self.get_subscription),
                ("DELETE", query + "/subscriptions/(" + UUID + ")", self.delete_subscription),
                ("GET", query + "/" + PLURAL, self.query_list),
                ("GET", query + "/" + PLURAL + "/(" + UUID + ")", self.get_resource),
            ]
        self.routes += [
            ("GET", r"/test/resources", lambda r, m, b: json_response(200, self.store.snapshot())),
            ("GET", r"/test/requests", lambda r, m, b: json_response(200, self.requests.since(since(r)))),
            ("GET", r"/test/events", lambda r, m, b: json_response(200, self.store.events.since(since(r)))),
            ("GET", r"/test/fault", lambda r, m, b: json_response(200, self.fault.describe())),
            ("POST", r"/test/fault", self.set_fault),
            ("POST", r"/test/forget", self.forget),
            ("POST", r"/test/auth", self.set_auth),
            ("GET", r"/test/subscriptions", self.test_subscriptions),
            ("POST", r"/test/ws/close", self.test_ws_close),
            ("POST", r"/test/ws/send", self.test_ws_send),
            ("POST", r"/test/ws/storm", self.test_ws_storm),
            ("POST", r"/test/ws/bulk", self.test_ws_bulk),
            ("POST", r"/test/populate", self.test_populate),
            ("GET", r"/test/ws/storm", lambda r, m, b: json_response(200, self.storm)),
        ]
        self.ws_pattern = re.compile("/x-nmos/query/(" + "|".join(map(re.escape, self.versions)) + ")/subscriptions/("
                                     + UUID + ")/ws/?")
        self.subscriptions = {}  # id -> Subscription
        self.source_id = str(uuid.uuid4())  # this Query API's id in its grains
        self.omit = []  # members left out of the subscription answer being made
        self.rewrite = {}  # members replaced in it
        self.storm = {"sent": 0, "seconds": 0.0, "done": True}
        self.store.listeners.append(self.changed)
        self.routes = [(method, re.compile(pattern + "/?"), fn) for method, pattern, fn in self.routes]

    # -- dispatch ---------------------------------------------------------------------------------

    async def handle(self, request):
        arrival, arrival_monotonic = time.time(), time.monotonic()  # once the head has arrived
        body = await request.read()
        entry = self.requests.add({
            "time": arrival, "monotonic": arrival_monotonic, "method": request.method,
            "path": request.path, "query": request.query_string,
            "headers": {k.lower(): v for k, v in request.headers.items()},
            "body": body.decode("utf-8", "replace") if body else None,
            "status": None, "fault": None})
        if not request.path.startswith("/test/") and self.fault.applies(request):
            fault = self.fault
            if fault.count is not None:
                fault.count -= 1
            entry["fault"] = fault.mode
            if fault.mode == "status":
                entry["status"] = fault.status
                return error(fault.status, "fault injected by the test", f"status {fault.status}")
            if fault.mode == "close":
                if request.transport is not None:  # None: the client has gone already
                    request.transport.close()
                raise asyncio.CancelledError()  # aiohttp drops the request quietly
            if fault.mode == "hang":
                await self.hang(request)  # ends only by raising CancelledError
            if fault.mode == "delay":
                await asyncio.sleep(fault.seconds)
            if fault.mode == "omit":
                self.omit = fault.members
            if fault.mode == "rewrite":
                self.rewrite = fault.values
        refusal = self.unauthorized(request)
        if refusal:
            entry["status"] = 401
            return json_response(401, {"code": 401, "error": "unauthorized", "debug": refusal},
                                 {"WWW-Authenticate": 'Bearer realm="mock-registry", error="invalid_token"'})
        ws = self.ws_pattern.fullmatch(request.path)
        if ws and request.method == "GET":
            entry["status"] = 101
            return await self.websocket(request, ws.group(1), ws.group(2), entry)
        try:
            response = self.route(request, body)
        finally:
            self.omit, self.rewrite = [], {}
        entry["status"] = response.status
        return response

    def unauthorized(self, request):
        """Why the request's token does not do (None: it does, or none is needed)."""
        if not self.tokens or request.method == "OPTIONS":
            return None
        match = re.match(r"/x-nmos/(registration|query)/v[0-9]+\.[0-9]+/.", request.path)
        if not match:
            return None  # the roots stay open
        return self.tokens.check(request.headers.get("Authorization"), match.group(1))

    def set_auth(self, request, match, body):
        if not self.tokens:
            return error(400, "tokens are not required (--auth-jwks)")
        try:
            self.tokens.refuse_all = bool(json.loads(body or b"{}").get("refuse", False))
        except (ValueError, AttributeError):
            return error(400, "expected {\"refuse\": true|false}")
        return json_response(200, {"refuse": self.tokens.refuse_all})

    async def hang(self, request):
        """Holds the request unanswered until the client or the registry's end closes the connection."""
        transport = request.transport
        if transport is not None:
            self.hanging.add(transport)
        try:
            while transport is not None and not transport.is_closing():
                await asyncio.sleep(0.1)
        finally:
            self.hanging.discard(transport)
        raise asyncio.CancelledError()

    def route(self, request, body):
        path_known = False
        for method, pattern, fn in self.routes:
            match = pattern.fullmatch(request.path)
            if match:
                path_known = True
                if method == request.method or (method == "GET" and request.method == "HEAD"):
                    return fn(request, match, body)
        if path_known and request.method == "OPTIONS":
            return web.Response(status=200, headers=CORS)
        if path_known:
            return error(405, f"{request.method} is not served at {request.path}")
        return error(404, f"nothing at {request.path}")

    # -- Registration API -------------------------------------------------------------------------

    def post_resource(self, request, match, body):
        if request.content_type != "application/json":
            return error(400, "the registration must be sent as application/json",
                         f"Content-Type: {request.headers.get('Content-Type')!r}")
        try:
            envelope = json.loads(body)
        except ValueError as e:
            return error(400, "the body is not JSON", str(e))
        if not isinstance(envelope, dict) or "type" not in envelope or "data" not in envelope:
            return error(400, "a registration is an object with \"type\" and \"data\"")
        rtype, doc = envelope["type"], envelope["data"]
        if rtype not in TYPES:
            return error(400, f"unknown resource type {rtype!r}")
        if not isinstance(doc, dict):
            return error(400, "\"data\" must be an object")
        version = api_version(request)
        problems = self.schemas.problems(version, rtype, doc)
        if problems:
            return error(400, f"the {rtype} does not match the IS-04 {version} schema", "; ".join(problems))
        try:
            created = self.store.put(rtype, doc)
        except Refused as e:
            return error(e.status, e.error, e.debug)
        if created and rtype == "node":
            self.node_added.set()
        location = f"{registration_path(version)}/resource/{rtype}s/{doc['id']}"
        return json_response(201 if created else 200, doc, {"Location": location})

    def get_resource(self, request, match, body):
        doc = self.store.get(match.group(1)[:-1], match.group(2))
        if doc is None:
            return error(404, f"no {match.group(1)[:-1]} {match.group(2)}")
        return json_response(200, doc)

    def delete_resource(self, request, match, body):
        if not self.store.delete(match.group(1)[:-1], match.group(2)):
            return error(404, f"no {match.group(1)[:-1]} {match.group(2)}")
        return web.Response(status=204, headers=CORS)

    def post_health(self, request, match, body):
        seconds = self.store.heartbeat(match.group(1))
        if seconds is None:
            return error(404, f"node {match.group(1)} is not registered")
        return json_response(200, {"health": str(seconds)})

    def get_health(self, request, match, body):
        seconds = self.store.health_seconds.get(match.group(1))
        if seconds is None:
            return error(404, f"node {match.group(1)} is not registered")
        return json_response(200, {"health": str(seconds)})

    def query_list(self, request, match, body):
        return json_response(200, list(self.store.resources[match.group(1)[:-1]].values()))

    # -- Query API subscriptions ------------------------------------------------------------------

    def ws_href_for(self, request):
        host, port = request.transport.get_extra_info("sockname")[:2]
        shown = self.ws_host or (f"[{host}]" if ":" in host else host)
        query = query_path(api_version(request))
        scheme = "wss" if request.secure else "ws"
        return lambda sid: f"{scheme}://{shown}:{port}{query}/subscriptions/{sid}/ws"

    def post_subscription(self, request, match, body):
        try:
            spec = json.loads(body)
        except ValueError as e:
            return error(400, "the body is not JSON", str(e))
        if not isinstance(spec, dict):
            return error(400, "a subscription request is an object")
        spec = {"max_update_rate_ms": spec.get("max_update_rate_ms", 100), "persist": spec.get("persist", False),
                "secure": spec.get("secure", False), "resource_path": spec.get("resource_path"),
                "params": spec.get("params", {})}
        if spec["resource_path"] not in SUBSCRIPTION_PATHS:
            return error(400, f"resource_path must be one of {', '.join(SUBSCRIPTION_PATHS)}")
        if not isinstance(spec["max_update_rate_ms"], int) or spec["max_update_rate_ms"] < 0 \
                or not isinstance(spec["persist"], bool) or not isinstance(spec["params"], dict):
            return error(400, "max_update_rate_ms, persist or params has the wrong type")
        # Websockets are what the registry serves: wss over TLS, ws without it.
        if spec["secure"] is not request.secure:
            return error(400, "only secure websockets here" if request.secure else "no secure websockets here")
        status = 200
        version = api_version(request)
        sub = next((s for s in self.subscriptions.values() if s.same_request(spec, version)), None)
        if sub is None:
            sub = Subscription(spec, version, self.ws_href_for(request))
            self.subscriptions[sub.id] = sub
            status = 201
        doc = dict({k: v for k, v in sub.document().items() if k not in self.omit}, **self.rewrite)
        return json_response(status, doc, {"Location": f"{query_path(version)}/subscriptions/{sub.id}"})

    def subscription_at(self, request, sid):
        """The subscription of that id made at the request's version (no other version shows it)."""
        sub = self.subscriptions.get(sid)
        return sub if sub is not None and sub.version == api_version(request) else None

    def list_subscriptions(self, request, match, body):
        version = api_version(request)
        return json_response(200, [s.document() for s in self.subscriptions.values() if s.version == version])

    def get_subscription(self, request, match, body):
        sub = self.subscription_at(request, match.group(1))
        if sub is None:
            return error(404, f"no subscription {match.group(1)}")
        return json_response(200, sub.document())

    def delete_subscription(self, request, match, body):
        sub = self.subscription_at(request, match.group(1))
        if sub is None:
            return error(404, f"no subscription {match.group(1)}")
        if not sub.spec["persist"]:
            return error(403, "a non-persistent subscription ends with its last websocket")
        self.end_subscription(sub)
        return web.Response(status=204, headers=CORS)

    def end_subscription(self, sub):
        self.subscriptions.pop(sub.id, None)
        if sub.flush_task:
            sub.flush_task.cancel()
        for ws in list(sub.sockets):
            asyncio.ensure_future(ws.close())

    async def websocket(self, request, version, sid, entry):
        sub = self.subscriptions.get(sid)
        if sub is None or sub.version != version:
            entry["status"] = 404
            return error(404, f"no subscription {sid}")
        ws = web.WebSocketResponse(protocols=("WS-protocol",), heartbeat=None)
        await ws.prepare(request)
        sub.sockets.add(ws)
        try:
            rtype = sub.spec["resource_path"][1:-1]
            held = self.store.resources[rtype].values()
            await self.send_grain(sub, [ws], [{"path": d["id"], "pre": d, "post": d} for d in held])
            async for msg in ws:
                if msg.type in (WSMsgType.ERROR, WSMsgType.CLOSE):
                    break
        finally:
            sub.sockets.discard(ws)
            if not sub.sockets and not sub.spec["persist"]:
                self.end_subscription(sub)
        return ws

    def grain(self, sub, data):
        now = tai_now()
        return {"grain_type": "event", "source_id": self.source_id, "flow_id": sub.id,
                "origin_timestamp": now, "sync_timestamp": now, "creation_timestamp": now,
                "rate": {"numerator": 0, "denominator": 1}, "duration": {"numerator": 0, "denominator": 1},
                "grain": {"type": "urn:x-nmos:format:data.event", "topic": sub.spec["resource_path"] + "/",
                          "data": data}}

    async def send_grain(self, sub, sockets, data):
        text = json.dumps(self.grain(sub, data))
        sub.last_sent = time.monotonic()
        for ws in list(sockets):
            try:
                await ws.send_str(text)
                sub.grains += 1
            except (ConnectionError, RuntimeError):
                pass

    def changed(self, rtype, rid, pre, post):
        item = {"path": rid}
        if pre is not None:
            item["pre"] = pre
        if post is not None:
            item["post"] = post
        for sub in self.subscriptions.values():
            if sub.spec["resource_path"] != f"/{rtype}s" or not sub.sockets:
                continue
            sub.pending.append(item)
            if sub.flush_task is None or sub.flush_task.done():
                sub.flush_task = asyncio.ensure_future(self.flush(sub))

    async def flush(self, sub):
        """Sends what is pending as one grain, once the subscription's rate allows."""
        wait = sub.last_sent + sub.spec["max_update_rate_ms"] / 1000.0 - time.monotonic()
        if wait > 0:
            await asyncio.sleep(wait)
        data, sub.pending = sub.pending, []
        if data:
            await self.send_grain(sub, sub.sockets, data)

    def test_subscriptions(self, request, match, body):
        return json_response(200, [dict(s.document(), version=s.version, sockets=len(s.sockets), grains=s.grains)
                                   for s in self.subscriptions.values()])

    def sockets_of(self, spec):
        path = spec.get("resource_path")
        return [ws for s in list(self.subscriptions.values()) if path in (None, s.spec["resource_path"])
                for ws in s.sockets]

    def test_ws_close(self, request, match, body):
        spec = json.loads(body) if body else {}
        sockets = self.sockets_of(spec)
        for ws in sockets:
            asyncio.ensure_future(ws.close())
        return json_response(200, {"closed": len(sockets)})

    def test_ws_send(self, request, match, body):
        spec = json.loads(body) if body else {}
        if not isinstance(spec.get("text"), str):
            return error(400, "text must be a string")
        sockets = self.sockets_of(spec)
        for ws in sockets:
            asyncio.ensure_future(ws.send_str(spec["text"]))
        return json_response(200, {"sent": len(sockets)})

    def test_ws_storm(self, request, match, body):
        spec = json.loads(body) if body else {}
        count, path = spec.get("count"), spec.get("resource_path", "/senders")
        if not isinstance(count, int) or count < 0 or path not in SUBSCRIPTION_PATHS:
            return error(400, "count must be a number and resource_path a subscription path")
        subs = [s for s in self.subscriptions.values() if s.spec["resource_path"] == path and s.sockets]
        held = list(self.store.resources[path[1:-1]].values())
        if not subs or not held:
            return error(409, "no open websocket or nothing held under " + path)
        self.storm = {"sent": 0, "seconds": 0.0, "done": False}
        asyncio.ensure_future(self.run_storm(subs, held, count))
        return json_response(200, self.storm)

    def test_ws_bulk(self, request, match, body):
        spec = json.loads(body) if body else {}
        count, path = spec.get("count"), spec.get("resource_path", "/senders")
        template = spec.get("template", {})
        if not isinstance(count, int) or count < 0 or path not in SUBSCRIPTION_PATHS \
                or not isinstance(template, dict):
            return error(400, "count must be a number, resource_path a subscription path, template an object")
        subs = [s for s in self.subscriptions.values() if s.spec["resource_path"] == path and s.sockets]
        pad = "x" * spec.get("pad", 0) if isinstance(spec.get("pad", 0), int) else ""
        docs = (dict(template, id=str(uuid.uuid4()), label=f"Bulk {i}", **({"description": pad} if pad else {}))
                for i in range(count))
        data = [{"path": d["id"], "pre": d, "post": d} if spec.get("pre", True) else {"path": d["id"], "post": d}
                for d in docs]
        for sub in subs:
            asyncio.ensure_future(self.send_grain(sub, sub.sockets, data))
        return json_response(200, {"sent": sum(len(s.sockets) for s in subs),
                                   "bytes": len(json.dumps(self.grain(subs[0], data))) if subs else 0})

    def test_populate(self, request, match, body):
        spec = json.loads(body) if body else {}
        count, template = spec.get("count"), spec.get("template", {})
        if not isinstance(count, int) or count < 0 or not isinstance(template, dict):
            return error(400, "count must be a number and template an object")
        node = {"id": str(uuid.uuid4()), "label": "bulk node"}
        device = {"id": str(uuid.uuid4()), "label": "bulk device", "node_id": node["id"]}
        self.store.put("node", node)
        self.node_added.set()
        self.store.put("device", device)
        for i in range(count):
            self.store.put("sender", dict(template, id=str(uuid.uuid4()), label=f"Bulk {i}",
                                          device_id=device["id"], flow_id=None))
        return json_response(200, {"node": node["id"], "device": device["id"], "senders": count})

    async def run_storm(self, subs, held, count):
        started = time.monotonic()
        for i in range(count):
            pre = held[i % len(held)]
            post = dict(pre, label=f"{pre.get('label', '')} #{i}")
            for sub in subs:
                await self.send_grain(sub, sub.sockets, [{"path": pre["id"], "pre": pre, "post": post}])
            self.storm["sent"] = i + 1
        self.storm.update(seconds=time.monotonic() - started, done=True)

    # -- control ----------------------------------------------------------------------------------

    def set_fault(self, request, match, body):
        try:
            spec = json.loads(body)
            if not isinstance(spec, dict):
                raise ValueError("the fault is an object")
            self.fault = Fault(spec)
        except ValueError as e:
            return error(400, "bad fault", str(e))
        return json_response(200, self.fault.describe())

    def forget(self, request, match, body):
        self.store.forget()
        return json_response(200, self.store.snapshot())

    # -- garbage collection -----------------------------------------------------------------------

    async def collect_garbage(self):
        """Sleeps until the oldest heartbeat runs out. Heartbeats only move deadlines later and a new
        node's deadline is the latest of all, so waking at the earliest deadline never misses one."""
        while True:
            due = self.store.next_expiry()
            if due is None:
                self.node_added.clear()
                await self.node_added.wait()
                continue
            await asyncio.sleep(max(0.0, due - time.monotonic()))
            self.store.expire()

    def drop_hanging(self):
        for transport in list(self.hanging):
            transport.close()


def registration_path(version):
    return "/x-nmos/registration/" + version


def query_path(version):
    return "/x-nmos/query/" + version


def api_version(request):
    """The API version of a request's path ("/x-nmos/registration/v1.3/..." is "v1.3")."""
    parts = request.path.split("/")
    return parts[3] if len(parts) > 3 else ""


def parse_versions(text):
    versions = tuple(v.strip() for v in text.split(",") if v.strip())
    if not versions or any(not re.fullmatch(r"v[0-9]+\.[0-9]+", v) for v in versions):
        raise argparse.ArgumentTypeError("expected versions such as v1.2,v1.3")
    return versions


def since(request):
    try:
        return int(request.query.get("since", "0"))
    except ValueError:
        return 0


def parse_listen(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit():
        raise argparse.ArgumentTypeError("expected ADDR:PORT")
    return host.strip("[]") or "127.0.0.1", int(port)


def server_tls(args):
    """The TLS context of --tls-cert/--tls-key (TLS 1.2 at least), or None for plain HTTP."""
    if not args.tls_cert:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.tls_cert, args.tls_key)
    return context


async def serve(args):
    schemas = Schemas(args.schemas, args.versions)
    if not schemas.active:
        print(f"mock-registry: {schemas.reason}; documents are not checked against schemas",
              file=sys.stderr, flush=True)
    tokens = None
    if args.auth_jwks:
        from registry_tokens import TokenCheck
        tokens = TokenCheck(args.auth_jwks)
    registry = MockRegistry(args.expiry, schemas, args.versions, tokens, args.ws_host)
    app = web.Application(client_max_size=16 * 1024 * 1024)
    app.router.add_route("*", "/{tail:.*}", registry.handle)
    runner = web.AppRunner(app, access_log=None, handle_signals=False)
    await runner.setup()
    host, port = args.listen
    site = web.TCPSite(runner, host, port, shutdown_timeout=1.0, ssl_context=server_tls(args))
    await site.start()
    # The signals are taken before the ready line: a test may end the registry as soon as it reads it.
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    bound = site._server.sockets[0].getsockname()
    shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
    print(f"{READY_PREFIX}{shown}:{bound[1]}", flush=True)

    collector = asyncio.create_task(registry.collect_garbage())
    await stop.wait()
    collector.cancel()
    registry.drop_hanging()
    for sub in list(registry.subscriptions.values()):
        for ws in list(sub.sockets):
            await ws.close()
    await runner.cleanup()


def main():
    parser = argparse.ArgumentParser(description="Mock IS-04 registry for tests")
    parser.add_argument("--listen", type=parse_listen, default=("127.0.0.1", 0), metavar="ADDR:PORT")
    parser.add_argument("--schemas", default=os.environ.get("QEL_NMOS_SCHEMAS") or DEFAULT_SCHEMAS,
                        metavar="DIR", help="folder holding is-04/VERSION for each version (AMWA's schemas)")
    parser.add_argument("--versions", type=parse_versions, default=VERSIONS, metavar="v1.0,v1.2,v1.3",
                        help="the IS-04 versions served (others answer 404)")
    parser.add_argument("--expiry", type=float, default=12.0, metavar="SECONDS",
                        help="a node without heartbeat for this long is removed with its resources")
    parser.add_argument("--ws-host", metavar="NAME",
                        help='the host "ws_href" names (default: the address the request came in at)')
    parser.add_argument("--tls-cert", metavar="FILE", help="serve over TLS with this certificate (PEM)")
    parser.add_argument("--tls-key", metavar="FILE", help="the key of --tls-cert (PEM)")
    parser.add_argument("--auth-jwks", metavar="URL",
                        help="require bearer tokens signed by a key of this key set (on loopback)")
    args = parser.parse_args()
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
