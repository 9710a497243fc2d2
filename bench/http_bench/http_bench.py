#!/usr/bin/python3
"""HTTP benchmark of the Node API: requests per second, latency percentiles and the bridge's CPU time per
request of GET /x-nmos/node/<version>/self and GET /x-nmos/node/<version>/senders with 64 senders, with
and without client keep-alive, at each version asked for (v1.2 unless told), and the bridge's resident
memory before and after. Prints figures; asserts nothing. With --tls the node gets an RSA and an ECDSA
certificate (made here, signed by a CA made here) and everything is measured over HTTPS, and then new TLS
handshakes per second with each key type (openssl s_time, one client, full handshakes).

    bench/http_bench/http_bench.py BUILD_DIR [--seconds 10] [--connections 16] [--threads 2] [--versions v1.2,v1.3] [--tls]

Needs wrk (and the openssl command for --tls). Both programs run on loopback and are ended by their PIDs."""
import argparse
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
               "cpu/request": f"{cpu / max(requests, 1) * 1e6:.0f} us"}
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
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build_dir)
    url_paths = [f"/x-nmos/node/{v}/{leaf}" for v in args.versions.split(",") for leaf in URL_LEAVES]

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


if __name__ == "__main__":
    main()
