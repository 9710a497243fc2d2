#!/usr/bin/python3
"""Start-up benchmark of nmos-bridge against aes67fw-sim (64 + 64 streams) and a mock IS-04 registry, all on
loopback. For each run it prints:
- api: time from the bridge's process start to the first answer of its Node API;
- served: time from the firmware's first two documents (the moment the simulator's second document has
  passed on to the bridge) until the Node API serves all 64 senders and 64 receivers;
- registered: time from then until the registry holds all 258 resources (1 node, 1 device, 64 sources,
  64 flows, 64 senders, 64 receivers);
and, after the runs, the median and worst of each. Prints figures; asserts nothing.

    bench/startup_bench/startup_bench.py [BUILD_DIR] [--runs 5] [--limit 30]

The bridge reaches the simulator through a relay of this script that notes when the firmware's documents
pass. Every program runs on loopback and is ended by its PID."""
import argparse
import os
import select
import socket
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

STREAMS = 64
NODE = "/x-nmos/node/v1.2"
KINDS = ("nodes", "devices", "sources", "flows", "senders", "receivers")
EXPECTED = {"nodes": 1, "devices": 1, "sources": STREAMS, "flows": STREAMS, "senders": STREAMS,
            "receivers": STREAMS}
STEP = 0.002  # s between two questions to the Node API


class Relay:
    """Forwards the bridge's websocket connections to the simulator and notes, for each connection, when it
    was accepted and when the simulator's first two messages (its configuration and state documents) had
    been passed on whole."""

    def __init__(self, target_port):
        self.target = ("127.0.0.1", target_port)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.connections = []  # [accepted, documents passed (None until then)], oldest first
        self.running = True
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while self.running:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            record = [time.monotonic(), None]
            with self.lock:
                self.connections.append(record)
            threading.Thread(target=self.pipe, args=(client, record), daemon=True).start()

    def pipe(self, client, record):
        try:
            upstream = socket.create_connection(self.target)
        except OSError:
            client.close()
            return
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        frames = FrameCounter()
        try:
            while self.running:
                readable, _, _ = select.select([client, upstream], [], [], 0.5)
                for s in readable:
                    data = s.recv(65536)
                    if not data:
                        return
                    (upstream if s is client else client).sendall(data)
                    if s is upstream and record[1] is None and frames.feed(data) >= 2:
                        record[1] = time.monotonic()
        except OSError:
            pass
        finally:
            client.close()
            upstream.close()

    def first_documents(self):
        """(accepted, documents) of the first connection whose documents have passed, or None."""
        with self.lock:
            for accepted, documents in self.connections:
                if documents is not None:
                    return accepted, documents
        return None

    def stop(self):
        self.running = False
        self.listener.close()


class FrameCounter:
    """Counts the complete websocket messages a server sends after its handshake answer."""

    def __init__(self):
        self.buffer = b""
        self.head_done = False
        self.messages = 0

    def feed(self, data):
        self.buffer += data
        if not self.head_done:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return 0
            self.buffer = self.buffer[end + 4:]
            self.head_done = True
        while len(self.buffer) >= 2:
            fin, length, start = self.buffer[0] & 0x80, self.buffer[1] & 0x7F, 2
            if length == 126:
                if len(self.buffer) < 4:
                    break
                length, start = int.from_bytes(self.buffer[2:4], "big"), 4
            elif length == 127:
                if len(self.buffer) < 10:
                    break
                length, start = int.from_bytes(self.buffer[2:10], "big"), 10
            if self.buffer[1] & 0x80:
                start += 4  # masked (never from a server)
            if len(self.buffer) < start + length:
                break
            self.buffer = self.buffer[start + length:]
            self.messages += 1 if fin else 0
        return self.messages


def first_answer(node, limit):
    """Monotonic time of the first answer of the Node API, asked every STEP s."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            status, _, _ = node.request("GET", NODE + "/")
            if status == 200:
                return time.monotonic()
        except OSError:
            pass
        time.sleep(STEP)
    raise RuntimeError(f"the Node API did not answer within {limit} s")


def last_stream_paths(node):
    """Node API paths of the sender and the receiver of the simulator's last streams, which the bridge
    builds last."""
    config = node.sim_json("GET", "/scenario")["config"]
    return [f"{NODE}/senders/{config['tx-streams'][-1]['id']}",
            f"{NODE}/receivers/{config['rx-streams'][-1]['id']}"]


def all_served(node, limit, probes):
    """Monotonic time from which the Node API serves every sender and receiver. The last ones are asked for
    every STEP s (a question the bridge answers at once, so the asking hardly slows what it measures);
    once they are there, the whole lists must be too."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            if all(node.request("GET", path)[0] == 200 for path in probes):
                seen = time.monotonic()
                if len(node.get_json(NODE + "/senders")) == STREAMS and \
                        len(node.get_json(NODE + "/receivers")) == STREAMS:
                    return seen
        except (OSError, ValueError):
            pass
        time.sleep(STEP)
    raise RuntimeError(f"the Node API did not serve every stream within {limit} s")


def all_held(registry, since, limit):
    """Monotonic times of the registry's creation events (after event `since`) of the node and of the
    resource after which it held all 258 resources."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        held = {kind: set() for kind in KINDS}
        node = None
        for event in registry.events(since=since):
            if event["event"] == "forgotten":
                held = {kind: set() for kind in KINDS}
                continue
            ids = held.setdefault(event["type"] + "s", set())
            if event["event"] == "created":
                ids.add(event["id"])
                if event["type"] == "node" and node is None:
                    node = event["monotonic"]
            elif event["event"] == "deleted":
                ids.discard(event["id"])
            if all(len(held[kind]) == n for kind, n in EXPECTED.items()):
                return node, event["monotonic"]
        time.sleep(0.05)
    counts = {kind: len(registry.resources().get(kind, {})) for kind in KINDS}
    raise RuntimeError(f"the registry did not hold everything within {limit} s: {counts}")


def last_event(registry):
    events = registry.events()
    return events[-1]["seq"] if events else 0


def run_once(node, registry, sim_port, limit):
    probes = last_stream_paths(node)
    registry.forget()  # as a registry that has never seen the node
    since = last_event(registry)
    relay = Relay(sim_port)
    try:
        node.sim_port = relay.port
        node.port = testlib.free_port()
        node.bridge_log = open(os.devnull, "w")
        started = time.monotonic()
        node.bridge = testlib.Process(
            [testlib.binary("nmos-bridge"), "/box", f"127.0.0.1:{relay.port}", "/port", str(node.port),
             "/if", "lo", "/registry", registry.address], log=node.bridge_log)
        api = first_answer(node, limit)
        served = all_served(node, limit, probes)
        node_held, held = all_held(registry, since, limit)
        connected, documents = relay.first_documents()
        return {"api": api - started, "connect": connected - started, "documents": documents - started,
                "served": served - documents, "node": node_held - documents, "registered": held - served}
    finally:
        relay.stop()
        if node.bridge:
            node.bridge.stop()
        node.bridge_log.close()
        node.bridge = node.bridge_log = None
        node.sim_port = sim_port


def ms(seconds):
    return f"{seconds * 1000:7.1f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--limit", type=float, default=30, help="give up on a run after so many s")
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build_dir)

    node = nmos_node.RunningNode(streams=STREAMS, interface="lo")
    node.start_sim()
    runs = []
    try:
        with RegistryProcess() as registry:
            print(f"aes67fw-sim with {STREAMS} + {STREAMS} streams; nmos-bridge {testlib.binary('nmos-bridge')}; "
                  f"Node API asked every {STEP * 1000:.0f} ms")
            # The registry's first registrations are slow (its schemas load): that run is not counted.
            for i in range(args.runs + 1):
                r = run_once(node, registry, node.sim_port, args.limit)
                label = f"run {i}" if i else "run 0 (warms the registry up, not counted)"
                print(f"{label}: api {ms(r['api'])} after start; firmware connected {ms(r['connect'])}, "
                      f"documents {ms(r['documents'])} after start; served {ms(r['served'])} after the "
                      f"documents; node registered {ms(r['node'])} after the documents; all registered "
                      f"{ms(r['registered'])} after all were served")
                if i:
                    runs.append(r)
    finally:
        node.stop()
    for key, what in (("api", "process start -> first Node API answer"),
                      ("served", "firmware's first two documents -> 64 senders and 64 receivers served"),
                      ("registered", "all served -> registry holds all 258 resources"),
                      ("documents", "process start -> firmware's first two documents")):
        values = [r[key] for r in runs]
        print(f"{what}: median {ms(statistics.median(values))}, worst {ms(max(values))} (n={len(values)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
