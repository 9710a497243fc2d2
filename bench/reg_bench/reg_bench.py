#!/usr/bin/python3
"""Registration benchmark of nmos-bridge with mock IS-04 registries on loopback: how long until a registry
holds every resource the Node API serves (64 + 64 streams), how long a failover to a second registry takes
once the active one fails, and the bridge's CPU use, memory and registry traffic while registered and idle.
Prints figures; asserts nothing.

    bench/reg_bench/reg_bench.py [BUILD_DIR] [--idle-seconds 60] [--settle 0] [--no-hang] [--limit 120]

Every program runs on loopback and is ended by its PID."""
import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

STREAMS = 64
NODE = "/x-nmos/node/v1.2"
KINDS = ("devices", "sources", "flows", "senders", "receivers")
RESOURCE = "/x-nmos/registration/v1.3/resource"  # the mock serves v1.3: the node registers there
HEALTH = "/x-nmos/registration/v1.3/health/nodes/"
TICKS = os.sysconf("SC_CLK_TCK")
STEP = 0.05  # how often the registries are asked what they hold
CPU_TARGET = 0.15  # % of one core while registered and idle
RSS_TARGET_MIB = 12
PASSED_OVER = 60  # s a registry that failed the node is not chosen again while another one can be


class NotReached(Exception):
    pass


class NodeAPILatency:
    """GET /self of the Node API back to back on a thread of its own until stopped."""

    def __init__(self, node):
        import threading
        self.node = node
        self.times = []
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            started = time.monotonic()
            try:
                self.node.request("GET", f"{NODE}/self")
            except OSError:
                continue
            self.times.append(time.monotonic() - started)

    def stop(self):
        self.running = False
        self.thread.join()
        if not self.times:
            return "no answers"
        t = sorted(self.times)
        pick = lambda q: t[min(len(t) - 1, int(q * len(t)))] * 1000  # noqa: E731
        return f"{len(t)} requests, p50 {pick(0.5):.2f} ms, p99 {pick(0.99):.2f} ms, max {t[-1] * 1000:.2f} ms"


def cpu_ticks(pid):
    """User plus system CPU time of a process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return int(fields[11]) + int(fields[12])


def run_ns(pid):
    """CPU time of every thread of a process in ns, finer than the clock ticks of /proc/PID/stat."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total


def status_kib(pid, *names):
    found = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in names:
                found[key] = int(value.split()[0])
    return [found.get(name, 0) for name in names]


def open_sockets(pid):
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass  # closed meanwhile
    return count


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def served_ids(node):
    """{"nodes": {ids}, "devices": {ids}, ...} of what the bridge's Node API serves."""
    ids = {"nodes": {node.get_json(f"{NODE}/self")["id"]}}
    for kind in KINDS:
        ids[kind] = {d["id"] for d in node.get_json(f"{NODE}/{kind}")}
    return ids


def held_ids(registry):
    return {kind: set(docs) for kind, docs in registry.resources().items() if kind in ("nodes",) + KINDS}


def holds_everything(registry, node):
    """True once the registry holds exactly what the Node API serves, 64 senders and 64 receivers included."""
    held = held_ids(registry)
    if len(held.get("senders", ())) != STREAMS or len(held.get("receivers", ())) != STREAMS:
        return False  # not worth asking the bridge yet
    try:
        served = served_ids(node)
    except (OSError, ValueError):
        return False
    return len(served["senders"]) == STREAMS and len(served["receivers"]) == STREAMS and held == served


def wait_until_held(registry, node, limit):
    """Monotonic time at which the registry was first seen holding everything."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if holds_everything(registry, node):
            return time.monotonic()
        time.sleep(STEP)
    held = {kind: len(ids) for kind, ids in held_ids(registry).items()}
    raise NotReached(f"after {limit:.0f} s the registry at {registry.address} holds {held}")


def refusals(posts):
    """ "; refused: node x1, ..." for registrations the registry did not accept."""
    refused = {}
    for r in posts:
        if r["status"] not in (200, 201):
            rtype = json.loads(r["body"]).get("type") if r["body"] else None
            refused[rtype] = refused.get(rtype, 0) + 1
    return "; refused: " + ", ".join(f"{t} x{n}" for t, n in refused.items()) if refused else ""


def count_by_status(requests):
    counts = {}
    for r in requests:
        key = f"{r['method']} {r['status']}"
        counts[key] = counts.get(key, 0) + 1
    return ", ".join(f"{k}: {v}" for k, v in sorted(counts.items())) or "none"


class Bench:
    def __init__(self, args):
        self.args = args
        self.node = nmos_node.RunningNode(streams=STREAMS)
        self.registries = []

    def start_registries(self, count):
        for _ in range(count):
            self.registries.append(RegistryProcess().start())
        return self.registries[-count:]

    def start_bridge(self, registries):
        """(Re)starts the bridge with the given registries; returns its start time."""
        self.stop_bridge()
        self.node.registries = [r.address for r in registries]
        started = time.monotonic()
        self.node.start_bridge()
        return started

    def stop_bridge(self):
        if self.node.bridge:
            self.node.bridge.stop()
            self.node.bridge = None
        if self.node.bridge_log:
            self.node.bridge_log.close()
            self.node.bridge_log = None

    def stop_registries(self):
        for r in self.registries:
            r.stop()
        self.registries = []

    def stop(self):
        self.stop_bridge()
        self.stop_registries()
        if self.node.sim:
            self.node.sim.stop()
            self.node.sim = None

    def bridge_log_tail(self, lines=15):
        log = self.node.bridge_log
        if not log:
            return ""
        log.flush()
        log.seek(0)
        text = log.read().splitlines()
        return "\n".join("    " + line for line in text[-lines:])

    # -- figures ----------------------------------------------------------------------------------

    def registration_and_idle(self):
        (registry,) = self.start_registries(1)
        started = self.start_bridge([registry])
        port_open = time.monotonic()
        done = wait_until_held(registry, self.node, self.args.limit)
        held = held_ids(registry)
        print(f"registration: {done - started:.2f} s from the bridge's start until the registry holds all "
              f"{sum(len(ids) for ids in held.values())} resources "
              f"({', '.join(f'{len(ids)} {kind}' for kind, ids in held.items())}; polled every {STEP * 1000:.0f} ms)")
        posts = registry.requests(path=RESOURCE, method="POST")
        accepted = [r for r in posts if r["status"] in (200, 201)]
        print(f"  Node API port open after {port_open - started:.2f} s; first registration after "
              f"{posts[0]['monotonic'] - started:.2f} s (answered {posts[0]['status']}), last accepted one after "
              f"{accepted[-1]['monotonic'] - started:.2f} s")
        print(f"  requests at the registry: {count_by_status(registry.requests(path='/x-nmos/'))}"
              f"{refusals(posts)}")
        self.idle(registry)
        self.stop_bridge()
        self.stop_registries()

    def idle(self, registry):
        pid = self.node.bridge.pid
        time.sleep(2)  # the last answers and the first heartbeat settle
        since = registry.last_seq()
        rss_before = status_kib(pid, "VmRSS")[0]
        ticks, ns, begun = cpu_ticks(pid), run_ns(pid), time.monotonic()
        time.sleep(self.args.idle_seconds)
        ticks, ns, elapsed = cpu_ticks(pid) - ticks, run_ns(pid) - ns, time.monotonic() - begun
        requests = registry.requests(since=since, path="/x-nmos/")
        beats = [r for r in requests if r["path"].startswith(HEALTH)]
        percent = ticks / TICKS / elapsed * 100
        print(f"idle CPU: {percent:.3f} % of one core over {elapsed:.0f} s ({ticks} ticks of 1/{TICKS} s; "
              f"target <= {CPU_TARGET} %); {ns / 1e7 / elapsed:.3f} % by the threads' run times; "
              f"{thread_count(pid)} threads")
        print(f"  registry requests while idle: {len(requests) / elapsed:.2f}/s ({len(beats)} heartbeats, "
              f"{len(requests) - len(beats)} others: {count_by_status(r for r in requests if r not in beats)}; "
              f"about 0.2/s expected)")
        rss, hwm = status_kib(pid, "VmRSS", "VmHWM")
        anon, files = status_kib(pid, "RssAnon", "RssFile")
        print(f"memory after idle: VmRSS {rss / 1024:.1f} MiB (anonymous {anon / 1024:.1f}, files {files / 1024:.1f}), "
              f"VmHWM {hwm / 1024:.1f} MiB (target <= {RSS_TARGET_MIB} MB); VmRSS {(rss - rss_before) / 1024:+.1f} MiB "
              f"over the idle period; {open_sockets(pid)} sockets open")

    def failover(self, mode, **fault):
        pair = self.start_registries(2)
        self.start_bridge(pair)
        active = self.active_registry(pair)
        other = pair[1] if active is pair[0] else pair[0]
        first_at = "first" if active is pair[0] else "second"
        time.sleep(self.args.settle)
        # The request log's times are this machine's monotonic clock, the same as ours.
        standby_refused = [r for r in other.requests(path="/x-nmos/") if r["status"] not in (200, 201, 204)
                           and time.monotonic() - r["monotonic"] < PASSED_OVER]
        since = active.last_seq()
        other_since = other.last_seq()
        active.set_fault(mode, **fault)
        failed = time.monotonic()
        latency = NodeAPILatency(self.node)
        try:
            done = wait_until_held(other, self.node, self.args.limit)
        except NotReached as e:
            latency.stop()
            print(f"failover ({mode}): never completed: {e}")
            print(f"  requests at the failed registry since the fault: "
                  f"{count_by_status(active.requests(since=since, path='/x-nmos/'))}")
            print(f"  requests at the other registry: {count_by_status(other.requests(since=other_since))}")
            raise
        print(f"  Node API while the registry fails ({mode}): {latency.stop()}")
        faulted = [r for r in active.requests(since=since, path="/x-nmos/") if r["fault"]]
        first_fault = faulted[0]["monotonic"] if faulted else failed
        print(f"failover ({mode}, the {first_at} registry was active): {done - failed:.2f} s from the fault until "
              f"the other registry holds everything; {done - first_fault:.2f} s from the first request that met "
              f"the fault ({faulted[0]['method'] + ' ' + faulted[0]['path'].rpartition('/')[0] if faulted else '-'})")
        print(f"  requests at the failed registry since the fault: {count_by_status(faulted)}; at the other: "
              f"{count_by_status(other.requests(since=other_since, path='/x-nmos/'))}")
        if standby_refused:
            print(f"  before the fault the other registry had refused {len(standby_refused)} request(s)"
                  f"{refusals(standby_refused)} less than {PASSED_OVER} s before; the bridge passes over a registry "
                  f"for {PASSED_OVER} s after that (--settle {PASSED_OVER + 2} measures a failover to an eligible one)")
        self.stop_bridge()
        self.stop_registries()

    def active_registry(self, pair):
        """The registry that holds everything and receives the heartbeats."""
        deadline = time.monotonic() + self.args.limit
        while time.monotonic() < deadline:
            for registry in pair:
                if holds_everything(registry, self.node):
                    since = registry.last_seq()
                    beat = nmos_node.wait_until(lambda: registry.requests(since=since, path=HEALTH), limit=10)
                    if beat and beat[-1]["status"] == 200:
                        return registry
            time.sleep(STEP)
        held = [{kind: len(ids) for kind, ids in held_ids(r).items()} for r in pair]
        raise NotReached(f"neither registry came to hold everything and receive heartbeats: {held}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", nargs="?", default="build")
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--limit", type=float, default=120, help="give up on a registration after so many s")
    parser.add_argument("--settle", type=float, default=0,
                        help="wait so many s between the registration and a registry's failure")
    parser.add_argument("--no-hang", action="store_true", help="skip the failover from a registry that hangs")
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build_dir)

    bench = Bench(args)
    failures = 0
    try:
        bench.node.start_sim()
        print(f"aes67fw-sim with {STREAMS} + {STREAMS} streams; nmos-bridge {testlib.binary('nmos-bridge')}")
        phases = [bench.registration_and_idle, lambda: bench.failover("status", status=500)]
        if not args.no_hang:
            phases.append(lambda: bench.failover("hang"))
        for phase in phases:
            try:
                phase()
            except NotReached as e:
                failures += 1
                print(f"not measured: {e}")
                if bench.node.bridge_log:
                    print("  the bridge's last log lines:\n" + bench.bridge_log_tail())
                bench.stop_bridge()
                bench.stop_registries()
    finally:
        bench.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
