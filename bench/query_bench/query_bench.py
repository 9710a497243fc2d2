#!/usr/bin/python3
"""Query client benchmark of nmos-bridge with a mock IS-04 registry on loopback:
(a) the time from a remote sender's rename at the registry (its Registration API answer) to the receiver
    document at the Node API that shows the sender, for a receiver whose firmware follows the new name;
(b) how many grains per second the client absorbs while it knows 1,000 remote senders (every grain renames
    one of them, so each one changes the name table and refreshes the receivers), with the bridge's CPU use;
(c) the bridge's CPU use while subscribed and idle;
(d) one sync grain of many senders (10,000 by default, as the registry holds them, each with "pre" and
    "post"): how long the node takes to learn them and the bridge's peak resident memory (VmHWM), beside
    that of a node whose registry holds none.
Prints figures; asserts nothing.

    bench/query_bench/query_bench.py [BUILD_DIR] [--renames 30] [--senders 1000] [--grains 5000]
                                     [--sync-senders 10000]

Every program runs on loopback and is ended by its PID."""
import argparse
import json
import os
import statistics
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

NODE = "/x-nmos/node/v1.2"
TICKS = os.sysconf("SC_CLK_TCK")
LIMIT = 120


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def wait(predicate, what, step=0.001, limit=LIMIT):
    value = nmos_node.wait_until(predicate, limit=limit, step=step)
    if not value:
        raise RuntimeError("not reached: " + what)
    return value


def vm_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def sync_grain(count):
    """(d): a node subscribing to a registry that holds `count` senders of another node."""
    figures = {}
    for held in (0, count):
        registry = RegistryProcess(expiry=3600).start()
        node = None
        try:
            template = None
            if held:
                # A sender document as this node makes them, without its id and label.
                probe = nmos_node.RunningNode(streams=1).start()
                try:
                    template = {k: v for k, v in probe.get_json(f"{NODE}/senders")[0].items()
                                if k not in ("id", "label")}
                finally:
                    probe.stop()
                registry._json("POST", "/test/populate", {"count": held, "template": template})
            started = time.monotonic()
            node = nmos_node.RunningNode(streams=8, registries=[registry.address]).start()
            wait(lambda: sorted(s["resource_path"] for s in registry.subscriptions() if s["sockets"])
                 == ["/receivers", "/senders"], "subscriptions", step=0.05)
            subscribed = time.monotonic()
            wait(lambda: query_stats(node)["LearntNames"] >= held, "names learnt", step=0.02)
            learnt = time.monotonic()
            time.sleep(0.5)
            grain_bytes = len(json.dumps([{"path": "x" * 36, "pre": template, "post": template}])) * held \
                if held else 0
            figures[held] = (vm_kib(node.bridge.pid, "VmHWM"), vm_kib(node.bridge.pid, "VmRSS"),
                             learnt - subscribed, grain_bytes, query_stats(node))
        finally:
            if node:
                node.stop()
            registry.stop()
    base, big = figures[0], figures[count]
    print(f"(d) sync grain of {count} senders (about {big[3] / 2**20:.1f} MiB): learnt {big[4]['LearntNames']} "
          f"names in {big[2]:.2f} s after the websockets opened ({count / max(big[2], 1e-6):.0f} items/s)")
    print(f"    bridge peak resident memory (VmHWM): {big[0] / 1024:.1f} MiB, against {base[0] / 1024:.1f} MiB "
          f"with an empty registry (+{(big[0] - base[0]) / 1024:.1f} MiB); resident afterwards "
          f"{big[1] / 1024:.1f} MiB")


def query_stats(node):
    return node.get_json("/stats")["HostedServices"]["NMOSQuery"]


def spread(values):
    values = sorted(values)
    return (f"median {statistics.median(values) * 1000:.1f} ms, p90 {values[int(len(values) * 0.9)] * 1000:.1f} ms, "
            f"max {values[-1] * 1000:.1f} ms (n={len(values)})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--renames", type=int, default=30)
    parser.add_argument("--senders", type=int, default=1000)
    parser.add_argument("--grains", type=int, default=5000)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--sync-senders", type=int, default=10000)
    parser.add_argument("--only-sync", action="store_true", help="run (d) alone")
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build)
    os.environ.setdefault("QEL_AVAHI_DAEMON_START", "")
    os.environ.setdefault("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent")  # never the machine's bus
    if args.sync_senders:
        sync_grain(args.sync_senders)
    if args.only_sync:
        return 0

    registry = RegistryProcess(expiry=3600).start()
    node = None
    try:
        node = nmos_node.RunningNode(streams=8, registries=[registry.address]).start()
        wait(lambda: sorted(s["resource_path"] for s in registry.subscriptions() if s["sockets"])
             == ["/receivers", "/senders"], "subscriptions", step=0.1)
        pid = node.bridge.pid

        # A second node with the remote senders.
        far = dict(node.get_json(f"{NODE}/self"), id=str(uuid.uuid4()), label="far node")
        device = dict(node.get_json(f"{NODE}/devices")[0], id=str(uuid.uuid4()), node_id=far["id"],
                      senders=[], receivers=[])
        template = node.get_json(f"{NODE}/senders")[0]
        registry.register("node", far)
        registry.register("device", device)
        senders = [dict(template, id=str(uuid.uuid4()), label=f"Remote {i}", device_id=device["id"], flow_id=None)
                   for i in range(args.senders)]
        started = time.monotonic()
        for s in senders:
            registry.register("sender", s)
        wait(lambda: query_stats(node)["LearntNames"] >= args.senders, "names learnt", step=0.05)
        print(f"{args.senders} remote senders registered and learnt in {time.monotonic() - started:.2f} s")

        # (c) idle, subscribed, with the names known.
        time.sleep(1.0)
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(args.idle_seconds)
        idle = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0) * 100
        print(f"idle and subscribed: CPU {idle:.2f} % of one core over {args.idle_seconds:.0f} s")

        # (a) rename latency: firmware slot 0 follows "Renamed Feed"; sender 0 takes and gives up that name.
        scenario = node.sim_json("GET", "/scenario")
        for doc in (scenario["config"], scenario["state"]):
            doc["rx-streams"][0].update(source="Renamed Feed", enabled=True)
        node.sim_json("PUT", "/scenario/config", scenario["config"])
        node.sim_json("PUT", "/scenario/state", scenario["state"])
        receiver = f"{NODE}/receivers/{scenario['config']['rx-streams'][0]['id']}"

        def follows():
            return node.get_json(receiver)["subscription"]["sender_id"]

        wait(lambda: follows() is None, "receiver free")
        took, back = [], []
        target = senders[0]
        for _ in range(args.renames):
            time.sleep(0.25)  # a rename after a pause, as an operator makes it
            t = time.monotonic()
            registry.register("sender", dict(target, label="Renamed Feed"))
            wait(lambda: follows() == target["id"], "rename shown")
            took.append(time.monotonic() - t)
            time.sleep(0.25)
            t = time.monotonic()
            registry.register("sender", target)
            wait(lambda: follows() is None, "rename back shown")
            back.append(time.monotonic() - t)
        print(f"(a) rename at the registry -> receiver refreshed at the Node API: {spread(took)}")
        print(f"    rename away -> receiver shows no sender:                       {spread(back)}")

        # (b) grains absorbed with the remote senders known.
        before = query_stats(node)["Grains"]
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        registry._json("POST", "/test/ws/storm", {"count": args.grains, "resource_path": "/senders"})
        wait(lambda: query_stats(node)["Grains"] >= before + args.grains, "grains absorbed", step=0.01)
        elapsed = time.monotonic() - t0
        cpu = (cpu_seconds(pid) - cpu0) / elapsed * 100
        storm = registry._json("GET", "/test/ws/storm")
        print(f"(b) {args.grains} one-rename grains with {args.senders} remote senders known: "
              f"{args.grains / elapsed:.0f} grains/s absorbed ({elapsed:.2f} s, bridge CPU {cpu:.0f} % of one core; "
              f"the mock sent them in {storm['seconds']:.2f} s)")
        print(f"    client statistics: {json.dumps({k: v for k, v in query_stats(node).items() if k in ('Grains', 'GrainItems', 'BadGrains', 'Refreshes', 'LearntNames', 'State')})}")
    finally:
        if node:
            node.stop()
        registry.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
