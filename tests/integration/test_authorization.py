"""The node as IS-10 resource server: with the Connection API protected, a PATCH to a receiver's staged
parameters is refused without a token (401), with a token that does not permit it (403) or one signed
by a stranger (401), and nothing is staged; with the right token it is staged. The authorization server
is a stand-in on loopback serving its metadata and key set; once it stops, the keys the node holds keep
working. The node tells that its Connection API needs authorization."""
import json
import os
import socket
import sys
import time
import unittest

from cryptography.hazmat.primitives.asymmetric import rsa

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402
from auth_standin import StandIn  # noqa: E402

CONNECTION = "/x-nmos/connection/v1.1"


class ProtectedConnectionAPI(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.auth = StandIn()
        try:
            cls.node = nmos_node.RunningNode(streams=2, args=["/auth", "connection",
                                                                     "/auth-server", cls.auth.issuer]).start()
        except BaseException:
            cls.auth.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()
        cls.auth.stop()

    def call(self, method, path, token=None, body=None):
        headers = {"Authorization": "Bearer " + token} if token else {}
        if body is not None:
            headers["Content-Type"] = "application/json"
        status, head, payload = self.node.request(method, path, body, headers)
        return status, head, payload

    def test_a_patch_needs_the_right_token_and_cached_keys_outlive_the_server(self):
        self.assertTrue(nmos_node.wait_until(lambda: "/jwks" in self.auth.requests),
                        "the node never fetched the key set")
        receiver = self.node.get_json("/x-nmos/node/v1.2/receivers")[0]["id"]
        url = f"{CONNECTION}/single/receivers/{receiver}/staged"
        reader = self.auth.token(write=())
        status, _, payload = self.call("GET", url, reader)
        self.assertEqual(status, 200, payload)
        before = json.loads(payload)
        change = {"master_enable": not before["master_enable"]}
        # An audience by wild card, as controllers on a link with multicast DNS send it.
        self.assertEqual(self.call("GET", url, self.auth.token(write=(), aud=["https://*.local"]))[0], 200)

        stranger = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        refusals = [
            (None, 401), ("not-a-token", 401),
            (self.auth.token(key=stranger, kid="k1"), 401),
            (self.auth.token(exp=int(time.time()) - 60), 401),
            (self.auth.token(aud=["elsewhere.test"]), 403),
            (self.auth.token(iss="http://127.0.0.1:1"), 401),
            (reader, 403),
            (self.auth.token(write=("single/senders/*",)), 403),
        ]
        for token, expected in refusals:
            status, head, payload = self.call("PATCH", url, token, change)
            self.assertEqual(status, expected, (token, payload))
            challenge = head.get("www-authenticate", "")
            self.assertTrue(challenge.startswith("Bearer "), head)
            if token is not None:
                error = "invalid_token" if expected == 401 else "insufficient_scope"
                self.assertIn("error=" + error, challenge.split(","), head)
            self.assertEqual(json.loads(payload)["code"], expected)
        self.assertEqual(json.loads(self.call("GET", url, reader)[2]), before, "a refused request staged")
        # A reader that cannot set headers may put the token into the query; a writer may not.
        self.assertEqual(self.call("GET", url + "?access_token=" + reader)[0], 200)
        self.assertEqual(self.call("PATCH", url + "?access_token=" + self.auth.token(), body=change)[0], 401)
        # Reads need a token too, but the API roots stay open.
        self.assertEqual(self.call("GET", url)[0], 401)
        self.assertEqual(self.call("GET", "/x-nmos")[0], 200)
        status, head, _ = self.call("OPTIONS", url)
        self.assertEqual(status, 200)
        self.assertIn("Authorization", head["access-control-allow-headers"], "a browser could send no token")

        status, _, payload = self.call("PATCH", url, self.auth.token(), change)
        self.assertEqual(status, 200, payload)
        self.assertEqual(json.loads(payload)["master_enable"], change["master_enable"])

        # The stand-in stops: the keys held go on verifying new tokens.
        self.auth.stop()
        change = {"master_enable": before["master_enable"]}
        status, _, payload = self.call("PATCH", url, self.auth.token(sub="second"), change)
        self.assertEqual(status, 200, payload)
        self.assertEqual(json.loads(payload)["master_enable"], before["master_enable"])

        self.node.bridge_log.flush()
        self.node.bridge_log.seek(0)
        log = self.node.bridge_log.read()
        self.assertIn("Auth audit: refused PATCH " + url, log)
        self.assertIn("Auth audit: allowed PATCH " + url, log)
        self.assertNotIn(reader, log, "a token reached the log")
        self.assertNotIn("runtime error", log)
        self.assertNotIn("Sanitizer", log)

    def test_the_transport_file_is_served_not_redirected(self):
        sender = self.node.get_json("/x-nmos/node/v1.2/senders")[0]
        # The sender sends clients to the node's own transport file, not to the firmware's open copy.
        path = f"/x-nmos/connection/v1.1/single/senders/{sender['id']}/transportfile"
        self.assertTrue(sender["manifest_href"].endswith(":%d%s" % (self.node.port, path)), sender)
        url = path
        self.assertEqual(self.call("GET", url)[0], 401)
        reader = self.auth.token(write=())
        answer = nmos_node.wait_until(lambda: (lambda r: r if r[0] == 200 else None)(self.call("GET", url, reader)))
        self.assertIsNotNone(answer, "the transport file was never served")
        status, head, payload = answer
        self.assertEqual(head["content-type"], "application/sdp")
        self.assertTrue(payload.startswith(b"v=0"), payload[:40])
        self.assertNotIn("location", head)
        # The node's PTP clock still learns the grandmaster the transport files name.
        refclk = [line for line in payload.decode().splitlines() if line.startswith("a=ts-refclk:ptp=")][0]
        gmid = refclk.split(":")[2].lower()
        self.assertTrue(nmos_node.wait_until(lambda: any(
            c.get("gmid") == gmid for c in self.node.get_json("/x-nmos/node/v1.3/self")["clocks"]), limit=15),
            self.node.get_json("/x-nmos/node/v1.3/self")["clocks"])

    def test_the_node_tells_which_api_needs_authorization(self):
        device = self.node.get_json("/x-nmos/node/v1.3/devices")[0]
        self.assertTrue(device["controls"])
        self.assertTrue(all(c["authorization"] for c in device["controls"]), device["controls"])
        older = self.node.get_json("/x-nmos/node/v1.2/devices")[0]["controls"]
        self.assertTrue(all(c.get("authorization") is True for c in older), older)
        node = self.node.get_json("/x-nmos/node/v1.3/self")
        self.assertFalse(any(e["authorization"] for e in node["api"]["endpoints"]))


class UnreachableAuthorizationServer(unittest.TestCase):
    """An authorization server that never answers (it takes connections into its listen queue and says
    nothing): the node holds no keys, so it refuses every request to the protected API at once (503 with
    Retry-After), never accepts one, and goes on serving the open ones."""

    @classmethod
    def setUpClass(cls):
        cls.silent = socket.socket()
        cls.silent.bind(("127.0.0.1", 0))
        cls.silent.listen(16)
        issuer = f"http://127.0.0.1:{cls.silent.getsockname()[1]}"
        cls.auth = StandIn()  # signs tokens only; the node never hears of it
        try:
            cls.node = nmos_node.RunningNode(streams=1, args=["/auth", "connection",
                                                                     "/auth-server", issuer]).start()
        except BaseException:
            cls.auth.stop()
            cls.silent.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()
        cls.auth.stop()
        cls.silent.close()

    def test_requests_are_refused_without_keys_and_the_loop_goes_on(self):
        receiver = self.node.get_json("/x-nmos/node/v1.2/receivers")[0]["id"]
        url = f"{CONNECTION}/single/receivers/{receiver}/staged"
        for token in (None, self.auth.token(iss=self.auth.issuer)):
            headers = {"Authorization": "Bearer " + token} if token else {}
            # Answered while the fetch of the metadata hangs (a blocked loop would time the client out).
            status, head, _ = self.node.request("PATCH", url, {"master_enable": True}, headers, timeout=30)
            self.assertIn(status, (401, 503))
            self.assertTrue(head.get("www-authenticate", "").startswith("Bearer "))
        self.assertEqual(status, 503)
        self.assertIn("retry-after", head)
        self.assertEqual(self.node.request("GET", "/x-nmos/node/v1.2/self")[0], 200)


if __name__ == "__main__":
    unittest.main()
