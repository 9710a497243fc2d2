"""The switch port the node's interface is plugged into, learnt from LLDP (run through netns-env.sh, as
root). The node serves one end of the private network's veth pair; this test plays the switch on the other
end, writing LLDP frames with a raw packet socket, so that no frame leaves the namespace. The node shows
what it learnt as attached_network_device of its interface at v1.3 only, replaces it with what a new frame
tells, drops it when the neighbour withdraws it (TTL 0) or its TTL runs out, keeps it when the firmware
rewrites the interface, ignores malformed frames and floods, and works on without CAP_NET_RAW."""
import json
import os
import socket
import struct
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

STATE = os.environ.get("QEL_DISC_STATE")
IFACE = os.environ.get("QEL_DISC_IF")
PEER = os.environ.get("QEL_DISC_PEER")
ADDR = os.environ.get("QEL_DISC_ADDR")
NODE = "/x-nmos/node/"
MEMBER = "attached_network_device"
NEAREST_BRIDGE = bytes.fromhex("0180c200000e")
# Guards against hanging, not timing checks; an emulated node takes long to come up and to answer.
LIMIT = 120 if os.environ.get("QEL_TARGET_RUNNER") else 30


def tlv(kind, value):
    return struct.pack("!H", kind << 9 | len(value)) + value


def lldp_frame(chassis, port, ttl, extra=b"", end=True):
    """A frame as a switch sends it: chassis and port ids given as (subtype, bytes)."""
    body = tlv(1, bytes([chassis[0]]) + chassis[1]) + tlv(2, bytes([port[0]]) + port[1])
    body += tlv(3, struct.pack("!H", ttl)) + extra + (tlv(0, b"") if end else b"")
    return NEAREST_BRIDGE + SWITCH_MAC + struct.pack("!H", 0x88CC) + body


SWITCH_MAC = bytes.fromhex("001b21aabb0c")
CHASSIS = (4, SWITCH_MAC)
SEEN_CHASSIS = "00-1b-21-aa-bb-0c"


@unittest.skipUnless(STATE and PEER, "needs the private network: run through tests/discovery/netns-env.sh as root")
class AttachedNetworkDevice(unittest.TestCase):
    def setUp(self):
        self.registry = RegistryProcess(listen=f"{ADDR}:0").start()
        self.addCleanup(self.registry.stop)
        self.node = nmos_node.RunningNode(streams=2, registries=[self.registry.address], interface=IFACE,
                                          host=ADDR).start()
        self.addCleanup(self.node.stop)
        # The switch's end of the link.
        self.switch = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.addCleanup(self.switch.close)
        self.switch.bind((PEER, 0))

    def send(self, *frames):
        for frame in frames:
            self.switch.send(frame)

    def self_doc(self, version="v1.3"):
        return self.node.get_json(f"{NODE}{version}/self")

    def attached(self):
        return [i.get(MEMBER) for i in self.self_doc()["interfaces"]]

    def wait_attached(self, expected):
        found = nmos_node.wait_until(lambda: self.attached() == [expected], limit=LIMIT)
        self.assertIsNotNone(found, f"the node shows {self.attached()}, not {[expected]}")

    def lldp_stats(self):
        return self.node.get_json("/stats")["HostedServices"]["LLDP"]

    def assertOnlyAtV13(self):
        for version in ("v1.2", "v1.0"):
            for interface in self.self_doc(version).get("interfaces", []):
                self.assertNotIn(MEMBER, interface, version)

    def assertRegistryHolds(self, version):
        node_id = self.self_doc()["id"]
        held = nmos_node.wait_until(
            lambda: self.registry.resources()["nodes"].get(node_id, {}).get("version") == version, limit=LIMIT)
        self.assertTrue(held, "the node's new version never reached the registry")

    def test_learnt_replaced_withdrawn_and_kept_through_firmware_rewrites(self):
        self.assertEqual(self.attached(), [None], "nothing is attached before a frame came")
        before = self.self_doc()["version"]

        # A switch port: an interface name after a MAC chassis, with optional TLVs and padding.
        self.send(lldp_frame(CHASSIS, (5, b"Gi1/0/7"), 120, tlv(5, b"core-sw") + tlv(127, b"\x00\x80\xc2\x01\x00\x01")))
        first = {"chassis_id": SEEN_CHASSIS, "port_id": "Gi1/0/7"}
        self.wait_attached(first)
        node = self.self_doc()
        self.assertNotEqual(node["version"], before, "a learnt switch port is a new version of the node")
        self.assertOnlyAtV13()
        self.assertRegistryHolds(node["version"])
        stats = self.lldp_stats()
        self.assertEqual((stats["Interface"], stats["State"]), (IFACE, 1))

        # The firmware rewrites the interface (a new MAC): the learnt switch port stays on it.
        state = self.node.sim_json("GET", "/scenario")["state"]
        state["mac"] = "02:4D:51:00:00:99"
        self.node.sim_json("PUT", "/scenario/state", state)
        self.assertTrue(nmos_node.wait_until(
            lambda: self.self_doc()["interfaces"][0]["port_id"] == "02-4d-51-00-00-99", limit=LIMIT))
        self.assertEqual(self.attached(), [first])

        # Hostile frames change nothing and the node lives: truncated TLVs, lengths past the end, ids of
        # no or too many octets, the mandatory TLVs missing or out of order, a MAC id of 5 octets.
        version = self.self_doc()["version"]
        rejected = self.lldp_stats()["Rejected"]
        good = lldp_frame(CHASSIS, (5, b"Gi1/0/8"), 120, end=False)
        header = NEAREST_BRIDGE + SWITCH_MAC + b"\x88\xcc"
        hostile = [good[:-1], good[:17], header + b"\x02\xff" + b"x" * 40,
                   header + tlv(1, b"\x07") + tlv(2, b"\x057") + tlv(3, b"\x00\x78"),
                   header + tlv(1, b"\x07" + b"a" * 300) + tlv(2, b"\x057") + tlv(3, b"\x00\x78"),
                   header + tlv(2, b"\x057") + tlv(1, b"\x07a") + tlv(3, b"\x00\x78"),
                   header + tlv(1, b"\x07a") + tlv(2, b"\x057"),
                   header + tlv(1, b"\x04\x01\x02\x03\x04\x05") + tlv(2, b"\x057") + tlv(3, b"\x00\x78"),
                   header]
        self.send(*hostile)
        self.assertTrue(nmos_node.wait_until(
            lambda: self.lldp_stats()["Rejected"] >= rejected + len(hostile), limit=LIMIT), self.lldp_stats())
        self.assertEqual(self.self_doc()["version"], version)
        self.assertEqual(self.attached(), [first])

        # Another switch port replaces it; a withdrawal by another neighbour than the one learnt is no
        # withdrawal; the learnt one's own (TTL 0) is, at once.
        second = (7, b"\x00rack-3\xff")  # locally assigned, made printable
        self.send(lldp_frame(CHASSIS, (3, bytes.fromhex("a00102030405")), 120))
        self.wait_attached({"chassis_id": SEEN_CHASSIS, "port_id": "a0-01-02-03-04-05"})
        self.send(lldp_frame(second, (5, b"7"), 120))
        third = {"chassis_id": "\\x00rack-3\\xff", "port_id": "7"}
        self.wait_attached(third)
        self.send(lldp_frame(CHASSIS, (5, b"Gi1/0/7"), 0))
        time.sleep(2)  # more than the node takes to publish a change
        self.assertEqual(self.attached(), [third])
        self.send(lldp_frame(second, (5, b"7"), 0))
        self.wait_attached(None)
        self.assertOnlyAtV13()

        # A TTL that runs out without a new frame: the switch port goes again by itself.
        self.send(lldp_frame(CHASSIS, (5, b"Gi1/0/9"), 2))
        self.wait_attached({"chassis_id": SEEN_CHASSIS, "port_id": "Gi1/0/9"})
        self.wait_attached(None)

    def test_a_flood_is_absorbed(self):
        # Frames of two switch ports in turn, with malformed ones among them, as fast as they can be
        # written: the node answers throughout, publishes a handful of versions, not one per frame, and
        # ends with what the last frame told.
        node_id = self.self_doc()["id"]
        since = self.registry.last_seq()
        frames = [lldp_frame(CHASSIS, (5, b"a"), 120), lldp_frame(CHASSIS, (5, b"b"), 120),
                  lldp_frame(CHASSIS, (5, b"b"), 120)[:-3]]
        started = time.monotonic()
        sent = 0
        while time.monotonic() < started + 3:
            for frame in frames * 100:
                self.send(frame)
            sent += 300
            time.sleep(0.01)
            self.assertEqual(self.node.request("GET", "/x-nmos/node/v1.3/self", timeout=LIMIT)[0], 200)
        # The socket's queue may have overflowed and dropped any frame: the last one is sent until it is
        # read, as a switch sends its frames again and again.
        last = {"chassis_id": SEEN_CHASSIS, "port_id": "a"}
        self.assertTrue(nmos_node.wait_until(lambda: self.send(frames[0]) or self.attached() == [last],
                                             limit=LIMIT, step=0.5), self.attached())
        time.sleep(2)
        elapsed = time.monotonic() - started
        pushes = [r for r in self.registry.requests(since=since, path="/x-nmos/registration/v1.2/resource",
                                                    method="POST")
                  if r["body"] and json.loads(r["body"]).get("type") == "node"]
        self.assertLessEqual(len(pushes), elapsed + 3,
                             f"{len(pushes)} node versions in {elapsed:.1f} s for {sent} frames")
        stats = self.lldp_stats()
        self.assertGreater(stats["Rejected"], 0)
        self.assertEqual(self.registry.resources()["nodes"][node_id]["version"], self.self_doc()["version"])


@unittest.skipUnless(STATE and PEER, "needs the private network: run through tests/discovery/netns-env.sh as root")
class WithoutRawSockets(unittest.TestCase):
    def test_the_node_works_on_after_one_warning(self):
        # The bridge without CAP_NET_RAW (dropped from the bounding set before it starts).
        runner = testlib.TARGET_RUNNER
        testlib.TARGET_RUNNER = ["setpriv", "--bounding-set=-net_raw", "--"] + list(runner)
        try:
            node = nmos_node.RunningNode(streams=1, interface=IFACE, host=ADDR).start()
        finally:
            testlib.TARGET_RUNNER = runner
        self.addCleanup(node.stop)
        self.assertEqual(node.get_json("/stats")["HostedServices"]["LLDP"]["State"], 0)
        self.assertEqual(len(node.get_json(f"{NODE}v1.3/senders")), 1)
        with open(f"/proc/self/fd/{node.bridge_log.fileno()}", errors="replace") as f:
            log = f.read()
        self.assertEqual(log.count(f"LLDP: cannot listen on {IFACE}"), 1, log)


if __name__ == "__main__":
    unittest.main()
