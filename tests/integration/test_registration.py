"""Registration at IS-04 registries named on the command line: the node asks each which versions it
serves and registers at the newest it serves too; the node and every resource reach the mock registry in
parent order and equal what the Node API serves at that version, heartbeats keep the node alive,
firmware changes and removals follow, failing registries hand the node over to another one (of another
version: registered afresh there with that version's documents), and a stopped node deregisters."""
import json
import os
import signal
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

NODE = "/x-nmos/node/v1.3"
REGISTRATION = "/x-nmos/registration/v1.3"
HEALTH = REGISTRATION + "/health/nodes/"
KINDS = ("devices", "sources", "flows", "senders", "receivers")
# Guards against hanging, not timing checks.
LIMIT = 60


class Registration(unittest.TestCase):
    def setUp(self):
        self.registry = RegistryProcess(versions=("v1.3",)).start()
        self.addCleanup(self.registry.stop)
        self.node = nmos_node.RunningNode(streams=4, registries=[self.registry.address]).start()
        self.addCleanup(self.node.stop)

    def served(self, version="v1.3"):
        try:
            return self.node.served(version)
        except ValueError:  # a bridge just started answers 503 until the firmware names the node
            return None

    def assertRegistryHoldsWhatTheNodeServes(self, registry=None):
        registry = registry or self.registry
        matched = nmos_node.wait_until(lambda: registry.resources() == self.served(registry.newest), limit=LIMIT)
        self.assertTrue(matched, f"the registry at {registry.address} does not hold what the node serves")

    def rename_first_sender(self, name):
        scenario = self.node.sim_json("GET", "/scenario")
        config, state = scenario["config"], scenario["state"]
        config["tx-streams"][0]["name"] = name
        state["tx-streams"][0]["name"] = name
        self.node.sim_json("PUT", "/scenario/config", config)
        self.node.sim_json("PUT", "/scenario/state", state)
        return config["tx-streams"][0]["id"]

    def test_everything_is_registered_in_parent_order_and_kept_alive(self):
        self.assertRegistryHoldsWhatTheNodeServes()
        # The node asked which versions the registry serves, and speaks v1.3 only there: v1.3 documents.
        asked = self.registry.requests(path="/x-nmos/registration/", method="GET")
        self.assertEqual([(r["path"], r["status"]) for r in asked[:1]], [("/x-nmos/registration/", 200)])
        self.assertEqual([r for r in self.registry.requests(path="/x-nmos/") if r["status"] == 404], [])
        node = next(iter(self.registry.resources()["nodes"].values()))
        self.assertTrue(all(e["authorization"] is False for e in node["api"]["endpoints"] + node["services"]))
        # Every resource reaches the registry after those it names: its parent, and a sender's flow.
        posts = self.registry.requests(path=REGISTRATION + "/resource", method="POST")
        registered = set()
        for post in posts:
            if post["status"] not in (200, 201):
                continue
            data = json.loads(post["body"])["data"]
            named = [data.get(key) for key in ("node_id", "device_id", "source_id", "flow_id")]
            self.assertTrue(all(ref in registered for ref in named if ref), (data["id"], named))
            registered.add(data["id"])
        # Heartbeats: no body (Content-Length: 0), no content type, about every five seconds.
        beats = nmos_node.wait_until(lambda: len(self.registry.requests(path=HEALTH)) >= 3 and
                                     self.registry.requests(path=HEALTH), limit=LIMIT)
        for beat in beats:
            self.assertFalse(beat["body"])
            self.assertEqual(beat["headers"].get("content-length"), "0")
            self.assertNotIn("content-type", beat["headers"])
            self.assertEqual(beat["status"], 200)
        gaps = [b["monotonic"] - a["monotonic"] for a, b in zip(beats, beats[1:])]
        self.assertTrue(all(4.0 < gap < 6.0 for gap in gaps), gaps)

    def test_changes_and_removals_of_the_firmware_and_activations_reach_the_registry(self):
        self.assertRegistryHoldsWhatTheNodeServes()
        scenario = self.node.sim_json("GET", "/scenario")
        config, state = scenario["config"], scenario["state"]
        # A controller connects receiver 0 to sender 1 and names a receiver for sender 2 (IS-05).
        connection = "/x-nmos/connection/v1.0/single"
        receiver, senders = config["rx-streams"][0]["id"], [s["id"] for s in config["tx-streams"]]
        now = {"mode": "activate_immediate"}
        for url, body in ((f"{connection}/receivers/{receiver}/staged",
                           {"sender_id": senders[1], "master_enable": True}),
                          (f"{connection}/senders/{senders[2]}/staged", {"receiver_id": receiver})):
            status, _, answer = self.node.request("PATCH", url, dict(body, activation=now))
            self.assertEqual(status, 200, answer)
        self.assertTrue(nmos_node.wait_until(
            lambda: self.registry.resources()["receivers"][receiver]["subscription"] ==
            {"sender_id": senders[1], "active": True} and
            self.registry.resources()["senders"][senders[2]]["subscription"] ==
            {"receiver_id": receiver, "active": True}, limit=LIMIT), self.registry.resources()["receivers"][receiver])
        self.assertRegistryHoldsWhatTheNodeServes()
        scenario = self.node.sim_json("GET", "/scenario")
        config, state = scenario["config"], scenario["state"]
        config["tx-streams"][0]["name"] = "Renamed"
        state["tx-streams"][0]["name"] = "Renamed"
        removed = config["rx-streams"].pop()
        state["rx-streams"].pop()
        self.node.sim_json("PUT", "/scenario/config", config)
        self.node.sim_json("PUT", "/scenario/state", state)
        self.assertTrue(nmos_node.wait_until(
            lambda: removed["id"] not in self.registry.resources()["receivers"], limit=LIMIT))
        self.assertRegistryHoldsWhatTheNodeServes()
        sender = self.registry.resources()["senders"][config["tx-streams"][0]["id"]]
        self.assertTrue(sender["label"].startswith("Renamed@"))

    def test_a_change_during_registration_reaches_the_registry(self):
        # Every registration is answered after 1.5 s (within the node's 2 s deadline); the sender is
        # renamed while its registration is under way.
        self.registry.forget()
        self.registry.set_fault("delay", seconds=1.5, path=REGISTRATION + "/resource", method="POST")
        self.assertTrue(nmos_node.wait_until(lambda: any(
            json.loads(r["body"])["type"] == "sender" for r in self.registry.requests(
                path=REGISTRATION + "/resource", method="POST")), limit=LIMIT))
        sender_id = self.rename_first_sender("Renamed while registering")
        self.registry.set_fault("none")
        self.assertRegistryHoldsWhatTheNodeServes()
        self.assertTrue(self.registry.resources()["senders"][sender_id]["label"].startswith("Renamed while"))

    def test_a_registry_that_restarts_empty_or_still_knows_the_node_gets_it_afresh(self):
        self.assertRegistryHoldsWhatTheNodeServes()
        node_id = self.node.get_json(f"{NODE}/self")["id"]
        # Restarted empty: the next heartbeat is answered 404 and everything is registered again.
        self.registry.forget()
        self.assertRegistryHoldsWhatTheNodeServes()
        # A node that comes back while the registry still holds it (200 to its registration) deletes
        # itself there and registers afresh.
        self.node.bridge.stop()
        seq = self.registry.last_seq()
        self.node.start_bridge()
        self.assertRegistryHoldsWhatTheNodeServes()
        node_requests = [(r["method"], r["status"]) for r in self.registry.requests(since=seq)
                         if r["path"] == f"{REGISTRATION}/resource/nodes/{node_id}"
                         or (r["method"] == "POST" and r["path"] == f"{REGISTRATION}/resource"
                             and json.loads(r["body"])["type"] == "node")]
        self.assertEqual(node_requests[:3], [("POST", 200), ("DELETE", 204), ("POST", 201)])
        # SIGINT: the node deletes itself at the registry (which drops its resources) before it ends.
        self.node.bridge.signal(signal.SIGINT)
        self.assertIsNotNone(self.node.bridge.wait(10), "the bridge did not end after SIGINT")
        held = self.registry.resources()
        self.assertEqual([held[k] for k in ("nodes",) + KINDS], [{}] * 6)


class Versions(unittest.TestCase):
    """A v1.0 registry and one of v1.2 and v1.3, of equal priority: each holds everything the node serves
    at its newest version when it is the one in use, and a failover from one to the other registers the
    node and everything afresh at the other's version."""

    def setUp(self):
        self.old = RegistryProcess(versions=("v1.0",)).start()
        self.new = RegistryProcess(versions=("v1.2", "v1.3")).start()
        for registry in (self.old, self.new):
            self.addCleanup(registry.stop)
        # The newer one does not tell its versions at first: the node asks again, once a second.
        self.new.set_fault("status", status=503, path="/x-nmos/registration/", method="GET", count=2)
        self.node = nmos_node.RunningNode(streams=2, registries=[self.old.address, self.new.address]).start()
        self.addCleanup(self.node.stop)

    served = Registration.served
    assertRegistryHoldsWhatTheNodeServes = Registration.assertRegistryHoldsWhatTheNodeServes

    def holding(self):
        """The registry that holds the node, once one does."""
        return nmos_node.wait_until(lambda: next((r for r in (self.old, self.new) if r.resources()["nodes"]),
                                                 None), limit=LIMIT)

    def assertRegisteredAtItsVersion(self, registry):
        self.assertRegistryHoldsWhatTheNodeServes(registry)
        posts = registry.requests(path="/x-nmos/registration/", method="POST")
        self.assertTrue(posts)
        self.assertEqual({r["path"].split("/")[3] for r in posts}, {registry.newest})
        node = next(iter(registry.resources()["nodes"].values()))
        device = next(iter(registry.resources()["devices"].values()))
        with_authorization = [e for e in node["api"]["endpoints"] + node["services"] + device["controls"]
                              if "authorization" in e]
        if registry is self.old:  # nothing v1.3 added (the registry checked them against v1.0's schemas)
            self.assertEqual(with_authorization, [])
            self.assertTrue(all("attached_network_device" not in i for i in node.get("interfaces", [])))
        else:
            self.assertEqual(len(with_authorization), len(node["api"]["endpoints"]) + len(node["services"]) +
                             len(device["controls"]))

    def test_each_registry_gets_its_newest_version_and_a_failover_changes_it(self):
        first = self.holding()
        self.assertIsNotNone(first, "no registry holds the node")
        self.assertRegisteredAtItsVersion(first)
        second = self.new if first is self.old else self.old
        # The newer registry's versions are asked until it tells them.
        self.assertTrue(nmos_node.wait_until(lambda: 200 in [
            r["status"] for r in self.new.requests(path="/x-nmos/registration/", method="GET")], limit=LIMIT))
        for registry in (first, second):
            second.forget()
            second.set_fault("none")
            first.set_fault("status", status=500)
            self.assertRegisteredAtItsVersion(second)
            first, second = second, first
        # The node said once that it waited for the newer registry's versions.
        asked = [r["status"] for r in self.new.requests(path="/x-nmos/registration/", method="GET")]
        self.assertEqual(asked[:3], [503, 503, 200])
        fd = self.node.bridge_log.fileno()
        log = os.pread(fd, os.fstat(fd).st_size, 0).decode(errors="replace")
        self.assertEqual(log.count("not used until it tells which IS-04 versions it serves"), 1, log)


class Failover(unittest.TestCase):
    """Two registries of equal priority: whichever fails, the node and everything go to the other."""

    def setUp(self):
        self.registries = [RegistryProcess().start(), RegistryProcess().start()]  # v1.0, v1.2 and v1.3
        for registry in self.registries:
            self.addCleanup(registry.stop)
        self.node = nmos_node.RunningNode(streams=2, registries=[r.address for r in self.registries]).start()
        self.addCleanup(self.node.stop)

    served = Registration.served
    assertRegistryHoldsWhatTheNodeServes = Registration.assertRegistryHoldsWhatTheNodeServes

    def active(self):
        """The registry that got the latest heartbeat."""
        beats = [(r.requests(path=HEALTH)[-1:] or [{"monotonic": 0}])[0]["monotonic"] for r in self.registries]
        return self.registries[beats.index(max(beats))]

    def test_a_failing_registry_hands_the_node_over_to_the_other(self):
        self.assertTrue(nmos_node.wait_until(
            lambda: any(r.requests(path=HEALTH) for r in self.registries), limit=LIMIT))
        first = self.active()
        second = self.registries[1 - self.registries.index(first)]
        self.assertRegistryHoldsWhatTheNodeServes(first)
        # Each fault in turn on the registry in use; the other one, emptied first, must end up
        # holding everything the node serves.
        for fault in ({"mode": "status", "status": 500}, {"mode": "hang"}, {"mode": "close"},
                      {"mode": "status", "status": 503}):
            second.set_fault("none")
            second.forget()
            first.set_fault(**fault)
            self.assertRegistryHoldsWhatTheNodeServes(second)
            first, second = second, first


if __name__ == "__main__":
    unittest.main()
