#!/usr/bin/python3
"""HTTP benchmark of the Node API: requests per second, latency percentiles and the bridge's CPU time per
request of GET /x-nmos/node/<version>/self and GET /x-nmos/node/<version>/senders with 64 senders, with
and without client keep-alive, at each version asked for (v1.2 unless told), and the bridge's resident
memory before and after. Prints figures; asserts nothing. With --tls the node gets an RSA and an ECDSA
certificate (made here, signed by a CA made here) and everything is measured over HTTPS, and then new TLS
handshakes per second with each key type (openssl s_time, one client, full handshakes).

    bench/http_bench/http_bench.py BUILD_DIR [--seconds 10] [--connections 16] [--threads 2] [--versions v1.2,v1.3] [--tls]
    bench/http_bench/http_bench.py BUILD_DIR --token     # CPU per request with access tokens against without

With --token it measures, over keep-alive, a node whose Node API is open and one whose Node API needs
an access token (an authorization stand-in on loopback serves the keys; every request carries the
same valid token), and prints the ratio of the bridge's CPU time per request.

Needs wrk (and the openssl command for --tls). Both programs run on loopback and are ended by their PIDs."""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
import tlslib  # noqa: E402

URL_LEAVES = ("self", "senders")
STREAMS = 64
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system CPU time of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_wrk(port, path, pid, args, extra):
    scheme = "https" if args.tls else "http"
    cmd = ["wrk", "-t", str(args.threads), "-c", str(args.connections), "-d", f"{args.seconds}s", "--latency",
           *extra, f"{scheme}://127.0.0.1:{port}{path}"]
    cpu = cpu_seconds(pid)
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    cpu = cpu_seconds(pid) - cpu
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    figures = {"requests/s": re.search(r"Requests/sec:\s+([\d.]+)", out).group(1),
               "cpu/request": f"{cpu / max(requests, 1) * 1e6:.0f} us",
               "cpu_us": cpu / max(requests, 1) * 1e6, "requests": requests}
    for pct in ("50", "75", "90", "99"):
        m = re.search(rf"^\s+{pct}%\s+(\S+)", out, re.M)
        figures[f"p{pct}"] = m.group(1) if m else "?"
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    figures["errors"] = (errors.group(1) if errors else "none") + (f", non-2xx {non2xx.group(1)}" if non2xx else "")
    return figures


class SlowClients:
    """Clients from another loopback address that send a request head one byte every half second and
    connect again whenever the server drops them (a slow-loris attack)."""

    def __init__(self, port, count):
        self.port, self.count, self.stop, self.dropped = port, count, threading.Event(), 0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def connect(self):
        s = socket.socket()
        s.bind(("127.0.0.2", 0))
        s.connect(("127.0.0.1", self.port))
        return s

    def run(self):
        request = b"GET /x-nmos/node/v1.2/self HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 4000
        sockets = [[self.connect(), 0] for _ in range(self.count)]
        while not self.stop.wait(0.5):
            for entry in sockets:
                try:
                    entry[0].send(request[entry[1] % len(request):][:1])
                    entry[1] += 1
                except OSError:
                    self.dropped += 1
                    entry[0].close()
                    entry[:] = [self.connect(), 0]
        for s, _ in sockets:
            s.close()


def handshakes(port, pid, seconds, extra):
    """New full TLS handshakes per second of one openssl s_time client, and the bridge's CPU per handshake."""
    cpu = cpu_seconds(pid)
    out = subprocess.run(["openssl", "s_time", "-connect", f"127.0.0.1:{port}", "-new", "-time", str(seconds),
                          *extra], capture_output=True, text=True).stdout
    cpu = cpu_seconds(pid) - cpu
    m = re.search(r"(\d+) connections in ([\d.]+)s", out)
    if not m:
        return "no figures from openssl s_time"
    count = int(m.group(1))
    return (f"{count / float(m.group(2)):.0f} handshakes/s, bridge CPU "
            f"{cpu / max(count, 1) * 1e6:.0f} us per handshake")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--versions", default="v1.2", help="comma-separated Node API versions to measure")
    parser.add_argument("--slow-clients", type=int, default=50, help="slow-loris clients during the last run")
    parser.add_argument("--tls", action="store_true", help="over HTTPS (RSA and ECDSA certificates)")
    parser.add_argument("--token", action="store_true", help="compare requests with access tokens to plain ones")
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build_dir)
    url_paths = [f"/x-nmos/node/{v}/{leaf}" for v in args.versions.split(",") for leaf in URL_LEAVES]
    if args.token:
        return compare_tokens(args, url_paths)

    folder = tempfile.TemporaryDirectory(prefix="qel-bench-tls-")
    node_args, tls = [], None
    if args.tls:
        args.slow_clients = 0  # they speak plain text, which a TLS port drops at once
        ca = tlslib.TestCA(folder.name)
        for kind in ("rsa", "ecdsa"):
            chain, key, _ = ca.issue(kind, kind)
            node_args += ["/tls-cert", chain, "/tls-key", key]
        tls = ca.client_context()
    node = nmos_node.RunningNode(streams=STREAMS, args=node_args, tls=tls).start()
    try:
        before = vm_rss_kib(node.bridge.pid)
        print(f"bridge VmRSS before: {before} KiB")
        for path in url_paths:
            status, _, body = node.request("GET", path)
            print(f"GET {path}: {status}, {len(body)} bytes ({STREAMS} senders)")
            for label, extra in (("keep-alive", []), ("Connection: close", ["-H", "Connection: close"])):
                f = run_wrk(node.port, path, node.bridge.pid, args, extra)
                print(f"{label:>18}: {f['requests/s']} req/s, bridge CPU {f['cpu/request']} per request, latency "
                      f"p50 {f['p50']} p75 {f['p75']} p90 {f['p90']} p99 {f['p99']}; socket errors: {f['errors']}")
        if args.slow_clients:
            slow = SlowClients(node.port, args.slow_clients)
            slow.thread.start()
            time.sleep(1)
            f = run_wrk(node.port, url_paths[0], node.bridge.pid, args, [])
            slow.stop.set()
            slow.thread.join()
            print(f"{args.slow_clients} slow clients + keep-alive on {url_paths[0]}: {f['requests/s']} req/s, latency "
                  f"p50 {f['p50']} p99 {f['p99']}; slow connections dropped by the server: {slow.dropped}")
        if args.tls:
            for label, extra in (("TLS 1.3", []),
                                 ("TLS 1.2 ECDHE-RSA", ["-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"]),
                                 ("TLS 1.2 ECDHE-ECDSA", ["-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"])):
                print(f"{label:>20}: {handshakes(node.port, node.bridge.pid, args.seconds, extra)}")
        after = vm_rss_kib(node.bridge.pid)
        print(f"bridge VmRSS after: {after} KiB ({after - before:+d} KiB)")
    finally:
        node.stop()
        folder.cleanup()


def start_protected_node(auth, token, probe):
    """A node whose Node API needs a token: complete once the simulator's streams show to a token."""
    node = nmos_node.RunningNode(streams=STREAMS, args=["/auth", "node", "/auth-server", auth.issuer])
    try:
        node.start_sim()
        node.start_bridge()
        headers = {"Authorization": "Bearer " + token}

        def complete():
            status, _, body = node.request("GET", probe, headers=headers)
            return status == 200 and len(json.loads(body)) == STREAMS
        if not nmos_node.wait_until(complete):
            raise RuntimeError("the protected node never served its senders")
    except BaseException:
        node.stop()
        raise
    return node


def compare_tokens(args, url_paths):
    from test_authorization import StandIn  # the integration test's authorization server stand-in
    auth = StandIn()
    token = auth.token(exp=int(time.time()) + 3600, **{"x-nmos-node": {"read": ["*"]}})
    cpu = {}
    try:
        for label in ("plain", "token"):
            if label == "plain":
                node, headers = nmos_node.RunningNode(streams=STREAMS).start(), []
            else:
                node = start_protected_node(auth, token, "/x-nmos/node/v1.2/senders")
                headers = ["-H", "Authorization: Bearer " + token]
            try:
                for path in url_paths:
                    f = run_wrk(node.port, path, node.bridge.pid, args, headers)
                    cpu[(label, path)] = f["cpu_us"]
                    print(f"{label:>6} {path}: {f['requests/s']} req/s, {f['requests']} requests, bridge CPU "
                          f"{f['cpu_us']:.1f} us per request, latency p50 {f['p50']} p99 {f['p99']}; "
                          f"socket errors: {f['errors']}")
            finally:
                node.stop()
    finally:
        auth.stop()
    for path in url_paths:
        plain, tok = cpu[("plain", path)], cpu[("token", path)]
        print(f"{path}: bridge CPU per request with a token / without: {tok / max(plain, 1e-9):.2f}")


if __name__ == "__main__":
    main()
