"""The IS-04 Node API of a running bridge: the API tree, the node, lists and single resources under
v1.0 and v1.2, statistics, unknown and bad URLs, and the receiver target."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

NOT_FOUND_BODY = b'{"code" : 404, "error" : "resource no found", "debug" : ""}'
COLLECTIONS = ("devices", "senders", "receivers", "flows", "sources")
NODE_API_LIST = ["self/", "devices/", "senders/", "receivers/", "flows/", "sources/"]


def nmos_list_body(elements):
    """A list as the node writes it: each element with an indent of 2, joined by ", "."""
    return "[" + ", ".join(json.dumps(e, indent=2, ensure_ascii=False) for e in elements) + "]"


class NodeAPI(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode().start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def assertServes(self, path, expected, method="GET"):
        status, headers, body = self.node.request(method, path)
        self.assertEqual(status, 200, path)
        self.assertEqual(headers.get("content-type"), "application/json", path)
        self.assertEqual(json.loads(body), expected, path)

    def assertNotFound(self, path, method="GET", body=None):
        status, headers, payload = self.node.request(method, path, body)
        self.assertEqual(status, 404, f"{method} {path}")
        self.assertEqual(payload, NOT_FOUND_BODY)
        self.assertEqual(headers.get("access-control-allow-origin"), "*")
        self.assertEqual(headers.get("access-control-allow-methods"),
                         "GET, PUT, POST, PATCH, HEAD, OPTIONS, DELETE")

    def assertError(self, method, path, expected_status, body=None):
        """A refusal carries the APIs' error document and the CORS headers."""
        status, headers, payload = self.node.request(method, path, body)
        self.assertEqual(status, expected_status, f"{method} {path}")
        self.assertEqual(headers.get("content-type"), "application/json")
        self.assertEqual(headers.get("access-control-allow-origin"), "*")
        error = json.loads(payload)
        self.assertEqual((error["code"], sorted(error)), (expected_status, ["code", "debug", "error"]))
        return error

    def some(self, collection):
        return self.node.get_json(f"/x-nmos/node/v1.2/{collection}")[0]

    def test_root_lists_the_api_and_the_statistics(self):
        status, _, body = self.node.request("GET", "/")
        self.assertEqual((status, body), (200, b'["x-nmos", "stats", "status"]'))

    def test_static_lists_of_the_api_tree_answer_with_and_without_trailing_slash(self):
        tree = {
            "/x-nmos": ["node/", "connection/"],
            "/x-nmos/node": ["v1.0/", "v1.2/", "v1.3/"],
            "/x-nmos/node/v1.0": NODE_API_LIST,
            "/x-nmos/node/v1.2": NODE_API_LIST,
        }
        for path, expected in tree.items():
            self.assertServes(path, expected)
            self.assertServes(path + "/", expected)

    def test_static_lists_answer_get_and_head_and_refuse_other_methods(self):
        self.assertError("POST", "/x-nmos", 405, "{}")
        self.assertError("DELETE", "/x-nmos/node", 405)
        status, headers, body = self.node.request("HEAD", "/x-nmos/node")
        self.assertEqual((status, body, headers.get("content-length")), (200, b"", str(len('["v1.0/", "v1.2/", "v1.3/"]'))))

    def test_a_browser_preflight_is_answered_on_every_route(self):
        for path in ("/x-nmos/node/v1.2/self", f"/x-nmos/node/v1.2/senders/{self.some('senders')['id']}", "/"):
            status, headers, body = self.node.request(
                "OPTIONS", path, headers={"Origin": "http://controller", "Access-Control-Request-Method": "PATCH"})
            self.assertEqual((status, body), (200, b""), path)
            self.assertIn("PATCH", headers.get("access-control-allow-methods"))
            self.assertEqual(headers.get("access-control-allow-origin"), "*")

    def test_self_is_the_node_under_every_version(self):
        node = self.node.get_json("/x-nmos/node/v1.2/self")
        self.assertEqual(node["resource_type"], "node")
        self.assertEqual(node["api"]["versions"], ["v1.0", "v1.2", "v1.3"])
        self.assertServes("/x-nmos/node/v1.0/self", node)
        self.assertServes("/x-nmos/node/v1.2/self/", node)
        # v1.3 adds what v1.2 does not define, and only that.
        newest = self.node.get_json("/x-nmos/node/v1.3/self")
        self.assertEqual(newest["api"]["endpoints"][0].pop("authorization"), False)
        self.assertEqual(newest["services"][0].pop("authorization"), False)
        self.assertEqual(newest, node)

    def test_node_and_device_carry_asset_tags_and_streams_group_hints(self):
        asset = "urn:x-nmos:tag:asset:"
        node = self.node.get_json("/x-nmos/node/v1.3/self")
        device = self.node.get_json("/x-nmos/node/v1.3/devices")[0]
        for doc, names in ((node, ("manufacturer", "product", "instance-id")),
                           (device, ("manufacturer", "product", "instance-id", "function"))):
            tags = {k[len(asset):-len("/v1.0")]: v for k, v in doc["tags"].items() if k.startswith(asset)}
            self.assertEqual(sorted(tags), sorted(names), doc["resource_type"])
            self.assertTrue(all(len(v) == 1 and v[0] for v in tags.values()), tags)
        self.assertEqual(node["tags"][asset + "instance-id/v1.0"], [node["id"]])
        for collection, group in (("senders", "AES67 TX"), ("receivers", "AES67 RX")):
            hints = [r["tags"]["urn:x-nmos:tag:grouphint/v1.0"] for r in self.node.get_json(f"/x-nmos/node/v1.0/{collection}")]
            roles = [h[0].split(":") for h in hints]
            self.assertTrue(all(len(h) == 1 and r[0] == group and len(r) == 2 for h, r in zip(hints, roles)), hints)
            self.assertEqual(len({r[1] for r in roles}), len(roles), "roles are unique in their group")

    def test_self_answers_only_get(self):
        for method in ("POST", "PUT", "DELETE", "PATCH"):
            self.assertError(method, "/x-nmos/node/v1.2/self", 405, body="{}")
        self.assertError("BREW", "/x-nmos/node/v1.2/self", 501)

    def test_lists_hold_each_resource_printed_with_an_indent_of_two(self):
        for version in ("v1.0", "v1.2", "v1.3"):
            for collection in COLLECTIONS:
                status, _, body = self.node.request("GET", f"/x-nmos/node/{version}/{collection}")
                self.assertEqual(status, 200)
                elements = json.loads(body)
                self.assertTrue(elements, collection)
                self.assertEqual(body.decode(), nmos_list_body(elements), collection)
                ids = [e["id"] for e in elements]
                self.assertEqual(ids, sorted(ids), "lists are in id order")
                self.assertTrue(all(e["resource_type"] == collection[:-1] for e in elements))

    def test_lists_show_every_stream_of_the_firmware(self):
        for collection in ("senders", "receivers", "sources", "flows"):
            self.assertEqual(len(self.node.get_json(f"/x-nmos/node/v1.2/{collection}")), self.node.streams)
        self.assertEqual(len(self.node.get_json("/x-nmos/node/v1.2/devices")), 1)

    def test_devices_sources_and_flows_answer_under_v1_0_and_v1_2(self):
        for collection in ("devices", "sources", "flows"):
            resource = self.some(collection)
            for version in ("v1.0", "v1.2"):
                self.assertServes(f"/x-nmos/node/{version}/{collection}/{resource['id']}", resource)
                self.assertServes(f"/x-nmos/node/{version}/{collection}/{resource['id']}/", resource)

    def test_every_resource_a_list_names_answers_under_both_versions(self):
        for version in ("v1.0", "v1.2", "v1.3"):
            for collection in COLLECTIONS:
                for resource in self.node.get_json(f"/x-nmos/node/{version}/{collection}"):
                    self.assertServes(f"/x-nmos/node/{version}/{collection}/{resource['id']}", resource)

    def test_unknown_resources_and_paths_answer_404_with_cors_headers(self):
        self.assertNotFound("/x-nmos/node/v1.2/senders/00000000-0000-4000-8000-000000000000")
        self.assertNotFound("/nothing/here")
        self.assertNotFound("/x-nmos/node/v1.1")
        self.assertNotFound("/X-NMOS")

    def test_a_url_with_dot_dot_is_a_bad_request(self):
        # Dot segments are not collapsed before the check: a route behind them is never reached.
        for path in ("/x-nmos/node/v1.2/self..", "/x-nmos/node/../node/v1.2/self", "/x-nmos/node/%2E%2E/node",
                     "/x-nmos/./node/v1.2/devices/.."):
            self.assertError("GET", path, 400)
        self.assertError("PUT", "/x-nmos..", 400, body="{}")

    def test_stats_report_the_servers_counters_fresh_on_every_request(self):
        first = self.node.get_json("/stats")
        second = self.node.get_json("/stats/")
        self.assertIsInstance(first, dict)
        server = second["HostedServices"]["NMOSNODEHTTPServer"]
        before = first["HostedServices"]["NMOSNODEHTTPServer"]
        self.assertGreater(server["MsgsReceived"], before["MsgsReceived"])
        self.assertIn("Uptime", second)
        self.assertIn("FWClient", second["HostedServices"])


class ReceiverTarget(unittest.TestCase):
    """PUT of a sender document to a receiver's target asks the firmware to follow that sender."""

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode().start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def setUp(self):
        self.node.sim_json("DELETE", "/received")
        self.receiver = self.node.get_json("/x-nmos/node/v1.2/receivers")[0]
        self.target = f"/x-nmos/node/v1.2/receivers/{self.receiver['id']}/target"

    def subscriptions(self):
        return [m for m in self.node.sim_json("GET", "/received") if isinstance(m, dict) and m.get("cmd") == 10]

    def test_get_of_a_target_is_not_served(self):
        status, _, _ = self.node.request("GET", self.target)
        self.assertEqual(status, 405)

    def test_a_body_that_is_not_json_is_a_bad_request(self):
        for body in ("{not json", "[" * 100000 + "]" * 100000):
            status, _, payload = self.node.request("PUT", self.target, body=body)
            self.assertEqual((status, json.loads(payload)["code"]), (400, 400))

    def test_a_body_that_is_no_sender_document_is_a_bad_request(self):
        sender = self.node.get_json("/x-nmos/node/v1.2/senders")[0]
        for body in ([1, 2], {"id": sender["id"]}, dict(sender, id="not-a-uuid"), {"label": 5}):
            status, _, payload = self.node.request("PUT", self.target, body=body)
            self.assertEqual((status, json.loads(payload)["code"]), (400, 400), body)
        self.assertEqual(self.subscriptions(), [])

    def test_a_sender_of_this_node_is_followed_and_the_receiver_reports_it(self):
        sender = self.node.get_json("/x-nmos/node/v1.2/senders")[1]
        # The Node API v1.0 serves the same target as v1.2.
        target = self.target.replace("/v1.2/", "/v1.0/")
        status, _, body = self.node.request("PUT", target, body=sender)
        self.assertEqual((status, json.loads(body)), (202, sender))
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual(received[-1]["data"]["source"], sender["label"])
        path = f"/x-nmos/node/v1.2/receivers/{self.receiver['id']}"
        followed = nmos_node.wait_until(
            lambda: self.node.get_json(path)["subscription"] == {"sender_id": sender["id"], "active": True}, limit=10)
        self.assertTrue(followed, self.node.get_json(path))
        active = self.node.get_json(f"/x-nmos/connection/v1.0/single/receivers/{self.receiver['id']}/active")
        self.assertEqual((active["sender_id"], active["master_enable"]), (sender["id"], True))

    def test_a_sender_without_a_usable_name_is_accepted_and_nothing_is_sent(self):
        own = self.node.get_json("/x-nmos/node/v1.2/senders")[0]
        for manifest in ("", "ftp://127.0.0.1/x.sdp", f"http://127.0.0.1:{self.node.sim_port}/sdp/missing.sdp"):
            sender = dict(own, id="5e7de700-0000-4000-8000-00000000ffff", manifest_href=manifest)
            status, headers, body = self.node.request("PUT", self.target, body=sender)
            self.assertEqual((status, headers.get("content-type"), json.loads(body)), (202, "application/json", sender))
        # A later disconnection is the first thing the firmware hears.
        self.assertEqual(self.node.request("PUT", self.target, body={})[0], 202)
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual(len(received), 1, received)
        self.assertEqual(received[0]["data"].get("source", ""), "")

    def test_senders_of_another_node_are_followed_by_the_session_name_of_their_transport_file(self):
        # Two foreign senders whose transport files share one session name, on two receivers: each
        # receiver reports the sender it was connected to.
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][2]
        receivers = self.node.get_json("/x-nmos/node/v1.2/receivers")[:2]
        senders = [dict(self.node.get_json("/x-nmos/node/v1.2/senders")[0], id=f"5e7de700-0000-4000-8000-0000000000a{i}",
                        label="far away", manifest_href=f"http://127.0.0.1:{self.node.sim_port}/sdp/{stream['id']}.sdp")
                   for i in range(2)]
        for receiver, sender in zip(receivers, senders):
            target = f"/x-nmos/node/v1.2/receivers/{receiver['id']}/target"
            self.assertEqual(self.node.request("PUT", target, body=sender)[0], 202)
            received = nmos_node.wait_until(lambda: len(self.subscriptions()) >= 1 + senders.index(sender), limit=10)
            self.assertTrue(received)
        self.assertEqual([m["data"]["source"] for m in self.subscriptions()], [stream["name"]] * 2)
        # A third sender of that name on the first receiver: the firmware already follows the name and
        # reports nothing new, the receiver still reports its new sender.
        senders.append(dict(senders[0], id="5e7de700-0000-4000-8000-0000000000a2"))
        receivers.append(receivers[0])
        target = f"/x-nmos/node/v1.2/receivers/{receivers[0]['id']}/target"
        self.assertEqual(self.node.request("PUT", target, body=senders[2])[0], 202)
        for receiver, sender in list(zip(receivers, senders))[1:]:
            path = f"/x-nmos/node/v1.2/receivers/{receiver['id']}"
            self.assertTrue(nmos_node.wait_until(
                lambda: self.node.get_json(path)["subscription"] == {"sender_id": sender["id"], "active": True},
                limit=10), self.node.get_json(path))

    def test_an_empty_document_disconnects_the_receivers_firmware_stream(self):
        status, headers, body = self.node.request("PUT", self.target, body={})
        self.assertEqual((status, headers.get("content-type"), json.loads(body)), (202, "application/json", {}))
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertTrue(received, "the firmware got no message 10")
        slots = [i for i, r in enumerate(self.node.sim_json("GET", "/scenario")["config"]["rx-streams"])
                 if r["id"] == self.receiver["id"]]
        self.assertEqual(received[-1]["id"], slots[0])

    def test_a_receiver_unknown_to_the_firmware_has_no_target(self):
        status, _, _ = self.node.request("PUT", "/x-nmos/node/v1.2/receivers/"
                                         "00000000-0000-4000-8000-000000000000/target", body={})
        self.assertEqual(status, 404)


if __name__ == "__main__":
    unittest.main()
