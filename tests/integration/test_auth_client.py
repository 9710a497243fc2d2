"""The node as IS-10 client of the registry it uses: with tokens required (the node protects its
Connection API, /auth connection), it registers itself once at the authorization server stand-in,
keeps the credentials in its file (0600, in a folder made 0700), gets a token by the client-credentials
grant and sends it on every registration request, heartbeat, subscription and websocket upgrade of the
mock registry, which answers 401 without a good one. After the stand-in rotates its key one 401 leads to one new token; while
the registry refuses every token the node neither storms it nor the stand-in. A restarted node reuses
the stored credentials."""
import json
import os
import stat
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from auth_standin import StandIn  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

REGISTRATION = "/x-nmos/registration/v1.3"
QUERY = "/x-nmos/query/v1.3"
HEALTH = REGISTRATION + "/health/nodes/"
# Guards against hanging, not timing checks (sanitizers and emulation are slow).
LIMIT = 60 * (3 if os.environ.get("QEL_TARGET_RUNNER") else 1)


class NodeAsClient(unittest.TestCase):
    def setUp(self):
        self.auth = StandIn(token_lifetime=600)
        self.addCleanup(self.auth.stop)
        self.registry = RegistryProcess(versions=("v1.3",), auth_jwks=self.auth.issuer + "/jwks").start()
        self.addCleanup(self.registry.stop)
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.credentials = os.path.join(self.folder.name, "state", "auth-client.json")
        self.node = nmos_node.RunningNode(
            streams=2, registries=[self.registry.address],
            args=["/auth", "connection", "/auth-server", self.auth.issuer, "/auth-credentials", self.credentials])
        self.node.start()
        self.addCleanup(self.node.stop)

    def heartbeat_taken(self, since):
        return any(r["status"] == 200 for r in self.registry.requests(since=since, path=HEALTH))

    def node_id(self):
        return self.node.get_json("/x-nmos/node/v1.3/self")["id"]

    def registered(self):
        held = self.registry.resources()
        return len(held["senders"]) == 2 and len(held["receivers"]) == 2 and self.node_id() in held["nodes"]

    def test_registers_once_and_uses_tokens_renewed_once_after_a_refusal(self):
        self.assertTrue(nmos_node.wait_until(self.registered, LIMIT), "the node never registered")
        self.assertTrue(nmos_node.wait_until(lambda: self.heartbeat_taken(0), LIMIT), "no heartbeat taken")

        # One client registration, as RFC 7591 asks for a client of the client-credentials grant.
        self.assertEqual(len(self.auth.registrations), 1, self.auth.registrations)
        asked = self.auth.registrations[0]
        self.assertEqual(asked["grant_types"], ["client_credentials"])
        self.assertEqual(sorted(asked["scope"].split()), ["query", "registration"])
        self.assertEqual(asked["token_endpoint_auth_method"], "client_secret_basic")
        # The credentials are kept for that issuer, readable by the node's user only.
        self.assertEqual(stat.S_IMODE(os.stat(self.credentials).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(self.credentials)).st_mode), 0o700)
        with open(self.credentials) as f:
            kept = json.load(f)
        self.assertEqual([(c["issuer"], c["client_id"] in self.auth.clients) for c in kept],
                         [(self.auth.issuer, True)])
        self.assertEqual(os.listdir(os.path.dirname(self.credentials)), ["auth-client.json"], "a temp file left")
        grants = [t for t in self.auth.token_requests if t["client_id"]]
        self.assertTrue(grants, self.auth.token_requests)
        self.assertEqual(grants[0]["form"]["grant_type"], "client_credentials")
        self.assertEqual(grants[0]["content_type"], "application/x-www-form-urlencoded")

        # No request below a version's root went without a token, and every one was taken.
        ours = [r for r in self.registry.requests() if r["path"].startswith((REGISTRATION + "/", QUERY + "/"))]
        self.assertTrue(ours)
        for r in ours:
            self.assertTrue(r["headers"].get("authorization", "").startswith("Bearer "), r)
            self.assertNotEqual(r["status"], 401, r)
        # The query client subscribed with it too, the websocket's upgrade included.
        self.assertTrue(nmos_node.wait_until(lambda: self.registry.connected_paths(), LIMIT), "never subscribed")
        upgrades = [r for r in self.registry.requests(path=QUERY + "/subscriptions/") if r["status"] == 101]
        self.assertTrue(upgrades and all(u["headers"]["authorization"].startswith("Bearer ") for u in upgrades))

        # The stand-in rotates its key: the registry refuses the node's token; one new token mends it.
        tokens_before = len(self.auth.token_requests)
        mark = self.registry.last_seq()
        self.auth.rotate()
        self.assertTrue(nmos_node.wait_until(lambda: self.heartbeat_taken(mark), LIMIT),
                        "no heartbeat taken after the key's rotation")
        time.sleep(1)
        refused = [r for r in self.registry.requests(since=mark) if r["status"] == 401]
        self.assertGreaterEqual(len(refused), 1)
        self.assertLessEqual(len(self.auth.token_requests) - tokens_before, 1, "more than one new token")
        self.assertTrue(nmos_node.wait_until(self.registered, LIMIT))

        # The registry refuses every token: the node asks for a new one now and then, never in a loop.
        tokens_before = len(self.auth.token_requests)
        mark = self.registry.last_seq()
        self.registry.refuse_tokens(True)
        time.sleep(8)
        self.registry.refuse_tokens(False)
        storm = self.registry.requests(since=mark, path="/x-nmos/")
        self.assertLessEqual(len(storm), 40, [(r["method"], r["path"], r["status"]) for r in storm])
        self.assertLessEqual(len(self.auth.token_requests) - tokens_before, 3, self.auth.token_requests)
        # Then it comes back by itself.
        mark = self.registry.last_seq()
        self.assertTrue(nmos_node.wait_until(lambda: self.heartbeat_taken(mark), LIMIT),
                        "no heartbeat taken once tokens were accepted again")
        self.assertTrue(nmos_node.wait_until(self.registered, LIMIT))

        # A restarted node reuses its registration.
        self.node.bridge.stop()
        self.node.bridge_log.seek(0)
        log = self.node.bridge_log.read()
        self.node.bridge_log.close()
        mark = self.registry.last_seq()
        tokens_before = len(self.auth.token_requests)
        self.node.start_bridge()
        self.assertTrue(nmos_node.wait_until(lambda: self.heartbeat_taken(mark), LIMIT), "the restarted node")
        self.assertEqual(len(self.auth.registrations), 1, "registered again at the restart")
        self.assertGreater(len(self.auth.token_requests), tokens_before)

        self.node.bridge_log.flush()
        self.node.bridge_log.seek(0)
        log += self.node.bridge_log.read()
        secret = self.auth.clients[kept[0]["client_id"]]
        self.assertNotIn(secret, log, "the client secret reached the log")
        self.assertNotIn("runtime error", log)
        self.assertNotIn("Sanitizer", log)

    def test_a_corrupt_credentials_file_means_one_line_and_a_new_registration(self):
        self.assertTrue(nmos_node.wait_until(self.registered, LIMIT), "the node never registered")
        self.node.bridge.stop()
        self.node.bridge_log.close()
        with open(self.credentials, "w") as f:
            f.write('{"issuer": ')
        mark = self.registry.last_seq()
        self.node.start_bridge()
        self.assertTrue(nmos_node.wait_until(lambda: self.heartbeat_taken(mark), LIMIT), "the restarted node")
        self.assertEqual(len(self.auth.registrations), 2)
        with open(self.credentials) as f:
            self.assertEqual(len(json.load(f)), 1)
        self.assertEqual(stat.S_IMODE(os.stat(self.credentials).st_mode), 0o600)
        self.node.bridge_log.flush()
        self.node.bridge_log.seek(0)
        self.assertEqual(self.node.bridge_log.read().count("registering again"), 1)


if __name__ == "__main__":
    unittest.main()
