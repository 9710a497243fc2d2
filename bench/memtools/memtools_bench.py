#!/usr/bin/python3
"""Prints how long memwrite and memdump take, run against a sparse file in place of /dev/mem
(the same sandbox as the tests: private mount namespace, checked before every run).

Usage: memtools_bench.py <memwrite> <memdump>      (root only)
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools"))
import memtools_test as sandbox  # noqa: E402

RUNS = 200


def timed(label, tool, args, runs):
    start = time.perf_counter()
    out = ""
    for _ in range(runs):
        rc, out = sandbox.Sandbox.run(tool, *args)
        if rc != 0:
            print("%s failed: %d %s" % (label, rc, out))
            return None
    seconds = (time.perf_counter() - start) / runs
    print("%-34s %8.3f ms per run" % (label, seconds * 1e3))
    return seconds, out


def bench(workdir, outer_ns, memwrite, memdump):
    sandbox.enter_sandbox(workdir, outer_ns, memwrite, memdump)
    S = sandbox.Sandbox
    timed("memwrite 60000010 12345678", S.memwrite, ["60000010", "12345678"], RUNS)
    timed("memdump e000b000 20", S.memdump, ["e000b000", "20"], RUNS)
    result = timed("memdump 00100000 100000 (1 MiB)", S.memdump, ["00100000", "100000"], 10)
    if result:
        seconds, out = result
        print("%-34s %8.1f MiB/s, %d lines" % ("memdump 1 MiB throughput", 1 / seconds, out.count("\n")))
    os.close(S.fd)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--inner":
        sys.exit(bench(*sys.argv[2:]))
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(sandbox.run_in_sandbox(__file__, sys.argv[1], sys.argv[2]))
