#!/usr/bin/env python3
"""Runs the bridge against big_grain_registry.py and the firmware simulator, and reports how the bridge
fared: alive after the grains or dead (with the head of its log, e.g. a sanitizer report).

    python3 tests/registry/repro_big_grain.py BUILD_DIR [--seconds S] [registry options...]

Every option after the known ones goes to big_grain_registry.py (--deflate, --fragment 4096, ...).
Everything listens on 127.0.0.1; every process is ended by its PID. The exit status is 1 when the bridge
died.

One byte that is not UTF-8 in an uncompressed text frame longer than the client's receive buffer (64 KiB)
kills the bridge (SEGV in the websocket library's client receive path, or heap corruption in a build
without sanitizers):

    python3 tests/registry/repro_big_grain.py build-san --shape small --items 100000 --bad-byte-at 100000
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
import json

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(cmd, log, env=None):
    return subprocess.Popen(cmd, stdout=subprocess.PIPE if log is None else log, stderr=subprocess.STDOUT,
                            env=env, text=True)


def end(proc):
    if proc and proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--seconds", type=float, default=40)
    args, rest = p.parse_known_args()
    build = os.path.abspath(args.build)
    procs = []
    reg_log = tempfile.NamedTemporaryFile("w+", prefix="bigreg-", suffix=".log", delete=False)
    bridge_log = tempfile.NamedTemporaryFile("w+", prefix="bridge-", suffix=".log", delete=False)
    try:
        sim = start([f"{build}/sim/aes67fw-sim", "--listen", "127.0.0.1:0", "--streams", "4"], None)
        procs.append(sim)
        sim_port = int(sim.stdout.readline().strip().rpartition(":")[2])
        reg = subprocess.Popen([sys.executable, "-u", f"{HERE}/big_grain_registry.py"] + rest,
                               stdout=subprocess.PIPE, stderr=reg_log, text=True)
        procs.append(reg)
        reg_addr = reg.stdout.readline().strip().rpartition(" ")[2]
        port = free_port()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/bus", QEL_AVAHI_DAEMON_START="")
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
        bridge = start([f"{build}/src/nmos-bridge", "/box", f"127.0.0.1:{sim_port}", "/port", str(port),
                        "/if", "lo", "/registry", reg_addr], bridge_log, env)
        procs.append(bridge)
        t0 = time.monotonic()
        stats = None
        last_ok, max_gap = None, 0.0  # the longest the bridge's loop kept /stats waiting
        while time.monotonic() - t0 < args.seconds and bridge.poll() is None:
            time.sleep(0.1)
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats", timeout=30) as r:
                    stats = json.load(r)
                now = time.monotonic()
                if last_ok is not None:
                    max_gap = max(max_gap, now - last_ok)
                last_ok = now
            except (OSError, ValueError):
                pass
        alive = bridge.poll() is None
        print(f"options: {' '.join(rest) or '(none)'}")
        print(f"bridge: {'alive' if alive else 'died, status %s' % bridge.returncode} "
              f"after {time.monotonic() - t0:.1f} s")
        print(f"longest /stats gap: {max_gap:.2f} s")
        if stats:
            q = stats.get("HostedServices", {}).get("NMOSQuery")
            print("NMOSQuery:", json.dumps(q)[:400])
        bridge_log.flush()
        reg_log.flush()
        print(f"bridge log: {bridge_log.name}\nregistry log: {reg_log.name}")
        reg_log.seek(0)
        print("--- registry ---\n" + reg_log.read()[-2000:])
        bridge_log.seek(0)
        text = bridge_log.read()
        print("--- bridge ---\n" + text[:6000])
        return 0 if alive else 1
    finally:
        for proc in reversed(procs):
            end(proc)


if __name__ == "__main__":
    sys.exit(main())
