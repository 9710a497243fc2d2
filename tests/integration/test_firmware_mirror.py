"""The bridge mirrors the firmware: one node named after the device, one device, a source, flow and
sender per enabled transmit stream, a receiver per receive stream; document changes, removals and a
firmware restart reach the node."""
import json
import os
import sys
import threading
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402
import test_schemas  # noqa: E402
import testlib  # noqa: E402

NODE = "/x-nmos/node/v1.2"
CONNECTION = "/x-nmos/connection/v1.0/single"
NO_GRANDMASTER = "00-00-00-00-00-00-00-00"
MCAST = "urn:x-nmos:transport:rtp.mcast"
UCAST = "urn:x-nmos:transport:rtp.ucast"


def by_id(documents):
    return {d["id"]: d for d in documents}


def is_multicast(address):
    first = int(address.split(".")[0]) if address else 0
    return 224 <= first <= 239


class MirroredNode(unittest.TestCase):
    """The node built from the simulator's built-in scenario."""

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode().start()
        scenario = cls.node.sim_json("GET", "/scenario")
        cls.config, cls.state = scenario["config"], scenario["state"]

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def test_node_is_named_after_the_device_and_has_one_device(self):
        node = self.node.get_json(f"{NODE}/self")
        self.assertEqual(node["id"], self.config["node_id"])
        self.assertEqual(node["label"], self.state["name"])
        self.assertEqual(node["hostname"], self.state["name"])
        self.assertEqual(node["interfaces"][0]["port_id"], self.state["mac"].lower().replace(":", "-"))
        self.assertEqual([c["name"] for c in node["clocks"]], ["clk0", "clk1"])
        devices = self.node.get_json(f"{NODE}/devices")
        self.assertEqual(len(devices), 1)
        device = devices[0]
        self.assertEqual(device["id"], self.config["device_id"])
        self.assertEqual(device["node_id"], node["id"])
        # One control per Connection API version, at the node's own address.
        port = self.node.port
        self.assertEqual(device["controls"], [
            {"type": f"urn:x-nmos:control:sr-ctrl/{v}", "href": f"http://127.0.0.1:{port}/x-nmos/connection/{v}/"}
            for v in ("v1.0", "v1.1")])
        # The device lists its senders and receivers.
        for kind in ("senders", "receivers"):
            self.assertEqual(device[kind], sorted(r["id"] for r in self.node.get_json(f"{NODE}/{kind}")))

    def test_advertised_urls_lead_to_this_node_never_to_a_loopback_firmware_port(self):
        # The node runs with "/if lo" (127.0.0.1) and the firmware service on a loopback address.
        node = self.node.get_json(f"{NODE}/self")
        own = {"host": "127.0.0.1", "port": self.node.port, "protocol": "http"}
        self.assertEqual(node["api"]["endpoints"], [own])
        self.assertEqual(node["href"], f"http://127.0.0.1:{self.node.port}/")
        for sender in self.node.get_json(f"{NODE}/senders"):
            self.assertTrue(sender["manifest_href"].startswith(f"http://127.0.0.1:{self.node.sim_port}/sdp/"))

    def test_documents_carry_what_the_node_knows(self):
        interface = self.node.get_json(f"{NODE}/self")["interfaces"][0]["name"]
        for kind in ("senders", "receivers"):
            for resource in self.node.get_json(f"{NODE}/{kind}"):
                self.assertEqual(resource["interface_bindings"], [interface], resource["id"])
        # Streams are timed by PTP while the device is a PTP slave: sources name the PTP clock.
        self.assertEqual(self.state["syncState"][0], "Slave")
        self.assertTrue(all(s["clock_name"] == "clk1" for s in self.node.get_json(f"{NODE}/sources")))
        # The PTP clock names the grandmaster that the senders' transport files name.
        sdp = self.node.sim_request("GET", f"/sdp/{self.config['tx-streams'][0]['id']}.sdp")[2].decode()
        refclk = [line for line in sdp.splitlines() if line.startswith("a=ts-refclk:ptp=")][0]
        gmid = refclk.split(":")[2].lower()
        self.assertTrue(nmos_node.wait_until(
            lambda: self.node.get_json(f"{NODE}/self")["clocks"][1]["gmid"] == gmid, limit=10),
            self.node.get_json(f"{NODE}/self")["clocks"])
        # Active parameters are resolved values: never "auto" (a port the firmware does not name is 5004).
        for stream in self.config["tx-streams"]:
            leg = self.node.get_json(f"{CONNECTION}/senders/{stream['id']}/active")["transport_params"][0]
            self.assertEqual((leg["source_ip"], leg["source_port"]), (self.state["ip"], 5004))
            self.assertNotIn("auto", leg.values())
        for stream in self.config["rx-streams"]:
            leg = self.node.get_json(f"{CONNECTION}/receivers/{stream['id']}/active")["transport_params"][0]
            self.assertEqual((leg["interface_ip"], leg["destination_port"]), ("127.0.0.1", 5004))
            self.assertNotIn("auto", leg.values())

    def test_every_enabled_transmit_stream_has_source_flow_and_sender(self):
        senders = by_id(self.node.get_json(f"{NODE}/senders"))
        flows = by_id(self.node.get_json(f"{NODE}/flows"))
        sources = by_id(self.node.get_json(f"{NODE}/sources"))
        fs = self.config["sync"]["fs"]
        enabled = [s for s in self.config["tx-streams"] if s["enabled"]]
        self.assertEqual(len(flows), len(enabled))
        for stream in self.config["tx-streams"]:
            with self.subTest(stream=stream["name"]):
                sender = senders[stream["id"]]
                self.assertEqual(sender["label"], f"{stream['name']}@{self.state['name']}")
                self.assertEqual(sender["manifest_href"],
                                 f"http://127.0.0.1:{self.node.sim_port}/sdp/{stream['id']}.sdp")
                if not stream["enabled"]:
                    self.assertIsNone(sender["flow_id"])
                    self.assertEqual(sender["transport"], "urn:x-nmos:transport:rtp")
                    self.assertFalse(sender["subscription"]["active"])
                    continue
                self.assertEqual(sender["transport"], MCAST if is_multicast(stream["address"]) else UCAST)
                flow = flows[sender["flow_id"]]
                source = sources[stream["source_id"]]
                self.assertEqual(flow["source_id"], source["id"])
                self.assertEqual(flow["media_type"], "audio/" + stream["codec"])
                self.assertEqual(flow["sample_rate"], {"numerator": fs})
                self.assertEqual(flow["grain_rate"], {"numerator": fs // stream["samples-per-packet"]})
                self.assertEqual(len(source["channels"]), stream["channels"])
                self.assertTrue(all(c["label"] for c in source["channels"]), source["channels"])

    def test_sender_connection_documents_follow_the_stream_address(self):
        for stream in self.config["tx-streams"]:
            with self.subTest(stream=stream["name"]):
                base = f"{CONNECTION}/senders/{stream['id']}"
                constraints = self.node.get_json(base + "/constraints")
                active = self.node.get_json(base + "/active")
                leg = active["transport_params"][0]
                self.assertEqual(leg["destination_ip"], stream["address"])
                self.assertEqual(leg["destination_port"], stream["port"])
                self.assertEqual(leg["rtp_enabled"], stream["enabled"])
                # The firmware owns the stream's address and port: they are the only values allowed.
                self.assertEqual(constraints[0]["destination_ip"], {"enum": [stream["address"]]})
                self.assertEqual(constraints[0]["destination_port"], {"enum": [stream["port"]]})
                self.assertEqual(active["master_enable"], stream["enabled"])

    def test_every_receive_stream_is_a_receiver(self):
        receivers = by_id(self.node.get_json(f"{NODE}/receivers"))
        self.assertEqual(len(receivers), len(self.config["rx-streams"]))
        for stream in self.config["rx-streams"]:
            receiver = receivers[stream["id"]]
            self.assertEqual(receiver["label"], stream["name"])
            self.assertEqual(receiver["description"], stream["info"])
            # No sender name is known without a Query API: a stream that receives is from a sender
            # unknown to NMOS.
            receiving = stream["enabled"] and bool(stream["source"])
            self.assertEqual(receiver["subscription"], {"sender_id": None, "active": receiving})


class FirmwareChanges(unittest.TestCase):
    """Configuration and state pushed again with one change each."""

    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode(streams=4).start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def push(self, change):
        scenario = self.node.sim_json("GET", "/scenario")
        for name in ("config", "state"):
            doc = scenario[name]
            change(doc)
            self.node.sim_json("PUT", f"/scenario/{name}", doc)

    def sender(self, sender_id):
        status, _, _ = self.node.request("GET", f"{NODE}/senders/{sender_id}")
        return self.node.get_json(f"{NODE}/senders/{sender_id}") if status == 200 else None

    def test_disabled_stream_keeps_its_sender_without_flow(self):
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][0]
        self.assertTrue(stream["enabled"])

        def disable(doc):
            doc["tx-streams"][0]["enabled"] = False

        self.push(disable)
        done = nmos_node.wait_until(lambda: (self.sender(stream["id"]) or {}).get("flow_id", 1) is None, limit=30)
        self.assertTrue(done)
        sender = self.sender(stream["id"])
        self.assertEqual(sender["transport"], "urn:x-nmos:transport:rtp")
        self.assertFalse(sender["subscription"]["active"])
        flows = self.node.get_json(f"{NODE}/flows")
        self.assertTrue(nmos_node.wait_until(
            lambda: all(f["source_id"] != stream["source_id"] for f in self.node.get_json(f"{NODE}/flows")),
            limit=30), flows)

    def test_address_changed_to_unicast(self):
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][1]

        def to_unicast(doc):
            doc["tx-streams"][1]["address"] = "192.168.10.77"

        self.push(to_unicast)
        self.assertTrue(nmos_node.wait_until(
            lambda: (self.sender(stream["id"]) or {}).get("transport") == UCAST, limit=30))
        active = self.node.get_json(f"{CONNECTION}/senders/{stream['id']}/active")
        self.assertEqual(active["transport_params"][0]["destination_ip"], "192.168.10.77")

    def test_unusable_firmware_values_never_reach_the_connection_documents(self):
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][3]
        url = f"{CONNECTION}/senders/{stream['id']}/active"
        for address, port in (("300.1.2.3", 70000), ("not an address", -1)):
            def spoil(doc):
                doc["tx-streams"][3]["address"] = address
                doc["tx-streams"][3]["port"] = port

            self.push(spoil)
            self.assertTrue(nmos_node.wait_until(
                lambda: self.node.get_json(url)["transport_params"][0]["destination_port"] == "auto", limit=30))
            self.assertEqual(self.node.get_json(url)["transport_params"][0]["destination_ip"], "auto")

    def test_a_new_sampling_rate_reaches_flows_and_receiver_capabilities(self):
        scenario = self.node.sim_json("GET", "/scenario")
        config = scenario["config"]
        rate = config["sync"]["fs"]
        config["sync"]["fs"] = 96000 if rate != 96000 else 48000
        self.node.sim_json("PUT", "/scenario/config", config)

        def rates():
            flows = {f["sample_rate"]["numerator"] for f in self.node.get_json(f"{NODE}/flows")}
            caps = {json.dumps(r["caps"].get("constraint_sets")) for r in self.node.get_json(f"{NODE}/receivers")}
            return flows, caps
        self.assertTrue(nmos_node.wait_until(lambda: rates()[0] == {config["sync"]["fs"]}, limit=30), rates())
        self.assertTrue(nmos_node.wait_until(
            lambda: all(str(config["sync"]["fs"]) in c for c in rates()[1]), limit=30), rates())

    def test_new_uuid_in_a_slot_replaces_the_sender(self):
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][2]
        new_id = "0badc0de-0000-4000-8000-000000000002"

        def renumber(doc):
            doc["tx-streams"][2]["id"] = new_id

        self.push(renumber)
        self.assertTrue(nmos_node.wait_until(lambda: self.sender(new_id) is not None, limit=30))
        self.assertTrue(nmos_node.wait_until(lambda: self.sender(stream["id"]) is None, limit=30))


class FirmwareRestart(unittest.TestCase):
    def test_node_is_rebuilt_and_nothing_stale_remains(self):
        node = nmos_node.RunningNode(streams=6).start()
        self.addCleanup(node.stop)
        node.sim.signal(2)
        self.assertEqual(node.sim.wait(30), 0)
        # The same firmware comes back with fewer streams on the same port.
        node.streams = 2
        node.start_sim(node.sim_port)

        def rebuilt():
            try:
                return (len(node.get_json(f"{NODE}/senders")) == 2 and len(node.get_json(f"{NODE}/receivers")) == 2
                        and len(node.get_json(f"{NODE}/flows")) <= 2
                        and node.get_json(f"{NODE}/self").get("label"))
            except (OSError, ValueError):
                return False

        self.assertTrue(nmos_node.wait_until(rebuilt, limit=60), "the node was not rebuilt from the new firmware")
        for leaf in ("senders", "receivers"):
            ids = node.get_json(f"{CONNECTION}/{leaf}")
            self.assertEqual(len(ids), 2, ids)


class FirmwareAbsent(unittest.TestCase):
    """Before the firmware is first seen the API tree answers with empty lists; after it has gone the
    node keeps serving its last whole state, every document complete."""

    def test_api_tree_before_the_firmware_and_last_state_after_it(self):
        node = nmos_node.RunningNode(streams=4)
        self.addCleanup(node.stop)
        node.sim_port = testlib.free_port()
        node.start_bridge()
        for path, expected in (("/", ["x-nmos", "stats", "status"]), ("/x-nmos/", ["node/", "connection/"]),
                               (f"{NODE}/", ["self/", "devices/", "senders/", "receivers/", "flows/", "sources/"]),
                               (CONNECTION + "/", ["senders/", "receivers/"])):
            with self.subTest(path):
                self.assertEqual(node.get_json(path), expected)
        for collection in ("devices", "senders", "receivers", "flows", "sources"):
            self.assertEqual(node.get_json(f"{NODE}/{collection}"), [], collection)
        # The node has no identity yet: no document rather than one without "id".
        self.assertEqual(node.request("GET", f"{NODE}/self")[0], 503)

        node.start_sim(node.sim_port)
        self.assertTrue(nmos_node.wait_until(node.complete), "the node did not mirror the firmware")
        # The PTP grandmaster comes from a sender's transport file, fetched after the firmware's documents.
        self.assertTrue(nmos_node.wait_until(lambda: any(
            clock.get("gmid", NO_GRANDMASTER) != NO_GRANDMASTER
            for clock in node.get_json(f"{NODE}/self")["clocks"] if clock["ref_type"] == "ptp")),
            "the node did not learn the grandmaster")
        paths = [f"{NODE}/self"] + [f"{NODE}/{c}" for c in ("devices", "senders", "receivers", "flows", "sources")]
        before = {path: node.get_json(path) for path in paths}

        node.sim.signal(2)
        self.assertEqual(node.sim.wait(30), 0)
        time.sleep(2)  # the bridge has seen the connection end and tries to reconnect
        for path in paths:
            self.assertEqual(node.get_json(path), before[path], path)
        for sender in before[f"{NODE}/senders"]:
            self.assertEqual(node.get_json(f"{NODE}/senders/{sender['id']}"), sender)
        self.assertTrue({"id", "label", "resource_type"} <= set(before[f"{NODE}/self"]))
        if not test_schemas.missing_reason():
            for path, schema in ((f"{NODE}/self", "node.json"), (f"{NODE}/senders", "senders.json"),
                                 (f"{NODE}/receivers", "receivers.json")):
                errors = list(test_schemas.validator(test_schemas.IS04["v1.2"], schema).iter_errors(node.get_json(path)))
                self.assertFalse(errors, f"{path}: {errors[:1]}")


class ThousandsOfStreamsRemoved(unittest.TestCase):
    """1,500 transmit streams back to the 4 of the built-in scenario: the removal ends every resource it
    should, and the Node API answers every request meanwhile. How long an answer waits depends on the
    build and the machine: bench/lifetime_bench gives the figures, and this test prints its own."""

    STREAMS = 1500

    def test_removal_keeps_the_api_answering(self):
        node = nmos_node.RunningNode(streams=4).start()
        self.addCleanup(node.stop)
        config = node.sim_json("GET", "/scenario")["config"]
        big = json.loads(json.dumps(config))
        big["tx-streams"] = []
        for i in range(self.STREAMS):
            stream = dict(config["tx-streams"][i % 4], id=str(uuid.uuid4()), source_id=str(uuid.uuid4()),
                          index=i, name=f"Stream {i}")
            big["tx-streams"].append(stream)
        node.sim_json("PUT", "/scenario/config", big)
        def all_built():
            # Building 1,500 streams may keep the node busy for longer than one request waits (a sanitizer
            # build on a loaded machine); only the removal below is measured.
            try:
                return len(node.get_json(f"{NODE}/senders")) == self.STREAMS
            except OSError:
                return False

        self.assertTrue(nmos_node.wait_until(all_built, limit=240, step=1), "the 1,500 senders did not appear")

        latencies, unanswered = [], []
        stop = threading.Event()

        def ask():
            while not stop.is_set():
                started = time.monotonic()
                try:
                    node.request("GET", f"{NODE}/self", timeout=30)
                except OSError as e:
                    unanswered.append(str(e))
                latencies.append((time.monotonic() - started, started))
                time.sleep(0.01)

        asker = threading.Thread(target=ask)
        asker.start()
        put = time.monotonic()
        try:
            node.sim_json("PUT", "/scenario/config", config)
            done = nmos_node.wait_until(lambda: len(node.get_json(f"{NODE}/senders")) == 4, limit=240, step=0.05)
            removal = time.monotonic() - put
            time.sleep(3)  # the records' deregistrations end by their deadline meanwhile
        finally:
            stop.set()
            asker.join()
        self.assertTrue(done, "the senders were not removed")
        slowest, when = max(latencies)
        print(f"\n1,500 -> 4 streams: removed in {removal:.2f} s; /self answered {len(latencies)} times, "
              f"slowest {slowest * 1000:.0f} ms, asked {when - put:.2f} s after the removal began", file=sys.stderr)
        self.assertEqual(unanswered, [])
        self.assertEqual(len(node.get_json(f"{NODE}/sources")), len(node.get_json(f"{NODE}/flows")))
        for stream in big["tx-streams"][4:40]:
            self.assertEqual(node.request("GET", f"{NODE}/senders/{stream['id']}")[0], 404)


if __name__ == "__main__":
    unittest.main()
