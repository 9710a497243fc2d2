"""The IS-05 Connection API of a running bridge, at v1.0 and v1.1: lists, each sender's and receiver's
constraints, staged and active parameters and transport type, staging and activating (immediate,
scheduled, cancelled, in bulk), the firmware messages activations cause, activations of streams the
receivers cannot take, the transport file, and URLs that go away with their sender. Every staged and
active document these tests reach is checked against AMWA's schemas of the version it was served at."""
import json
import os
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402
import test_schemas  # noqa: E402

VERSIONS = test_schemas.IS05_VERSIONS
BASE = "/x-nmos/connection/v1.0"
NULL_ACTIVATION = {"mode": None, "requested_time": None, "activation_time": None}


def schema_errors(name, document, version="v1.0"):
    """What AMWA's IS-05 schema `name` of that version finds wrong with document ([] without the schemas)."""
    return test_schemas.is05_errors(version, name, document)


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
        self.assertEqual(self.assertJSON("GET", "/x-nmos/connection", 200), ["v1.0/", "v1.1/"])
        for version in VERSIONS:
            base = f"/x-nmos/connection/{version}"
            self.assertEqual(self.assertJSON("GET", base + "/", 200), ["bulk/", "single/"])
            self.assertEqual(self.assertJSON("GET", base + "/bulk", 200), ["senders/", "receivers/"])
            self.assertEqual(self.assertJSON("GET", base + "/single/", 200), ["senders/", "receivers/"])
        self.assertRefused("GET", "/x-nmos/connection/v1.2/single", 404, None)

    def test_single_lists_hold_each_id_followed_by_a_slash(self):
        for kind, resources in (("senders", self.senders), ("receivers", self.receivers)):
            status, _, body = self.node.request("GET", f"{BASE}/single/{kind}")
            self.assertEqual(status, 200)
            expected = [r["id"] + "/" for r in resources]
            self.assertEqual(json.loads(body), expected)
            self.assertEqual(body.decode(), "[" + ", ".join(json.dumps(e) for e in expected) + "]")

    def test_lists_answer_only_get_and_bulk_urls_only_post(self):
        for path in (f"{BASE}/single/senders", BASE):
            self.assertRefused("POST", path, 405)
        for kind in ("senders", "receivers"):
            self.assertRefused("GET", f"{BASE}/bulk/{kind}", 405, None)
            for body in ("{broken", "{}", '[{"id": "x", "params": {}}]', '[{"params": {}}]'):
                self.assertRefused("POST", f"{BASE}/bulk/{kind}", 400, body)

    def test_each_sender_and_receiver_lists_its_endpoints_and_from_v1_1_its_transport_type(self):
        for version, more in (("v1.0", []), ("v1.1", ["transporttype/"])):
            base = f"/x-nmos/connection/{version}/single"
            for sender in self.senders:
                self.assertEqual(self.assertJSON("GET", f"{base}/senders/{sender['id']}", 200),
                                 ["constraints/", "staged/", "active/", "transportfile/"] + more)
            for receiver in self.receivers:
                self.assertEqual(self.assertJSON("GET", f"{base}/receivers/{receiver['id']}", 200),
                                 ["constraints/", "staged/", "active/"] + more)
        # Every sender and receiver is an RTP one, whatever the subclass IS-04 names, and is served at
        # both versions: none is only available at another one (409).
        for kind, resources in (("senders", self.senders), ("receivers", self.receivers)):
            for resource in resources:
                url = f"single/{kind}/{resource['id']}/transporttype"
                self.assertTrue(resource["transport"].startswith("urn:x-nmos:transport:rtp"))
                self.assertEqual(self.assertJSON("GET", f"/x-nmos/connection/v1.1/{url}", 200),
                                 "urn:x-nmos:transport:rtp")
                self.assertRefused("GET", f"/x-nmos/connection/v1.0/{url}", 404, None)
                self.assertRefused("PUT", f"/x-nmos/connection/v1.1/{url}", 405)

    def test_constraints_allow_only_what_the_firmware_lets_a_controller_change(self):
        # A sender's addresses, ports and state belong to the firmware: each is fixed to its value.
        constraints = self.assertJSON("GET", self.sender_url(0, "constraints"), 200)
        active = self.assertJSON("GET", self.sender_url(0, "active"), 200)
        self.assertEqual(len(constraints), 1)
        self.assertEqual(constraints[0], {k: {"enum": [v]} for k, v in active["transport_params"][0].items()})
        # A receiver takes any stream on the firmware's interface, with RTP always on.
        constraints = self.assertJSON("GET", self.receiver_url(0, "constraints"), 200)
        self.assertEqual(len(constraints), 1)
        self.assertEqual(constraints[0]["destination_port"], {"minimum": 1, "maximum": 65535})
        self.assertEqual(constraints[0]["interface_ip"], {"enum": ["127.0.0.1"]})
        self.assertEqual((constraints[0]["multicast_ip"], constraints[0]["rtp_enabled"]), ({}, {"enum": [True]}))

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

    def assertSchema(self, name, document):
        self.assertEqual(schema_errors(name, document), [], f"{name}: {document}")

    def test_staging_a_sender_changes_what_the_body_names_and_answers_with_the_whole(self):
        url = self.sender_url(2, "staged")
        before = self.assertJSON("GET", url, 200)
        port = before["transport_params"][0]["destination_port"]
        document = {"receiver_id": "5e7de700-0000-4000-8000-000000000001", "master_enable": False,
                    "activation": {"mode": None}, "transport_params": [{"destination_port": port}]}
        staged = self.assertJSON("PATCH", url, 200, document)
        self.assertSchema("v1.0-sender-response-schema.json", staged)
        self.assertEqual((staged["master_enable"], staged["receiver_id"]), (False, document["receiver_id"]))
        self.assertEqual(staged["activation"], NULL_ACTIVATION)
        # What the body does not name stays as it was.
        self.assertEqual(staged["transport_params"], before["transport_params"])
        self.assertEqual(self.assertJSON("GET", url, 200), staged)
        # PUT stages as PATCH does.
        self.assertEqual(self.assertJSON("PUT", url, 200, document), staged, "staging it again changes nothing")
        self.assertEqual(self.assertJSON("PATCH", url, 200, {"master_enable": True}), dict(staged, master_enable=True))

    def test_staging_what_is05_does_not_allow_is_refused_and_nothing_changes(self):
        url = self.sender_url(3, "staged")
        before = self.assertJSON("GET", url, 200)
        bodies = ["{broken", "[]", "5", '{"unknown": 1}', '{"master_enable": "yes"}', '{"receiver_id": "abc"}',
                  '{"activation": {"mode": "later"}}', '{"activation": {"requested_time": "1:0"}}',
                  '{"activation": {"mode": "activate_scheduled_relative", "requested_time": null}}',
                  '{"activation": {"mode": "activate_scheduled_absolute", "requested_time": "99999999999:0"}}',
                  '{"transport_params": [{}, {}]}', '{"transport_params": [{"destination_port": 70000}]}',
                  '{"transport_params": [{"source_ip": "10.0.0.300"}]}', '{"transport_params": [{"x": 1}]}',
                  '{"transport_params": [{"fec_enabled": true}]}',
                  '{"transport_params": [' + "{}," * 300000 + "{}]}", "[" * 20000 + "]" * 20000]
        for method in ("PATCH", "PUT"):
            for body in bodies:
                self.assertRefused(method, url, 400, body)
        self.assertEqual(self.assertJSON("GET", url, 200), before)

    def test_ext_parameters_are_a_v1_1_request_and_set_only_what_the_constraints_name(self):
        for kind, url in (("senders", self.sender_url(5, "staged")), ("receivers", self.receiver_url(5, "staged"))):
            before = self.assertJSON("GET", url, 200)
            body = {"transport_params": [{"ext_gain": 3}]}
            # v1.0 knows no such parameter; v1.1 does, but no parameter of this device has that name.
            error = self.assertJSON("PATCH", url, 400, body)
            self.assertIn('unknown transport parameter "ext_gain"', error["debug"])
            error = self.assertJSON("PATCH", url.replace("/v1.0/", "/v1.1/"), 400, body)
            self.assertIn('"ext_gain" cannot be set on this device', error["debug"])
            error = self.assertJSON("PATCH", url.replace("/v1.0/", "/v1.1/"), 400,
                                    {"transport_params": [{"ext_gain": [3]}]})
            self.assertIn('invalid value of transport parameter "ext_gain"', error["debug"])
            self.assertEqual(self.assertJSON("GET", url, 200), before, kind)
            # Neither version's constraints name one.
            for version in VERSIONS:
                constraints = self.assertJSON("GET", url.replace("/v1.0/", f"/{version}/").replace("staged",
                                                                                                "constraints"), 200)
                self.assertFalse([p for leg in constraints for p in leg if p.startswith("ext_")])

    def test_a_sender_activation_outside_its_constraints_is_refused_and_nothing_changes(self):
        url = self.sender_url(4)
        sender_path = f"/x-nmos/node/v1.2/senders/{self.senders[4]['id']}"
        before = [self.assertJSON("GET", f"{url}/{leaf}", 200) for leaf in ("staged", "active")]
        version = self.node.get_json(sender_path)["version"]
        port = before[1]["transport_params"][0]["destination_port"]
        now = {"activation": {"mode": "activate_immediate"}}
        for change in ({"transport_params": [{"destination_port": port + 1}]},
                       {"transport_params": [{"destination_ip": "192.0.2.1"}]},
                       {"master_enable": False}):
            self.assertRefused("PATCH", f"{url}/staged", 400, dict(change, **now))
        self.assertEqual([self.assertJSON("GET", f"{url}/{leaf}", 200) for leaf in ("staged", "active")], before)
        self.assertEqual(self.node.get_json(sender_path)["version"], version)
        # Within them, the activation names the receiver the sender sends to, in IS-05 and IS-04.
        receiver = "5e7de700-0000-4000-8000-000000000002"
        answer = self.assertJSON("PATCH", f"{url}/staged", 200,
                                 dict(now, receiver_id=receiver, transport_params=[{"destination_port": "auto"}]))
        self.assertSchema("v1.0-sender-response-schema.json", answer)
        self.assertEqual(answer["activation"]["mode"], "activate_immediate")
        active = self.assertJSON("GET", f"{url}/active", 200)
        self.assertSchema("v1.0-sender-response-schema.json", active)
        self.assertEqual((active["receiver_id"], active["activation"]), (receiver, answer["activation"]))
        self.assertEqual(active["transport_params"], before[1]["transport_params"])
        self.assertEqual(self.assertJSON("GET", f"{url}/staged", 200)["activation"], NULL_ACTIVATION)
        self.assertEqual(self.node.get_json(sender_path)["subscription"], {"receiver_id": receiver, "active": True})

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


class ReceiverActivations(unittest.TestCase):
    """Activations of receivers reach the firmware (message 10 with the stream's name) and show in IS-04,
    IS-05 and the registry's view alike; one of a stream the receiver cannot take changes nothing."""

    VERSION = "v1.0"

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=4).start()
        cls.senders = cls.node.get_json("/x-nmos/node/v1.2/senders")
        # In the firmware's order: receiver i is receive stream (slot) i.
        receivers = {r["id"]: r for r in cls.node.get_json("/x-nmos/node/v1.2/receivers")}
        cls.receivers = [receivers[s["id"]] for s in cls.node.sim_json("GET", "/scenario")["config"]["rx-streams"]]

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def setUp(self):
        self.node.sim_json("DELETE", "/received")

    def url(self, index, leaf):
        return f"/x-nmos/connection/{self.VERSION}/single/receivers/{self.receivers[index]['id']}/{leaf}"

    def patch(self, index, body, expected_status=200):
        status, _, payload = self.node.request("PATCH", self.url(index, "staged"), body)
        self.assertEqual(status, expected_status, payload)
        answer = json.loads(payload)
        if status < 300:
            self.assertEqual(schema_errors("receiver-response-schema.json", answer, self.VERSION), [], answer)
        else:
            self.assertEqual((answer["code"], type(answer["error"])), (status, str), answer)
        return answer

    def active(self, index):
        active = self.node.get_json(self.url(index, "active"))
        self.assertEqual(schema_errors("receiver-response-schema.json", active, self.VERSION), [], active)
        return active

    def subscriptions(self):
        return [m for m in self.node.sim_json("GET", "/received") if isinstance(m, dict) and m.get("cmd") == 10]

    def assertFollows(self, index, sender_id):
        """The firmware, IS-04 and IS-05 come to agree that the receiver follows sender_id."""
        path = f"/x-nmos/node/v1.2/receivers/{self.receivers[index]['id']}"
        expected = {"sender_id": sender_id, "active": sender_id is not None}
        self.assertTrue(nmos_node.wait_until(lambda: self.node.get_json(path)["subscription"] == expected, limit=10),
                        self.node.get_json(path))
        self.assertEqual(self.active(index)["sender_id"], sender_id)

    def test_an_immediate_activation_makes_the_firmware_follow_the_senders_stream(self):
        sender = self.senders[1]
        answer = self.patch(1, {"sender_id": sender["id"], "master_enable": True,
                                "transport_params": [{"interface_ip": "auto", "destination_port": "auto"}],
                                "activation": {"mode": "activate_immediate"}})
        self.assertEqual(answer["activation"]["mode"], "activate_immediate")
        self.assertIsNone(answer["activation"]["requested_time"])
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual((received[-1]["id"], received[-1]["data"]["source"], received[-1]["data"]["enabled"]),
                         (1, sender["label"], True))
        self.assertFollows(1, sender["id"])
        active = self.active(1)
        self.assertEqual(active["activation"], answer["activation"])
        self.assertNotIn("auto", active["transport_params"][0].values())
        self.assertEqual(self.node.get_json(self.url(1, "staged"))["activation"], NULL_ACTIVATION)
        # master_enable false stops reception: the firmware's stream is disabled and follows nothing.
        self.patch(1, {"master_enable": False, "activation": {"mode": "activate_immediate"}})
        self.assertTrue(nmos_node.wait_until(lambda: self.subscriptions()[-1]["data"]["enabled"] is False, limit=10))
        self.assertEqual(self.subscriptions()[-1]["data"]["source"], "")
        self.assertFollows(1, None)
        self.assertEqual(self.active(1)["master_enable"], False)

    def test_a_stream_is_named_by_the_staged_transport_file_when_the_sender_is_unknown(self):
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][2]
        status, _, sdp = self.node.sim_request("GET", f"/sdp/{stream['id']}.sdp")
        self.assertEqual(status, 200)
        foreign = "5e7de700-0000-4000-8000-0000000000b1"
        transport_file = {"data": sdp.decode(), "type": "application/sdp"}
        answer = self.patch(2, {"sender_id": foreign, "master_enable": True, "transport_file": transport_file,
                                "activation": {"mode": "activate_immediate"}})
        # The transport file's media port and group are staged and activated with it.
        leg = answer["transport_params"][0]
        multicast = int(stream["address"].split(".")[0]) in range(224, 240)
        self.assertEqual((leg["destination_port"], leg["multicast_ip"], leg["rtp_enabled"]),
                         (stream["port"], stream["address"] if multicast else None, True))
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual(received[-1]["data"]["source"], stream["name"])
        self.assertFollows(2, foreign)
        self.assertEqual(self.active(2)["transport_file"], transport_file)
        self.patch(3, {"transport_file": {"data": sdp.decode(), "type": None}}, 400)
        # Without a transport file an unknown sender cannot be followed: refused, nothing sent.
        self.patch(3, {"sender_id": "5e7de700-0000-4000-8000-0000000000b2", "master_enable": True,
                       "activation": {"mode": "activate_immediate"}}, 400)
        self.assertEqual(len(self.subscriptions()), 1)

    def test_a_scheduled_activation_fires_and_a_pending_one_can_be_cancelled(self):
        sender = self.senders[0]
        answer = self.patch(0, {"sender_id": sender["id"], "master_enable": True,
                                "activation": {"mode": "activate_scheduled_relative", "requested_time": "0:100000000"}},
                            202)
        self.assertEqual(answer["activation"]["mode"], "activate_scheduled_relative")
        due = answer["activation"]["activation_time"]
        self.assertFollows(0, sender["id"])
        active = self.active(0)["activation"]
        self.assertEqual((active["mode"], active["requested_time"]), ("activate_scheduled_relative", "0:100000000"))
        seconds = lambda t: tuple(int(p) for p in t.split(":"))  # noqa: E731
        self.assertGreaterEqual(seconds(active["activation_time"]), seconds(due), "it never fires early")
        self.assertEqual(self.node.get_json(self.url(0, "staged"))["activation"], NULL_ACTIVATION)
        count = len(self.subscriptions())

        # One far ahead is pending: it locks the staged parameters until it is cancelled.
        absolute = str(seconds(due)[0] + 3600) + ":0"
        answer = self.patch(0, {"master_enable": False,
                                "activation": {"mode": "activate_scheduled_absolute", "requested_time": absolute}},
                            202)
        self.assertEqual(answer["activation"]["activation_time"], absolute)
        self.assertEqual(self.node.get_json(self.url(0, "staged")), answer)
        self.patch(0, {"sender_id": None}, 423)
        self.patch(0, {"activation": {"mode": "activate_immediate"}}, 423)
        staged = self.patch(0, {"activation": {"mode": None}})
        self.assertEqual((staged["activation"], staged["master_enable"]), (NULL_ACTIVATION, False))
        self.assertEqual(self.active(0)["master_enable"], True, "nothing was activated")
        self.assertEqual(len(self.subscriptions()), count)
        self.patch(0, {"master_enable": True})  # no longer locked

    def test_an_activation_of_a_stream_the_receiver_cannot_take_is_refused_and_changes_nothing(self):
        receiver_path = f"/x-nmos/node/v1.2/receivers/{self.receivers[3]['id']}"

        def documents():
            return (self.node.get_json(receiver_path), self.node.get_json(self.url(3, "staged")),
                    self.active(3))

        before = documents()
        caps = before[0]["caps"]
        self.assertEqual(caps["constraint_sets"][0]["urn:x-nmos:cap:format:sample_rate"],
                         {"enum": [{"numerator": 48000}]})
        now = {"activation": {"mode": "activate_immediate"}}
        later = {"activation": {"mode": "activate_scheduled_relative", "requested_time": "0:100000000"}}
        for rtpmap in ("L24/44100/2", "L32/48000/2", "AM824/48000/8"):
            sdp = probe_sdp("excluded", "239.69.201.9").replace("L24/48000/2", rtpmap)
            for activation in (now, later):
                error = self.patch(3, dict(activation, sender_id=None, master_enable=True,
                                           transport_file={"data": sdp, "type": "application/sdp"}), 400)
                self.assertIn(rtpmap.split("/")[0], error["debug"])
        self.assertEqual(documents(), before)
        self.assertEqual(self.subscriptions(), [], "no firmware command")
        # The same stream as the receivers take it is taken; v1.1 wants a transport file's type with it.
        taken = {"data": probe_sdp("taken", "239.69.201.9"), "type": "application/sdp"}
        self.patch(3, {"transport_file": {"data": taken["data"]}}, 200 if self.VERSION == "v1.0" else 400)
        self.patch(3, dict(now, sender_id=None, master_enable=True, transport_file=taken))
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual((received[-1]["id"], received[-1]["data"]["source"]), (3, "taken"))

    def test_bulk_staging_of_two_receivers_answers_per_receiver(self):
        unknown = "5e7de700-0000-4000-8000-0000000000c1"
        body = [{"id": self.receivers[2]["id"], "params": {"sender_id": self.senders[3]["id"]}},
                {"id": self.receivers[3]["id"], "params": {"master_enable": False, "sender_id": None}},
                {"id": unknown, "params": {}},
                {"id": self.receivers[3]["id"], "params": {"transport_params": [{"interface_ip": "192.0.2.7"}]}}]
        status, _, payload = self.node.request("POST", f"/x-nmos/connection/{self.VERSION}/bulk/receivers", body)
        self.assertEqual(status, 200, payload)
        results = json.loads(payload)
        self.assertEqual(schema_errors("bulk-response-schema.json", results, self.VERSION), [], results)
        self.assertEqual([(r["id"], r["code"]) for r in results],
                         [(self.receivers[2]["id"], 200), (self.receivers[3]["id"], 200), (unknown, 404),
                          (self.receivers[3]["id"], 400)])
        staged = [self.node.get_json(self.url(i, "staged")) for i in (2, 3)]
        self.assertEqual(staged[0]["sender_id"], self.senders[3]["id"])
        self.assertEqual((staged[1]["master_enable"], staged[1]["sender_id"]), (False, None))
        self.assertEqual(staged[1]["transport_params"][0]["interface_ip"], "127.0.0.1")
        self.assertEqual(self.subscriptions(), [], "staging activates nothing")


class ReceiverActivationsV11(ReceiverActivations):
    """The same at v1.1: one stored document per receiver, staged and activated by either version."""

    VERSION = "v1.1"


class TargetOfAStreamItCannotTake(unittest.TestCase):
    """A sender of this node whose flow the receivers' capabilities exclude is refused at the IS-04 target
    and in IS-05 activations, and nothing is sent to the firmware."""

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=2).start()
        scenario = cls.node.sim_json("GET", "/scenario")
        for document in ("config", "state"):
            scenario[document]["tx-streams"][1]["codec"] = "L32"
            cls.node.sim_json("PUT", f"/scenario/{document}", scenario[document])
        cls.stream = scenario["config"]["tx-streams"][1]

        def flows():
            return [f for f in cls.node.get_json("/x-nmos/node/v1.2/flows") if f["media_type"] == "audio/L32"]

        assert nmos_node.wait_until(flows, limit=30), "the flow never became L32"
        senders = {s["flow_id"]: s for s in cls.node.get_json("/x-nmos/node/v1.2/senders")}
        cls.excluded = senders[flows()[0]["id"]]
        cls.taken = next(s for s in senders.values() if s["id"] != cls.excluded["id"])
        cls.receivers = [s["id"] for s in scenario["config"]["rx-streams"]]

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def setUp(self):
        self.node.sim_json("DELETE", "/received")

    def subscriptions(self):
        return [m for m in self.node.sim_json("GET", "/received") if isinstance(m, dict) and m.get("cmd") == 10]

    def test_the_target_and_activations_refuse_it_and_take_another(self):
        target = f"/x-nmos/node/v1.2/receivers/{self.receivers[0]}/target"
        before = self.node.get_json(f"/x-nmos/node/v1.2/receivers/{self.receivers[0]}")
        status, _, payload = self.node.request("PUT", target, self.excluded)
        self.assertEqual(status, 400, payload)
        error = json.loads(payload)
        self.assertEqual(error["code"], 400)
        self.assertIn("audio/L32", error["debug"])
        for version in VERSIONS:
            url = f"/x-nmos/connection/{version}/single/receivers/{self.receivers[1]}/staged"
            status, _, payload = self.node.request("PATCH", url, {
                "sender_id": self.excluded["id"], "master_enable": True, "activation": {"mode": "activate_immediate"}})
            self.assertEqual(status, 400, payload)
            self.assertIn("audio/L32", json.loads(payload)["debug"])
        self.assertEqual(self.subscriptions(), [])
        self.assertEqual(self.node.get_json(f"/x-nmos/node/v1.2/receivers/{self.receivers[0]}"), before)
        status, _, payload = self.node.request("PUT", target, self.taken)
        self.assertEqual(status, 202, payload)
        self.assertTrue(nmos_node.wait_until(self.subscriptions, limit=10))

    def test_a_foreign_senders_transport_file_is_checked_before_the_firmware_follows_it(self):
        # Senders of another node, known by their transport files only: one of the L32 stream, one of L24.
        def foreign(n, sender):
            return dict(sender, id=f"5e7de700-0000-4000-8000-0000000000d{n}", flow_id=f"5e7de700-0000-4000-8000-0000000000e{n}")

        target = f"/x-nmos/node/v1.2/receivers/{self.receivers[1]}/target"
        status, _, payload = self.node.request("PUT", target, foreign(1, self.excluded))
        self.assertEqual(status, 202, payload)
        time.sleep(1)  # the transport file is fetched and refused meanwhile
        self.assertEqual(self.subscriptions(), [])
        status, _, payload = self.node.request("PUT", target, foreign(2, self.taken))
        self.assertEqual(status, 202, payload)
        received = nmos_node.wait_until(self.subscriptions, limit=10)
        self.assertEqual([m["id"] for m in received], [1])


def probe_sdp(name, group):
    """A controller's transport file for a stream whose session name is `name`."""
    return "\r\n".join(["v=0", "o=- 1 1 IN IP4 192.0.2.10", f"s={name}", f"c=IN IP4 {group}/32", "t=0 0",
                         "m=audio 5004 RTP/AVP 96", "a=rtpmap:96 L24/48000/2", ""])


class ActivationBursts(unittest.TestCase):
    """Every activation the node answers with success reaches the firmware, or is superseded there by
    a later one for the same receiver; one that cannot reach it is refused and changes nothing. After
    a burst IS-05 active, IS-04 subscription and the firmware agree on the last one."""

    # Bursts and waits take longer under the sanitizers and emulation.
    LIMIT = 120 if os.environ.get("QEL_SANITIZED") or os.environ.get("QEL_TARGET_RUNNER") else 30

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=4).start()
        cls.receivers = [s["id"] for s in cls.node.sim_json("GET", "/scenario")["config"]["rx-streams"]]

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def setUp(self):
        self.node.sim_json("DELETE", "/received")

    @staticmethod
    def sender_of(name):
        """A sender of another node, unknown to this one, whose stream is `name`."""
        return "5e7de700-0000-4000-8000-%012x" % (zlib.crc32(name.encode()))

    def element(self, slot, name, index):
        return {"id": self.receivers[slot],
                "params": {"sender_id": self.sender_of(name), "master_enable": True,
                           "activation": {"mode": "activate_immediate"},
                           "transport_file": {"data": probe_sdp(name, f"239.69.200.{index % 250 + 1}"),
                                              "type": "application/sdp"}}}

    def bulk(self, body):
        status, _, payload = self.node.request("POST", f"{BASE}/bulk/receivers", body, timeout=self.LIMIT)
        self.assertEqual(status, 200, payload[:500])
        results = json.loads(payload)
        self.assertEqual(len(results), len(body))
        return results

    def firmware_commands(self, slot):
        return [m["data"] for m in self.node.sim_json("GET", "/received")
                if isinstance(m, dict) and m.get("cmd") == 10 and m.get("id") == slot]

    def assertAgree(self, slot, name):
        """The firmware follows `name` on the slot, the last command it got for the slot named it, and the
        receiver's IS-05 active parameters and IS-04 subscription say the same."""
        receiver = self.receivers[slot]
        sender = self.sender_of(name)

        def firmware_follows():
            stream = self.node.sim_json("GET", "/scenario")["config"]["rx-streams"][slot]
            return (stream["source"], stream["enabled"]) == (name, True)

        def node_follows():
            document = self.node.get_json(f"/x-nmos/node/v1.2/receivers/{receiver}")
            return document["subscription"] == {"sender_id": sender, "active": True}

        self.assertTrue(nmos_node.wait_until(firmware_follows, limit=self.LIMIT),
                        self.node.sim_json("GET", "/scenario")["config"]["rx-streams"][slot])
        commands = self.firmware_commands(slot)
        self.assertEqual((commands[-1]["source"], commands[-1]["enabled"]), (name, True))
        self.assertTrue(nmos_node.wait_until(node_follows, limit=self.LIMIT),
                        self.node.get_json(f"/x-nmos/node/v1.2/receivers/{receiver}"))
        active = self.node.get_json(f"{BASE}/single/receivers/{receiver}/active")
        self.assertEqual((active["sender_id"], active["master_enable"]), (sender, True))
        self.assertIn(f"s={name}\r\n", active["transport_file"]["data"])
        self.assertEqual(schema_errors("v1.0-receiver-response-schema.json", active), [], active)
        return commands

    def test_1500_activations_of_one_receiver_all_reach_the_firmware_or_are_superseded(self):
        names = [f"probe-{i}" for i in range(1500)]
        results = self.bulk([self.element(1, name, i) for i, name in enumerate(names)])
        self.assertEqual([r for r in results if r["code"] != 200], [])
        commands = self.assertAgree(1, names[-1])
        # A command waiting to be sent gives way to the next one: whatever the firmware got came in order.
        positions = [names.index(c["source"]) for c in commands]
        self.assertEqual(positions, sorted(set(positions)))

    def test_three_receivers_with_500_activations_each_end_on_their_last(self):
        body = [self.element(slot, f"probe-{slot}-{i}", i) for i in range(500) for slot in (0, 2, 3)]
        results = self.bulk(body)
        self.assertEqual([r for r in results if r["code"] != 200], [])
        for slot in (0, 2, 3):
            self.assertAgree(slot, f"probe-{slot}-499")

    def test_an_activation_the_firmware_cannot_take_is_refused_and_changes_nothing(self):
        # While the firmware is away no command can reach it.
        slot, receiver = 2, self.receivers[2]
        path = f"/x-nmos/node/v1.2/receivers/{receiver}"
        url = f"{BASE}/single/receivers/{receiver}"
        self.bulk([self.element(slot, "before", 0)])
        self.assertAgree(slot, "before")

        def documents():
            return (self.node.get_json(path), self.node.get_json(f"{url}/active"),
                    self.node.get_json(f"{url}/staged"))

        before = documents()
        self.node.sim.stop()
        try:
            element = self.element(slot, "while-away", 1)

            def refused():
                # Until the node has seen the connection end, its activations are still taken.
                nonlocal before
                before = documents()
                status, _, payload = self.node.request("PATCH", f"{url}/staged", element["params"])
                return (status, json.loads(payload)) if status != 200 else None

            status, error = nmos_node.wait_until(refused, limit=self.LIMIT) or (200, None)
            self.assertEqual(status, 503, error)
            self.assertEqual(error["code"], 503)
            self.assertIsInstance(error["error"], str)
            self.assertIn("debug", error)
            results = self.bulk([element, self.element(slot, "while-away-2", 2)])
            self.assertEqual([r["code"] for r in results], [503, 503])
            self.assertTrue(all(isinstance(r["error"], str) and r["error"] for r in results), results)
            self.assertEqual(documents(), before)
        finally:
            self.node.start_sim(self.node.sim_port)
        # The simulator starts afresh; once the node follows it again, activations reach it again.
        self.assertTrue(nmos_node.wait_until(
            lambda: self.bulk([self.element(slot, "after", 3)])[0]["code"] == 200, limit=self.LIMIT))
        self.assertAgree(slot, "after")


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
