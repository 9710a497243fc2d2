#!/usr/bin/python3
"""HTTP benchmark of the Node API: requests per second and latency percentiles of
GET /x-nmos/node/v1.2/senders with 64 senders, with and without client keep-alive, and the bridge's
resident memory before and after. Prints figures; asserts nothing.

    bench/http_bench/http_bench.py BUILD_DIR [--seconds 10] [--connections 16] [--threads 2]

Needs wrk. Both programs run on loopback and are ended by their PIDs."""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402

URL_PATH = "/x-nmos/node/v1.2/senders"
STREAMS = 64


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_wrk(port, args, extra):
    cmd = ["wrk", "-t", str(args.threads), "-c", str(args.connections), "-d", f"{args.seconds}s", "--latency",
           *extra, f"http://127.0.0.1:{port}{URL_PATH}"]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    figures = {"requests/s": re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)}
    for pct in ("50", "75", "90", "99"):
        m = re.search(rf"^\s+{pct}%\s+(\S+)", out, re.M)
        figures[f"p{pct}"] = m.group(1) if m else "?"
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    figures["errors"] = (errors.group(1) if errors else "none") + (f", non-2xx {non2xx.group(1)}" if non2xx else "")
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    testlib.BUILD_DIR = os.path.abspath(args.build_dir)

    node = nmos_node.RunningNode(streams=STREAMS).start()
    try:
        status, _, body = node.request("GET", URL_PATH)
        print(f"GET {URL_PATH}: {status}, {len(body)} bytes, {STREAMS} senders")
        before = vm_rss_kib(node.bridge.pid)
        print(f"bridge VmRSS before: {before} KiB")
        for label, extra in (("keep-alive", []), ("Connection: close", ["-H", "Connection: close"])):
            f = run_wrk(node.port, args, extra)
            print(f"{label:>18}: {f['requests/s']} req/s, latency p50 {f['p50']} p75 {f['p75']} "
                  f"p90 {f['p90']} p99 {f['p99']}; socket errors: {f['errors']}")
        after = vm_rss_kib(node.bridge.pid)
        print(f"bridge VmRSS after: {after} KiB ({after - before:+d} KiB)")
    finally:
        node.stop()


if __name__ == "__main__":
    main()
