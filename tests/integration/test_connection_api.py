"""The IS-05 Connection API of a running bridge: lists, bulk views, each sender's and receiver's
constraints, staged and active parameters, staging a sender, the transport file, and URLs that go
away with their sender."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

BASE = "/x-nmos/connection/v1.0"


class ConnectionAPI(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode().start()
        cls.senders = cls.node.get_json("/x-nmos/node/v1.2/senders")
        cls.receivers = cls.node.get_json("/x-nmos/node/v1.2/receivers")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def sender_url(self, index=0, leaf=""):
        return f"{BASE}/single/senders/{self.senders[index]['id']}" + (f"/{leaf}" if leaf else "")

    def receiver_url(self, index=0, leaf=""):
        return f"{BASE}/single/receivers/{self.receivers[index]['id']}" + (f"/{leaf}" if leaf else "")

    def assertJSON(self, method, path, expected_status, body=None):
        status, headers, payload = self.node.request(method, path, body)
        self.assertEqual(status, expected_status, f"{method} {path}: {payload!r}")
        self.assertEqual(headers.get("content-type"), "application/json")
        self.assertEqual(headers.get("access-control-allow-origin"), "*")
        return json.loads(payload)

    def assertRefused(self, method, path, expected_status, body="{}"):
        """A refusal carries the APIs' error document."""
        error = self.assertJSON(method, path, expected_status, body)
        self.assertEqual(error["code"], expected_status)
        self.assertIsInstance(error["error"], str)
        self.assertIn("debug", error)

    def test_the_api_tree_lists_bulk_and_single(self):
        self.assertEqual(self.assertJSON("GET", "/x-nmos/connection", 200), ["v1.0/"])
        self.assertEqual(self.assertJSON("GET", BASE + "/", 200), ["bulk/", "single/"])
        self.assertEqual(self.assertJSON("GET", BASE + "/bulk", 200), ["senders/", "receivers/"])
        self.assertEqual(self.assertJSON("GET", BASE + "/single/", 200), ["senders/", "receivers/"])

    def test_single_lists_hold_each_id_followed_by_a_slash(self):
        for kind, resources in (("senders", self.senders), ("receivers", self.receivers)):
            status, _, body = self.node.request("GET", f"{BASE}/single/{kind}")
            self.assertEqual(status, 200)
            expected = [r["id"] + "/" for r in resources]
            self.assertEqual(json.loads(body), expected)
            self.assertEqual(body.decode(), "[" + ", ".join(json.dumps(e) for e in expected) + "]")

    def test_lists_answer_only_get_and_bulk_urls_are_not_read(self):
        for path in (f"{BASE}/single/senders", f"{BASE}/bulk/receivers", BASE):
            self.assertRefused("POST", path, 405)
        for kind in ("senders", "receivers"):
            self.assertRefused("GET", f"{BASE}/bulk/{kind}", 405, None)

    def test_a_sender_lists_its_endpoints(self):
        expected = ["constraints/", "staged/", "active/", "transportfile/"]
        self.assertEqual(self.assertJSON("GET", self.sender_url(), 200), expected)

    def test_a_receiver_lists_its_endpoints(self):
        self.assertEqual(self.assertJSON("GET", self.receiver_url(), 200), ["constraints/", "staged/", "active/"])

    def test_constraints_have_one_leg_with_ports_from_1_to_65535(self):
        for url in (self.sender_url(0, "constraints"), self.receiver_url(0, "constraints")):
            constraints = self.assertJSON("GET", url, 200)
            self.assertEqual(len(constraints), 1)
            self.assertEqual(constraints[0]["destination_port"], {"minimum": 1, "maximum": 65535})

    def test_active_parameters_are_an_immediate_activation(self):
        sender = self.assertJSON("GET", self.sender_url(0, "active"), 200)
        self.assertEqual(sender["master_enable"], True)
        self.assertEqual(sender["activation"],
                         {"mode": "activate_immediate", "requested_time": None, "activation_time": None})
        receiver = self.assertJSON("GET", self.receiver_url(0, "active"), 200)
        self.assertEqual(receiver["activation"]["mode"], "activate_immediate")
        # No transport file was handed over: data and type are both null, as IS-05 requires.
        self.assertEqual(receiver["transport_file"], {"data": None, "type": None})

    def test_constraints_and_active_parameters_cannot_be_written(self):
        for url in (self.sender_url(0, "constraints"), self.sender_url(0, "active"),
                    self.receiver_url(0, "constraints"), self.receiver_url(0, "active")):
            for method in ("PUT", "POST", "PATCH", "DELETE"):
                self.assertRefused(method, url, 405)

    def test_a_sender_has_staged_its_active_parameters_before_anything_is_put(self):
        active = self.assertJSON("GET", self.sender_url(1, "active"), 200)
        staged = self.assertJSON("GET", self.sender_url(1, "staged"), 200)
        self.assertEqual(staged, {"receiver_id": active["receiver_id"], "master_enable": active["master_enable"],
                                  "activation": {"mode": None, "requested_time": None, "activation_time": None},
                                  "transport_params": active["transport_params"]})

    def test_staging_a_sender_changes_what_the_body_names_and_answers_with_the_whole(self):
        url = self.sender_url(2, "staged")
        before = self.assertJSON("GET", url, 200)
        document = {"master_enable": False, "activation": {"mode": None},
                    "transport_params": [{"destination_port": 5006}]}
        staged = self.assertJSON("PUT", url, 200, document)
        self.assertEqual(staged["master_enable"], False)
        self.assertIsNone(staged["activation"]["mode"])
        self.assertEqual(staged["transport_params"][0]["destination_port"], 5006)
        # What the body does not name stays as it was.
        self.assertEqual(staged["receiver_id"], before["receiver_id"])
        self.assertEqual(staged["transport_params"][0]["destination_ip"],
                         before["transport_params"][0]["destination_ip"])
        self.assertEqual(self.assertJSON("GET", url, 200), staged)
        self.assertEqual(self.assertJSON("PUT", url, 200, document), staged, "staging it again changes nothing")
        self.assertEqual(self.assertJSON("PUT", url, 200, {"master_enable": True}), dict(staged, master_enable=True))

    def test_staging_what_is05_does_not_allow_is_refused_and_nothing_changes(self):
        url = self.sender_url(3, "staged")
        before = self.assertJSON("GET", url, 200)
        bodies = ["{broken", "[]", "5", '{"unknown": 1}', '{"master_enable": "yes"}', '{"receiver_id": "abc"}',
                  '{"activation": {"mode": "later"}}', '{"activation": {"requested_time": "1:0"}}',
                  '{"transport_params": [{}, {}]}', '{"transport_params": [{"destination_port": 70000}]}',
                  '{"transport_params": [{"source_ip": "10.0.0.300"}]}', '{"transport_params": [{"x": 1}]}',
                  '{"transport_params": [' + "{}," * 300000 + "{}]}", "[" * 20000 + "]" * 20000]
        for body in bodies:
            self.assertRefused("PUT", url, 400, body)
        self.assertEqual(self.assertJSON("GET", url, 200), before)

    def test_a_senders_staged_parameters_are_locked_against_patch_and_serve_no_other_method(self):
        self.assertRefused("PATCH", self.sender_url(0, "staged"), 423)
        for method in ("POST", "DELETE"):
            self.assertRefused(method, self.sender_url(0, "staged"), 405)

    def test_a_receiver_stages_an_immediate_activation_of_no_sender_and_takes_nothing(self):
        staged = self.assertJSON("GET", self.receiver_url(0, "staged"), 200)
        self.assertEqual(staged["activation"]["mode"], "activate_immediate")
        self.assertEqual(staged["sender_id"], None)
        self.assertEqual(staged["master_enable"], True)
        self.assertEqual(list(staged), sorted(staged), "members in alphabetical order")
        self.assertRefused("PATCH", self.receiver_url(0, "staged"), 423)
        for method in ("PUT", "POST"):
            self.assertRefused(method, self.receiver_url(0, "staged"), 405)

    def test_the_transport_file_redirects_to_the_sdp_of_the_firmware_service(self):
        status, headers, body = self.node.request("GET", self.sender_url(0, "transportfile"))
        self.assertEqual((status, body), (307, b""))
        self.assertEqual(headers.get("location"), self.senders[0]["manifest_href"])
        self.assertEqual(headers.get("access-control-allow-origin"), "*")
        path = "/" + headers["location"].split("/", 3)[3]
        status, sdp_headers, sdp = self.node.sim_request("GET", path)
        self.assertEqual(status, 200)
        self.assertEqual(sdp_headers.get("content-type"), "application/sdp")
        self.assertTrue(sdp.startswith(b"v=0"), sdp[:40])

    def test_the_transport_file_answers_only_get(self):
        self.assertRefused("PUT", self.sender_url(0, "transportfile"), 405)

    def test_receivers_have_no_transport_file_url(self):
        status, _, _ = self.node.request("GET", self.receiver_url(0, "transportfile"))
        self.assertEqual(status, 404)


class RemovedSender(unittest.TestCase):
    """A stream the firmware drops takes its sender's URLs with it."""

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=3).start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def test_the_urls_of_a_removed_sender_answer_404(self):
        scenario = self.node.sim_json("GET", "/scenario")
        removed = scenario["config"]["tx-streams"][-1]["id"]
        urls = [f"/x-nmos/node/v1.2/senders/{removed}"] + [
            f"{BASE}/single/senders/{removed}{leaf}" for leaf in ("", "/constraints", "/staged", "/active",
                                                                   "/transportfile")]
        for url in urls:
            self.assertNotEqual(self.node.request("GET", url)[0], 404, url)
        for document in ("config", "state"):
            doc = scenario[document]
            doc["tx-streams"] = [s for s in doc["tx-streams"] if s["id"] != removed]
            self.node.sim_json("PUT", f"/scenario/{document}", doc)

        def gone():
            return all(self.node.request("GET", url)[0] == 404 for url in urls)

        self.assertTrue(nmos_node.wait_until(gone, limit=30), "the removed sender's URLs still answer")

        # The documents go once the registration has ended (at once at a registry, within its
        # deadline without one).
        def unlisted():
            ids = [s["id"] for s in self.node.get_json("/x-nmos/node/v1.2/senders")]
            return removed not in ids and removed + "/" not in self.node.get_json(f"{BASE}/single/senders")

        self.assertTrue(nmos_node.wait_until(unlisted, limit=30), "the removed sender is still listed")


if __name__ == "__main__":
    unittest.main()
