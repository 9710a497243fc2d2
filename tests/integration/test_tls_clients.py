"""The node's clients over TLS: a node with a certificate reaches every registry and Query API over https
and wss only, checking the peer's certificate against the CA it is given (/tls-ca) and the peer's name.
It registers, heartbeats and follows its Query API subscriptions there; a registry whose certificate
another CA signed, or that names another host, never gets a request: the node says why, once, and uses
another registry. Certificates are made for the run (tests/integration/tls_certs.py), everything stays on
loopback."""
import json
import os
import re
import ssl
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402
from tls_certs import TestCA  # noqa: E402

HEALTH = "/x-nmos/registration/v1.3/health/nodes/"
# Guards against hanging, not timing checks.
LIMIT = 240.0 if testlib.TARGET_RUNNER else 60.0
STREAMS = 2


class TLSClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ca = TestCA("QEL Test CA")
        cls.rogue = TestCA("Another CA", folder=cls.ca.folder)
        cls.node_cert = cls.ca.server("node")

    @classmethod
    def tearDownClass(cls):
        cls.ca.cleanup()

    def registry(self, ca, label, kind="rsa", port=0, **names):
        cert, key = ca.server(label, kind=kind, **names)
        registry = RegistryProcess(versions=("v1.3",), listen=f"127.0.0.1:{port}",
                                   tls=(cert, key, ca.file)).start()
        self.addCleanup(registry.stop)
        return registry

    def start_node(self, registries):
        cert, key = self.node_cert
        node = nmos_node.RunningNode(streams=STREAMS, registries=[r.address for r in registries],
                                     args=["/tls-cert", cert, "/tls-key", key, "/tls-ca", self.ca.file],
                                     tls=ssl.create_default_context(cafile=self.ca.file))
        node.start()
        self.addCleanup(node.stop)
        return node

    def node_log(self, node):
        node.bridge_log.flush()
        node.bridge_log.seek(0)
        return node.bridge_log.read()

    def holds_everything(self, registry):
        held = registry.resources()
        return (len(held["nodes"]) == 1 and len(held["devices"]) == 1 and len(held["senders"]) == STREAMS
                and len(held["receivers"]) == STREAMS)

    def test_registers_heartbeats_and_follows_its_subscriptions_over_https_and_wss(self):
        registry = self.registry(self.ca, "registry", kind="ecdsa")
        node = self.start_node([registry])
        self.assertTrue(nmos_node.wait_until(lambda: self.holds_everything(registry), limit=LIMIT),
                        self.node_log(node))
        beats = nmos_node.wait_until(lambda: len(registry.requests(path=HEALTH)) >= 2 and
                                     registry.requests(path=HEALTH), limit=LIMIT)
        self.assertTrue(beats and all(b["status"] == 200 for b in beats), beats)
        # Both subscriptions asked for secure websockets and hold one open (wss: the registry serves
        # nothing else).
        subscribed = nmos_node.wait_until(lambda: registry.connected_paths() == ["/receivers", "/senders"],
                                          limit=LIMIT)
        self.assertTrue(subscribed, (registry.subscriptions(), self.node_log(node)))
        subs = registry.subscriptions()
        self.assertTrue(all(s["ws_href"].startswith("wss://") for s in subs), subs)
        posts = registry.requests(path="/x-nmos/query/v1.3/subscriptions", method="POST")
        self.assertTrue(posts and all(json.loads(p["body"])["secure"] is True for p in posts), posts)
        # Grains on those websockets are read: the names they tell are learnt.
        self.assertTrue(registry.send_bulk(25)["sent"] >= 1)

        def learnt():
            try:
                status, _, body = node.request("GET", "/stats", timeout=30)
                return status == 200 and json.loads(body)["HostedServices"]["NMOSQuery"]["LearntNames"] >= 25
            except (OSError, ValueError, KeyError):
                return False
        self.assertTrue(nmos_node.wait_until(learnt, limit=LIMIT), self.node_log(node))
        self.assertNotIn("TLS connection failed", self.node_log(node))
        # A websocket whose server another CA vouches for, or whose certificate names another host, is
        # never opened: the handshake ends before any request, and the node keeps subscribing afresh.
        for ca, names in ((self.rogue, {}), (self.ca, {"ips": ["127.0.0.2"], "dns": ["registry.invalid"]})):
            impostor = self.registry(ca, "ws-impostor", **names)
            registry.set_fault("rewrite", values={
                "ws_href": f"wss://{impostor.address}/x-nmos/query/v1.3/subscriptions/x/ws"})
            since = registry.last_seq()
            registry.close_websockets()
            again = nmos_node.wait_until(lambda: len(registry.requests(
                since=since, path="/x-nmos/query/v1.3/subscriptions", method="POST")) >= 4, limit=LIMIT)
            self.assertTrue(again, self.node_log(node))
            self.assertEqual(impostor.requests(path="/x-nmos/"), [])
            self.assertEqual(registry.connected_paths(), [])
            registry.set_fault("none")
            self.assertTrue(nmos_node.wait_until(
                lambda: registry.connected_paths() == ["/receivers", "/senders"], limit=LIMIT),
                self.node_log(node))

    def test_a_registry_it_cannot_trust_is_never_used_and_the_node_fails_over(self):
        good = [self.registry(self.ca, f"good{i}") for i in range(2)]
        # Signed by the node's CA, but for another host than the one the node connects to.
        elsewhere = self.registry(self.ca, "elsewhere", ips=["127.0.0.2"], dns=["registry.invalid"])
        node = self.start_node(good + [elsewhere])
        self.assertTrue(nmos_node.wait_until(lambda: any(self.holds_everything(r) for r in good), limit=LIMIT))
        active = next(r for r in good if self.holds_everything(r))
        other = good[1 - good.index(active)]
        other.forget()
        # The registry in use is replaced, just after a heartbeat, by one at the same address whose
        # certificate another CA signed: the next heartbeat meets it.
        beats = len(active.requests(path=HEALTH))
        self.assertTrue(nmos_node.wait_until(lambda: len(active.requests(path=HEALTH)) > beats, limit=LIMIT))
        port = active.port
        active.stop()
        impostor = self.registry(self.rogue, "impostor", port=port)
        self.assertTrue(nmos_node.wait_until(lambda: self.holds_everything(other), limit=LIMIT),
                        self.node_log(node))
        time.sleep(3)  # the one naming another host is asked every second meanwhile
        # Neither ever got a request: the node stopped at the handshake.
        self.assertEqual(elsewhere.requests(path="/x-nmos/"), [])
        self.assertEqual(impostor.requests(path="/x-nmos/"), [])
        # Each is named once, with what was wrong with its certificate.
        log = self.node_log(node)
        for registry, reason in ((elsewhere, r"(?i)subject name|host ?name|does not match"),
                                 (impostor, r"(?i)certificate|issuer")):
            # Once by the registration client and once by the query client, which found it as well.
            lines = [line for line in log.splitlines()
                     if "TLS connection failed" in line and f"//{registry.address}/" in line]
            clients = sorted(re.search(r"(NMOS\w+):", line).group(1) for line in lines)
            if registry is elsewhere:
                self.assertEqual(clients, ["NMOSQuery", "NMOSReg"], log)
            else:  # the query client meets it only if it subscribes there again meanwhile
                self.assertIn(clients, (["NMOSReg"], ["NMOSQuery", "NMOSReg"]), log)
            for line in lines:
                self.assertRegex(line, reason)


if __name__ == "__main__":
    unittest.main()
