"""Registration at IS-04 registries named on the command line: the node and every resource reach the
mock registry in parent order and equal what the Node API serves, heartbeats keep the node alive,
firmware changes and removals follow."""
import json
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

NODE = "/x-nmos/node/v1.2"
HEALTH = "/x-nmos/registration/v1.2/health/nodes/"
KINDS = ("devices", "sources", "flows", "senders", "receivers")
PARENT_ORDER = {"node": 0, "device": 1, "source": 2, "flow": 3, "sender": 2, "receiver": 2}
# Guards against hanging, not timing checks.
LIMIT = 60


class Registration(unittest.TestCase):
    def setUp(self):
        self.registry = RegistryProcess().start()
        self.addCleanup(self.registry.stop)
        self.node = nmos_node.RunningNode(streams=4, registries=[self.registry.address]).start()
        self.addCleanup(self.node.stop)

    def served(self):
        held = {"nodes": {}}
        node = self.node.get_json(f"{NODE}/self")
        held["nodes"][node["id"]] = node
        for kind in KINDS:
            held[kind] = {d["id"]: d for d in self.node.get_json(f"{NODE}/{kind}")}
        return held

    def assertRegistryHoldsWhatTheNodeServes(self):
        matched = nmos_node.wait_until(lambda: self.registry.resources() == self.served(), limit=LIMIT)
        self.assertTrue(matched, "the registry does not hold what the node serves")

    def test_everything_is_registered_in_parent_order_and_kept_alive(self):
        self.assertRegistryHoldsWhatTheNodeServes()
        posts = self.registry.requests(path="/x-nmos/registration/v1.2/resource", method="POST")
        order = [PARENT_ORDER[json.loads(r["body"])["type"]] for r in posts]
        first_of = {}
        for position, level in enumerate(order):
            first_of.setdefault(level, position)
        self.assertEqual(sorted(first_of.values()), list(first_of.values()), "a child came before its parent")
        # Heartbeats: no body, no content type, about every five seconds.
        beats = nmos_node.wait_until(lambda: len(self.registry.requests(path=HEALTH)) >= 3 and
                                     self.registry.requests(path=HEALTH), limit=LIMIT)
        for beat in beats:
            self.assertIsNone(beat["body"])
            self.assertNotIn("content-type", beat["headers"])
            self.assertEqual(beat["status"], 200)
        gaps = [b["monotonic"] - a["monotonic"] for a, b in zip(beats, beats[1:])]
        self.assertTrue(all(4.0 < gap < 6.0 for gap in gaps), gaps)

    def test_changes_and_removals_of_the_firmware_reach_the_registry(self):
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


if __name__ == "__main__":
    unittest.main()
