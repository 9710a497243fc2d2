"""The mock registry that the registration tests rely on, fed with the documents a real node serves
(aes67fw-sim and nmos-bridge are started once to take them): parent order, create and update, read-back,
delete cascades, heartbeats and garbage collection, schema refusal, the versions it serves, and every fault
mode."""

import json
import os
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))

import nmos_node  # noqa: E402
from mock_registry import DEFAULT_SCHEMAS  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402
from registry_schemas import Schemas  # noqa: E402
from tls_certs import TestCA  # noqa: E402

ORDER = ("node", "device", "source", "flow", "sender", "receiver")
# The type a resource cannot be registered before, as the registry's parent rules demand.
NEEDS = {"device": "node", "source": "device", "flow": "source", "sender": "device", "receiver": "device"}
NODE_API = "/x-nmos/node/v1.3/"
SCHEMAS = os.environ.get("QEL_NMOS_SCHEMAS") or None
# Guards only: nothing here depends on the registry being fast.
LIMIT = 15.0
DOCS = {}


def setUpModule():
    node = nmos_node.RunningNode(streams=2).start()
    try:
        DOCS["node"] = [node.get_json(NODE_API + "self")]
        for rtype in ORDER[1:]:
            DOCS[rtype] = node.get_json(NODE_API + rtype + "s")
    finally:
        node.stop()


def held_ids(held):
    return {rtype: set(held[rtype + "s"]) for rtype in ORDER}


def served_ids():
    return {rtype: {d["id"] for d in DOCS[rtype]} for rtype in ORDER}


class RegistryTestCase(unittest.TestCase):
    expiry = None

    def setUp(self):
        self.registry = RegistryProcess(expiry=self.expiry, schemas=SCHEMAS).start()
        self.addCleanup(self._stop_registry)

    def _stop_registry(self):
        self.assertEqual(self.registry.stop(), 0, "the mock registry did not end cleanly")

    def register_all(self):
        for rtype in ORDER:
            for doc in DOCS[rtype]:
                status, _, body = self.registry.register(rtype, doc)
                self.assertIn(status, (200, 201), body)

    def assertError(self, answer, status):
        code, headers, body = answer
        self.assertEqual(code, status, body)
        self.assertEqual(headers["content-type"].split(";")[0], "application/json")
        doc = json.loads(body)
        self.assertEqual(doc["code"], status)
        self.assertIsInstance(doc["error"], str)
        self.assertIn("debug", doc)
        return doc


class Registration(RegistryTestCase):
    def test_parents_first_then_created_updated_and_read_back(self):
        registered = set()
        for rtype in ORDER:
            # Every resource whose parent type is not registered yet is refused and not held.
            for later in ORDER[ORDER.index(rtype):]:
                if later != "node" and NEEDS[later] not in registered:
                    self.assertError(self.registry.register(later, DOCS[later][0]), 400)
            self.assertEqual(sum(map(len, held_ids(self.registry.resources()).values())),
                             sum(len(DOCS[t]) for t in registered))
            for doc in DOCS[rtype]:
                status, headers, body = self.registry.register(rtype, doc)
                self.assertEqual(status, 201, body)
                self.assertEqual(headers["location"], f"{self.registry.registration}/resource/{rtype}s/{doc['id']}")
                self.assertEqual(json.loads(body), doc)
            registered.add(rtype)

        for rtype in ORDER:  # known resources are updates
            for doc in DOCS[rtype]:
                status, headers, _ = self.registry.register(rtype, doc)
                self.assertEqual(status, 200)
                self.assertEqual(headers["location"], f"{self.registry.registration}/resource/{rtype}s/{doc['id']}")

        # What is held is exactly what the node serves, document by document.
        expected = {rtype + "s": {d["id"]: d for d in DOCS[rtype]} for rtype in ORDER}
        self.assertEqual(self.registry.resources(), expected)
        for rtype in ORDER:
            status, _, body = self.registry.request("GET", f"{self.registry.query}/{rtype}s")
            self.assertEqual(status, 200)
            self.assertEqual(sorted(json.loads(body), key=lambda d: d["id"]),
                             sorted(DOCS[rtype], key=lambda d: d["id"]))

        # An update replaces the document; the events tell creations from updates, with versions.
        changed = dict(DOCS["sender"][0], label="renamed", version="1900000000:5")
        mark = self.registry.events()[-1]["seq"]
        self.assertEqual(self.registry.register("sender", changed)[0], 200)
        self.assertEqual(self.registry.resources()["senders"][changed["id"]], changed)
        self.assertEqual([(e["event"], e["id"], e["version"]) for e in self.registry.events(mark)],
                         [("updated", changed["id"], "1900000000:5")])
        created = [e for e in self.registry.events() if e["event"] == "created"]
        self.assertEqual([e["type"] for e in created], [t for t in ORDER for _ in DOCS[t]])

        # An id is one resource of one type.
        self.assertError(self.registry.register("receiver", dict(DOCS["receiver"][0], id=changed["id"])), 400)

    def test_deleting_a_parent_removes_its_descendants(self):
        self.register_all()
        source = DOCS["source"][0]
        flows = {f["id"] for f in DOCS["flow"] if f["source_id"] == source["id"]}
        self.assertTrue(flows)
        self.assertEqual(self.registry.unregister("source", source["id"])[0], 204)
        ids = held_ids(self.registry.resources())
        self.assertEqual(ids["flow"], served_ids()["flow"] - flows)
        self.assertEqual(ids["sender"], served_ids()["sender"])

        mark = self.registry.events()[-1]["seq"]
        device = DOCS["device"][0]["id"]
        self.assertEqual(self.registry.unregister("device", device)[0], 204)
        ids = held_ids(self.registry.resources())
        self.assertEqual(ids, dict({t: set() for t in ORDER}, node=served_ids()["node"]))
        gone = self.registry.events(mark)
        self.assertEqual(gone[-1], dict(gone[-1], event="deleted", type="device", id=device, reason="request"))
        self.assertTrue(all(e["event"] == "deleted" and e["reason"] == "parent" for e in gone[:-1]))

        self.assertError(self.registry.unregister("device", device), 404)
        self.assertError(self.registry.unregister("sender", DOCS["sender"][0]["id"]), 404)
        self.assertEqual(self.registry.unregister("node", DOCS["node"][0]["id"])[0], 204)
        self.assertEqual(held_ids(self.registry.resources()), {t: set() for t in ORDER})
        # A node DELETE also takes every resource below it.
        self.register_all()
        self.assertEqual(self.registry.unregister("node", DOCS["node"][0]["id"])[0], 204)
        self.assertEqual(held_ids(self.registry.resources()), {t: set() for t in ORDER})


class Documents(RegistryTestCase):
    @unittest.skipUnless(Schemas(SCHEMAS or DEFAULT_SCHEMAS).active, "AMWA schemas not found")
    def test_documents_the_schemas_refuse_are_not_held(self):
        node, device = DOCS["node"][0], DOCS["device"][0]
        doc = self.assertError(self.registry.register("node", dict(node, href=5)), 400)
        self.assertIn("href", doc["debug"])
        self.assertEqual(self.registry.register("node", node)[0], 201)
        self.assertEqual(self.registry.register("device", device)[0], 201)
        sender = {k: v for k, v in DOCS["sender"][0].items() if k != "transport"}
        self.assertIn("transport", self.assertError(self.registry.register("sender", sender), 400)["debug"])
        flow = dict(DOCS["flow"][0], format="urn:x-nmos:format:audio", sample_rate="48000")
        self.assertError(self.registry.register("flow", flow), 400)

        post = self.registry.registration + "/resource"
        self.assertError(self.registry.request("POST", post, "{not json", {"Content-Type": "application/json"}),
                         400)
        self.assertError(self.registry.request("POST", post, json.dumps({"type": "node", "data": node})), 400)
        self.assertError(self.registry.request("POST", post, {"type": "widget", "data": node}), 400)
        self.assertError(self.registry.request("POST", post, {"data": node}), 400)
        self.assertEqual(held_ids(self.registry.resources()),
                         dict({t: set() for t in ORDER}, node={node["id"]}, device={device["id"]}))

    def test_without_schemas_only_the_parent_rules_apply(self):
        with tempfile.TemporaryDirectory() as empty, RegistryProcess(schemas=empty) as registry:
            self.assertEqual(registry.register("node", dict(DOCS["node"][0], href=5))[0], 201)
            self.assertError(registry.register("source", DOCS["source"][0]), 400)
            self.assertEqual(registry.register("device", DOCS["device"][0])[0], 201)


class Versions(unittest.TestCase):
    """A registry serves the versions it is told: it lists them, answers 404 at any other, checks what
    it is sent against that version's schemas, and keeps subscriptions apart by version."""

    def registry(self, versions):
        registry = RegistryProcess(schemas=SCHEMAS, versions=versions).start()
        self.addCleanup(registry.stop)
        return registry

    def test_only_the_versions_told_are_served(self):
        old, new = self.registry(("v1.0",)), self.registry(("v1.2", "v1.3"))
        for registry, listed in ((old, ["v1.0/"]), (new, ["v1.2/", "v1.3/"])):
            for api in ("registration", "query"):
                status, _, body = registry.request("GET", f"/x-nmos/{api}/")
                self.assertEqual((status, json.loads(body)), (200, listed))
        self.assertEqual(old.registration, "/x-nmos/registration/v1.0")
        self.assertEqual(new.txt(pri=5), ["api_proto=http", "api_ver=v1.2,v1.3", "api_auth=false", "pri=5"])
        node = DOCS["node"][0]
        for registry, version in ((old, "v1.3"), (old, "v1.2"), (new, "v1.0"), (new, "v1.1")):
            status, _, _ = registry.register("node", node, version)
            self.assertEqual(status, 404, (registry.versions, version))
            self.assertEqual(registry.request("GET", f"/x-nmos/query/{version}/nodes")[0], 404)
        self.assertEqual([old.resources()["nodes"], new.resources()["nodes"]], [{}, {}])

    @unittest.skipUnless(Schemas(SCHEMAS or DEFAULT_SCHEMAS, ("v1.0", "v1.3")).active, "AMWA schemas not found")
    def test_documents_are_checked_against_the_schemas_of_their_version(self):
        # A node without "api" is a v1.0 node; v1.3 requires it.
        old, new = self.registry(("v1.0",)), self.registry(("v1.2", "v1.3"))
        node = {k: v for k, v in DOCS["node"][0].items() if k != "api"}
        self.assertEqual(old.register("node", node)[0], 201)
        status, _, body = new.register("node", node)
        self.assertEqual(status, 400)
        self.assertIn("v1.3 schema", json.loads(body)["error"])
        self.assertEqual(new.register("node", DOCS["node"][0])[0], 201)
        # Subscriptions belong to their version.
        spec = {"max_update_rate_ms": 100, "resource_path": "/senders", "params": {}, "persist": False,
                "secure": False}
        status, _, body = new.request("POST", "/x-nmos/query/v1.2/subscriptions", spec)
        self.assertEqual(status, 201)
        sub = json.loads(body)
        self.assertIn("/x-nmos/query/v1.2/subscriptions/", sub["ws_href"])
        self.assertEqual(new.request("POST", "/x-nmos/query/v1.3/subscriptions", spec)[0], 201)  # another one
        self.assertEqual(new.request("GET", f"/x-nmos/query/v1.3/subscriptions/{sub['id']}")[0], 404)
        self.assertEqual(new.request("GET", f"/x-nmos/query/v1.2/subscriptions/{sub['id']}")[0], 200)


class Health(RegistryTestCase):
    expiry = 2.0

    def test_heartbeats_keep_a_node_and_silence_removes_it_with_its_resources(self):
        node_id = DOCS["node"][0]["id"]
        self.assertError(self.registry.heartbeat(node_id), 404)
        self.register_all()
        status, _, body = self.registry.heartbeat(node_id)
        self.assertEqual(status, 200)
        health = json.loads(body)["health"]
        self.assertRegex(health, r"^[0-9]+$")
        self.assertLess(abs(int(health) - time.time()), 5)
        self.assertEqual(json.loads(self.registry.request("GET", f"{self.registry.registration}/health/nodes/{node_id}")[2]),
                         {"health": health})

        # The request log shows what a heartbeat carried: here nothing, then a body with its type.
        self.registry.request("POST", f"{self.registry.registration}/health/nodes/{node_id}", b"{}",
                              {"Content-Type": "application/json"})
        beats = self.registry.requests(path=f"{self.registry.registration}/health/nodes/{node_id}", method="POST")
        self.assertEqual([(b["status"], b["body"], "content-type" in b["headers"]) for b in beats],
                         [(404, None, False), (200, None, False), (200, "{}", True)])

        # Heartbeats for longer than the expiry keep everything.
        until = time.monotonic() + 2 * self.expiry
        while time.monotonic() < until:
            self.assertEqual(self.registry.heartbeat(node_id)[0], 200)
            time.sleep(self.expiry / 4)
        self.assertEqual(held_ids(self.registry.resources()), served_ids())

        # Silence removes the node and everything below it, never before the expiry has passed.
        last = self.registry.requests(path=f"{self.registry.registration}/health/")[-1]
        self.assertIsNotNone(self.registry.wait_for(lambda held: not any(held.values()), self.expiry + LIMIT))
        expired = [e for e in self.registry.events() if e["event"] == "deleted" and e["reason"] == "expiry"]
        self.assertEqual([(e["type"], e["id"]) for e in expired], [("node", node_id)])
        self.assertGreaterEqual(expired[0]["monotonic"] - last["monotonic"], self.expiry)
        self.assertError(self.registry.heartbeat(node_id), 404)


class Faults(RegistryTestCase):
    def test_status_faults_are_scoped_counted_and_change_nothing(self):
        node_id = DOCS["node"][0]["id"]
        health = f"{self.registry.registration}/health/"
        self.registry.set_fault("status", status=503, count=2, path=health)
        self.assertEqual(self.registry.register("node", DOCS["node"][0])[0], 201)  # outside the scope
        self.assertError(self.registry.heartbeat(node_id), 503)
        self.assertError(self.registry.heartbeat(node_id), 503)
        self.assertEqual(self.registry.heartbeat(node_id)[0], 200)
        self.assertEqual(self.registry.fault()["count"], 0)

        self.registry.set_fault("status", status=500, method="POST")
        self.assertError(self.registry.register("device", DOCS["device"][0]), 500)
        self.assertEqual(self.registry.request("GET", self.registry.registration)[0], 200)  # another method
        self.assertEqual(self.registry.resources()["devices"], {})  # the refused POST never reached it
        self.assertEqual(self.registry.request("GET", "/test/fault")[0], 200)  # control is never faulted
        self.registry.set_fault("none")
        self.assertEqual(self.registry.register("device", DOCS["device"][0])[0], 201)
        self.assertEqual([(r["status"], r["fault"]) for r in self.registry.requests(path=health)],
                         [(503, "status"), (503, "status"), (200, None)])
        self.assertError(self.registry.request("POST", "/test/fault", {"mode": "explode"}), 400)

        # As after a restart without persistence: nothing held, heartbeats answered 404.
        self.registry.forget()
        self.assertEqual(held_ids(self.registry.resources()), {t: set() for t in ORDER})
        self.assertError(self.registry.heartbeat(node_id), 404)

    def test_hang_close_and_delay(self):
        node = DOCS["node"][0]
        self.registry.set_fault("hang")
        with self.assertRaises(socket.timeout):
            self.registry.request("POST", self.registry.registration + "/resource", {"type": "node", "data": node}, timeout=1.0)
        self.registry.set_fault("close", count=1)
        with self.assertRaises(ConnectionError):
            self.registry.heartbeat(node["id"])
        self.assertEqual(self.registry.heartbeat(node["id"])[0], 404)  # only the next one was closed

        self.registry.set_fault("delay", seconds=0.5)
        start = time.monotonic()
        self.assertEqual(self.registry.register("node", node)[0], 201)
        self.assertGreaterEqual(time.monotonic() - start, 0.5)
        self.registry.set_fault("none")

        log = self.registry.requests(path="/x-nmos/")
        self.assertEqual([(r["fault"], r["status"]) for r in log],
                         [("hang", None), ("close", None), (None, 404), ("delay", 201)])
        self.assertEqual(json.loads(log[0]["body"])["data"], node)  # a hung request was read in full
        self.assertEqual(list(self.registry.resources()["nodes"]), [node["id"]])

        # A request left hanging does not hold up the end of the registry.
        self.registry.set_fault("hang")
        outcome = []
        worker = threading.Thread(target=lambda: outcome.append(self._request_error()))
        worker.start()
        self.assertTrue(nmos_node.wait_until(lambda: len(self.registry.requests(path="/x-nmos/")) == 5, LIMIT))
        start = time.monotonic()
        self.assertEqual(self.registry.stop(), 0)
        self.assertLess(time.monotonic() - start, LIMIT)
        worker.join(LIMIT)
        self.assertEqual(len(outcome), 1)
        self.assertIsInstance(outcome[0], (ConnectionError, socket.timeout))

    def _request_error(self):
        try:
            self.registry.heartbeat(DOCS["node"][0]["id"])
        except (OSError, ValueError) as e:
            return e
        return None


class Subscriptions(RegistryTestCase):
    """Query API websocket subscriptions as AMWA IS-04 defines them, and their faults."""

    def validator(self, name):
        schemas = Schemas(SCHEMAS or DEFAULT_SCHEMAS)
        if not schemas.active:
            self.skipTest(schemas.reason)
        return schemas.load(os.path.join(SCHEMAS or DEFAULT_SCHEMAS, "is-04", self.registry.newest), name)

    def subscribe(self, path="/senders", **extra):
        spec = dict({"max_update_rate_ms": 100, "resource_path": path, "params": {}, "persist": False,
                     "secure": False}, **extra)
        return self.registry.request("POST", self.registry.query + "/subscriptions", spec)

    def test_sync_grain_then_changes_then_the_socket_ends_the_subscription(self):
        import asyncio
        import aiohttp
        response_schema = self.validator("queryapi-subscription-response")
        grain_schema = self.validator("queryapi-subscriptions-websocket")
        self.register_all()
        status, _, body = self.subscribe()
        self.assertEqual(status, 201, body)
        sub = json.loads(body)
        response_schema.validate(sub)
        # The same request again is the same subscription; another path is another one.
        again = self.subscribe()
        self.assertEqual((again[0], json.loads(again[2])["id"]), (200, sub["id"]))
        self.assertEqual(self.subscribe("/receivers")[0], 201)
        self.assertEqual(self.subscribe("/widgets")[0], 400)
        sender = DOCS["sender"][0]
        renamed = dict(sender, label="renamed")

        async def session():
            async with aiohttp.ClientSession() as http:
                async with http.ws_connect(sub["ws_href"], protocols=("WS-protocol",)) as ws:
                    grains = [json.loads((await ws.receive(LIMIT)).data)]
                    # Changes made meanwhile come as grains with pre and post.
                    await asyncio.get_running_loop().run_in_executor(
                        None, lambda: (self.registry.register("sender", renamed),
                                       self.registry.unregister("sender", sender["id"])))
                    while sum(len(g["grain"]["data"]) for g in grains) < len(DOCS["sender"]) + 2:
                        grains.append(json.loads((await ws.receive(LIMIT)).data))
                    # A malformed grain goes out as it is.
                    self.assertEqual(await asyncio.get_running_loop().run_in_executor(
                        None, self.registry.send_raw, "{not json", "/senders"), 1)
                    self.assertEqual((await ws.receive(LIMIT)).data, "{not json")
                    self.assertEqual(self.registry.connected_paths(), ["/senders"])
                    await asyncio.get_running_loop().run_in_executor(None, self.registry.close_websockets)
                    closing = await ws.receive(LIMIT)
                    self.assertIn(closing.type, (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED))
                    return grains

        grains = asyncio.run(session())
        for grain in grains:
            grain_schema.validate(grain)
            self.assertEqual(grain["flow_id"], sub["id"])
            self.assertEqual(grain["grain"]["topic"], "/senders/")
        sync = grains[0]["grain"]["data"]
        self.assertEqual({i["path"] for i in sync}, {d["id"] for d in DOCS["sender"]})
        self.assertTrue(all(i["pre"] == i["post"] for i in sync))
        changes = [i for g in grains[1:] for i in g["grain"]["data"]]
        self.assertEqual(changes, [{"path": sender["id"], "pre": sender, "post": renamed},
                                   {"path": sender["id"], "pre": renamed}])
        # A non-persistent subscription ends with its last websocket.
        self.assertTrue(nmos_node.wait_until(
            lambda: sub["id"] not in [s["id"] for s in self.registry.subscriptions()], limit=LIMIT))

    def test_refused_and_incomplete_answers(self):
        self.registry.set_fault("status", status=503, path=self.registry.query + "/subscriptions", count=1)
        self.assertError(self.subscribe(), 503)
        self.registry.set_fault("omit", members=["id", "ws_href"], path=self.registry.query + "/subscriptions")
        status, _, body = self.subscribe()
        self.assertEqual(status, 201)
        self.assertFalse({"id", "ws_href"} & set(json.loads(body)))
        self.registry.set_fault("none")
        status, _, body = self.subscribe()
        self.assertEqual(status, 200)
        self.assertIn("ws_href", json.loads(body))


class OverTLS(unittest.TestCase):
    """With a certificate everything is served over TLS only: subscriptions must ask for secure
    websockets, get wss addresses, and the sync grain comes over wss; plain HTTP is refused."""

    def test_https_and_wss_only(self):
        import asyncio
        import aiohttp
        import ssl
        ca = TestCA()
        self.addCleanup(ca.cleanup)
        cert, key = ca.server("registry", kind="ecdsa")
        registry = RegistryProcess(schemas=SCHEMAS, tls=(cert, key, ca.file)).start()
        self.addCleanup(registry.stop)
        self.assertIn("api_proto=https", registry.txt())
        for rtype in ORDER:
            for doc in DOCS[rtype]:
                self.assertIn(registry.register(rtype, doc)[0], (200, 201))
        spec = {"max_update_rate_ms": 100, "resource_path": "/senders", "params": {}, "persist": False}
        self.assertEqual(registry.request("POST", registry.query + "/subscriptions",
                                          dict(spec, secure=False))[0], 400)
        status, _, body = registry.request("POST", registry.query + "/subscriptions", dict(spec, secure=True))
        self.assertEqual(status, 201, body)
        href = json.loads(body)["ws_href"]
        self.assertTrue(href.startswith(f"wss://{registry.address}/"), href)

        async def sync_grain():
            context = ssl.create_default_context(cafile=ca.file)
            async with aiohttp.ClientSession() as http:
                async with http.ws_connect(href, ssl=context) as ws:
                    return json.loads((await ws.receive(LIMIT)).data)

        grain = asyncio.run(sync_grain())
        self.assertEqual({i["path"] for i in grain["grain"]["data"]}, {d["id"] for d in DOCS["sender"]})
        # Plain HTTP on the same port gets no answer.
        with socket.create_connection((registry.host, registry.port), timeout=LIMIT) as plain:
            plain.sendall(b"GET /x-nmos/registration/ HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertNotIn(b"HTTP/1.1 200", plain.recv(4096))
        self.assertEqual(registry.stop(), 0)


if __name__ == "__main__":
    unittest.main()
