"""The query client in a private DNS-SD network (run through netns-env.sh, as root): the node follows a
registry's Query API over websocket subscriptions and so knows the senders of other nodes by name. A
controller's target PUT of a sender of another node reaches the firmware as message 10 with that sender's
name, and the receiver then reports the sender, at the Node API and at the registry. Renames and removals
at the registry refresh the receivers; a lost websocket forgets what the registry told (never the node's
own names) until the client has subscribed again; refused and garbled answers and grains are survived
and the client never stops subscribing again; big grains are read as they arrive and one beyond the
bound is dropped for a fresh subscription; a discovered registry takes over when the one named on the
command line goes away."""
import json
import os
import signal
import socket
import subprocess
import sys
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

STATE = os.environ.get("QEL_DISC_STATE")
IFACE = os.environ.get("QEL_DISC_IF")
ADDR = os.environ.get("QEL_DISC_ADDR")
NODE = "/x-nmos/node/v1.3"
# The registries serve v1.0, v1.2 and v1.3: the node subscribes at v1.3.
SUBSCRIPTIONS = "/x-nmos/query/v1.3/subscriptions"
BOTH = ["/receivers", "/senders"]
# Guards against hanging, not timing checks.
LIMIT = 60
# Reading a grain of many MiB under an emulator takes minutes rather than seconds.
BIG_LIMIT = 300 if os.environ.get("QEL_TARGET_RUNNER") else LIMIT


class Advertisement:
    """An avahi-publish process advertising a registry's API; withdrawn by its PID."""

    def __init__(self, name, port, service_type, txt):
        self.proc = subprocess.Popen(["avahi-publish", "-s", name, service_type, str(port)] + txt,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def withdraw(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            self.proc.wait(10)


def wait(predicate, message, limit=LIMIT):
    value = nmos_node.wait_until(predicate, limit=limit)
    if not value:
        raise AssertionError(message() if callable(message) else message)
    return value


@unittest.skipUnless(STATE, "needs the private DNS-SD network: run through tests/discovery/netns-env.sh as root")
class QueryClient(unittest.TestCase):
    def setUp(self):
        # The registry named on the command line serves the node's registration and Query API; its
        # resources do not expire meanwhile (the synthetic node sends no heartbeats).
        self.registry = self.start_registry()
        self.node = nmos_node.RunningNode(streams=4, registries=[self.registry.address], interface=IFACE,
                                          host=ADDR).start()
        self.addCleanup(self.node.stop)
        own = self.node.get_json(f"{NODE}/self")
        wait(lambda: own["id"] in self.registry.resources()["nodes"], "the node did not register")
        wait(lambda: self.registry.connected_paths() == BOTH, lambda: self.registry.subscriptions())
        self.own_senders = self.node.get_json(f"{NODE}/senders")
        self.receivers = self.node.get_json(f"{NODE}/receivers")
        self.remote = self.synthetic_node(self.registry, "Remote A")
        wait(lambda: self.learnt() == 1, "the remote sender's name was not learnt")

    def start_registry(self):
        registry = RegistryProcess(listen=f"{ADDR}:0", expiry=3600).start()
        self.addCleanup(registry.stop)
        return registry

    def synthetic_node(self, registry, *labels):
        """A second node with one device and a sender per label, registered as another node would do it;
        returns the senders."""
        node = dict(self.node.get_json(f"{NODE}/self"), id=str(uuid.uuid4()), label="far node")
        device = dict(self.node.get_json(f"{NODE}/devices")[0], id=str(uuid.uuid4()), node_id=node["id"],
                      senders=[], receivers=[])
        senders = [dict(self.own_senders[0], id=str(uuid.uuid4()), label=label, device_id=device["id"],
                        flow_id=None) for label in labels]
        for rtype, doc in [("node", node), ("device", device)] + [("sender", s) for s in senders]:
            status, _, body = registry.register(rtype, doc)
            self.assertEqual(status, 201, body)
        return senders

    def learnt(self):
        """How many names of other nodes' resources the node knows from the registry."""
        return self.query_stats()["LearntNames"]

    def query_stats(self):
        return self.node.get_json("/stats")["HostedServices"]["NMOSQuery"]

    def bridge_log(self):
        # Read through a description of its own: the bridge writes through the one the node holds.
        with open(f"/proc/self/fd/{self.node.bridge_log.fileno()}", errors="replace") as log:
            return log.read()

    def rename(self, registry, sender, label):
        renamed = dict(sender, label=label)
        self.assertEqual(registry.register("sender", renamed)[0], 200)
        return renamed

    def connect(self, receiver, sender):
        self.node.sim_json("DELETE", "/received")
        status, _, _ = self.node.request("PUT", f"{NODE}/receivers/{receiver['id']}/target", body=sender)
        self.assertEqual(status, 202)

    def sent_sources(self):
        """The stream names of the message-10 requests the firmware got."""
        return [m["data"].get("source", "") for m in self.node.sim_json("GET", "/received")
                if isinstance(m, dict) and m.get("cmd") == 10]

    def follow_by_name(self, index, name):
        """The firmware's receive stream `index` follows the stream `name` (as if set by its own tools);
        returns its receiver."""
        scenario = self.node.sim_json("GET", "/scenario")
        for doc in (scenario["config"], scenario["state"]):
            doc["rx-streams"][index].update(source=name, enabled=True)
        self.node.sim_json("PUT", "/scenario/config", scenario["config"])
        self.node.sim_json("PUT", "/scenario/state", scenario["state"])
        return {"id": scenario["config"]["rx-streams"][index]["id"]}

    def subscription(self, receiver):
        return self.node.get_json(f"{NODE}/receivers/{receiver['id']}")["subscription"]["sender_id"]

    def assertFollows(self, receiver, sender_id):
        wait(lambda: self.subscription(receiver) == sender_id,
             lambda: f"receiver shows {self.subscription(receiver)}, not {sender_id}")

    def test_a_target_put_of_a_remote_sender_reaches_the_firmware_by_name_and_shows_everywhere(self):
        receiver, sender = self.receivers[0], self.remote[0]
        self.connect(receiver, sender)
        wait(lambda: self.sent_sources() == ["Remote A"], lambda: self.sent_sources())
        self.assertFollows(receiver, sender["id"])
        wait(lambda: self.registry.resources()["receivers"][receiver["id"]]["subscription"]
             == {"sender_id": sender["id"], "active": True},
             lambda: self.registry.resources()["receivers"][receiver["id"]])
        # Subscriptions as the node asked for them: not persistent, 100 ms apart at most.
        posts = [json.loads(r["body"]) for r in self.registry.requests(path=SUBSCRIPTIONS, method="POST")]
        self.assertEqual(sorted(p["resource_path"] for p in posts), BOTH)
        self.assertTrue(all(p["persist"] is False and p["max_update_rate_ms"] == 100 for p in posts), posts)
        # Their upgrade requests name the registry's port in Host and ask for no subprotocol, which a
        # Query API does not define. (The firmware link asks for its own: the simulator refuses any
        # other upgrade, and the node mirrors it.)
        upgrades = [r for r in self.registry.requests(path=SUBSCRIPTIONS, method="GET") if r["status"] == 101]
        self.assertEqual(len(upgrades), 2, upgrades)
        for upgrade in upgrades:
            self.assertEqual(upgrade["headers"].get("host"), self.registry.address, upgrade["headers"])
            self.assertNotIn("sec-websocket-protocol", upgrade["headers"])

    def test_renames_removals_lost_websockets_and_faults(self):
        sender = self.remote[0]
        # The firmware follows "Remote B", which no sender carries yet.
        receiver = self.follow_by_name(1, "Remote B")
        own_receiver = next(r for r in self.receivers if r["id"] != receiver["id"])
        self.assertFollows(receiver, None)
        renamed = self.rename(self.registry, sender, "Remote B")
        self.assertFollows(receiver, sender["id"])
        self.assertTrue(self.registry.unregister("sender", sender["id"])[0] == 204)
        self.assertFollows(receiver, None)
        self.assertEqual(self.registry.register("sender", renamed)[0], 201)
        self.assertFollows(receiver, sender["id"])

        # Garbage on the websockets changes nothing; a later change still arrives.
        for text in ("{not json", "[]", '{"grain": {"topic": "/senders/", "data": [{"path": 5}, "x"]}}'):
            self.assertEqual(self.registry.send_raw(text), 2)
        self.assertEqual(self.registry.connected_paths(), BOTH)

        # The websockets go and the registry refuses new subscriptions: the names it told are
        # forgotten, the node's own stay (a target PUT of an own sender still names its stream).
        mark = self.registry.last_seq()
        self.registry.set_fault("omit", members=["ws_href"], path=SUBSCRIPTIONS, method="POST")
        self.assertEqual(self.registry.close_websockets(), 2)
        self.assertFollows(receiver, None)
        self.connect(own_receiver, self.own_senders[1])
        wait(lambda: self.sent_sources() == [self.own_senders[1]["label"]], lambda: self.sent_sources())
        self.assertFollows(own_receiver, self.own_senders[1]["id"])
        # The client keeps trying, through answers without a websocket and refusals.
        wait(lambda: len(self.registry.requests(since=mark, path=SUBSCRIPTIONS, method="POST")) >= 2,
             "no new subscription was tried")
        mark = self.registry.last_seq()
        self.registry.set_fault("status", status=503, path=SUBSCRIPTIONS, method="POST")
        wait(lambda: [r["status"] for r in self.registry.requests(since=mark, path=SUBSCRIPTIONS)].count(503) >= 2,
             "no refused subscription was tried again")
        self.assertEqual(self.registry.connected_paths(), [])
        self.registry.set_fault("none")
        wait(lambda: self.registry.connected_paths() == BOTH, lambda: self.registry.subscriptions())
        self.assertFollows(receiver, sender["id"])
        self.assertFollows(own_receiver, self.own_senders[1]["id"])

    def test_the_client_never_gives_up_whatever_a_subscription_is_answered(self):
        """Each odd answer to the subscription POST (a websocket where none can be opened, none at all, a
        refusal) fails the subscription: the node asks again, once a second with no other Query API,
        for as long as it lasts, and once the registry answers properly it subscribes and learns."""
        with socket.socket() as s:  # a port where nothing listens
            s.bind((ADDR, 0))
            dead = s.getsockname()[1]
        port = self.registry.port
        path = f"{SUBSCRIPTIONS}/{uuid.uuid4()}/ws"
        hrefs = [f"ws://{ADDR}:{dead}{path}", f"ws://127.0.0.2:{port}{path}", f"http://{ADDR}:{port}{path}",
                 f"ws://{ADDR}:0{path}", f"ws://{ADDR}:99999{path}", ""]
        cases = [("rewrite", {"values": {"ws_href": href}}) for href in hrefs]
        cases += [("status", {"status": status}) for status in (202, 400, 404, 500, 503)]
        for mode, options in cases:
            with self.subTest(mode=mode, **options):
                mark = self.registry.last_seq()
                self.registry.set_fault(mode, path=SUBSCRIPTIONS, method="POST", **options)
                self.assertEqual(self.registry.close_websockets(), 2)
                wait(lambda: len(self.registry.requests(since=mark, path=SUBSCRIPTIONS, method="POST")) >= 6,
                     lambda: f"the node stopped asking: {self.registry.requests(since=mark, path=SUBSCRIPTIONS)}")
                self.registry.set_fault("none")
                wait(lambda: self.registry.connected_paths() == BOTH, lambda: self.registry.subscriptions())
                wait(lambda: self.learnt() == 1, "the remote sender's name was not learnt again")

    def test_big_grains_are_read_as_they_come_and_one_beyond_the_bound_is_dropped(self):
        # A sync grain of 10,000 senders (documents as this node's, with "pre" and "post").
        template = {k: v for k, v in self.remote[0].items() if k not in ("id", "label")}
        grain = self.registry.send_bulk(10000, resource_path="/senders", template=template)
        self.assertEqual(grain["sent"], 1)
        wait(lambda: self.learnt() == 10001, lambda: f"{self.learnt()} names learnt", BIG_LIMIT)
        self.assertEqual(self.registry.connected_paths(), BOTH)

        # One beyond the bound (16 MiB) is dropped: the client says so once and subscribes afresh, and
        # the names come again with the new subscriptions' sync grains.
        mark = self.registry.last_seq()
        grain = self.registry.send_bulk(2100, resource_path="/senders", template=template, pad=4096)
        self.assertGreater(grain["bytes"], 16 * 1024 * 1024)
        wait(lambda: self.query_stats()["DroppedGrains"] == 1, lambda: self.query_stats(), BIG_LIMIT)
        wait(lambda: len(self.registry.requests(since=mark, path=SUBSCRIPTIONS, method="POST")) >= 2,
             "no fresh subscription")
        wait(lambda: self.registry.connected_paths() == BOTH, lambda: self.registry.subscriptions())
        wait(lambda: self.learnt() == 1, lambda: f"{self.learnt()} names learnt")
        dropped = [line for line in self.bridge_log().splitlines() if "was dropped; subscribing afresh" in line]
        self.assertEqual(len(dropped), 1, dropped)

    def test_a_discovered_registry_takes_over_when_the_named_one_goes(self):
        second = self.start_registry()
        for service in ("_nmos-registration._tcp", "_nmos-query._tcp"):
            ad = Advertisement(f"Second {service}", second.port, service, second.txt(pri=10))
            self.addCleanup(ad.withdraw)
        far = self.synthetic_node(second, "Remote C")[0]
        receiver = self.follow_by_name(3, "Remote C")
        self.assertFollows(receiver, None)
        # The named registry (priority 0) keeps the subscriptions while the discovered one is known.
        wait(lambda: any("/x-nmos/query/" in api and str(second.port) in api
                         for api in self.node.get_json("/stats")["HostedServices"]["NMOSQuery"]["KnownAPIs"]),
             "the second registry's Query API was not discovered")
        self.assertEqual(second.connected_paths(), [])
        self.assertEqual(self.registry.stop(), 0)
        wait(lambda: second.connected_paths() == BOTH, lambda: second.subscriptions())
        self.assertFollows(receiver, far["id"])


if __name__ == "__main__":
    unittest.main()
