#!/usr/bin/python3
"""Scheduled activation benchmark of nmos-bridge with aes67fw-sim on loopback: how late a receiver's
scheduled activation fires (the TAI time the node reports in "activation_time" of the active parameters
against the time the activation was scheduled for), and how long until the firmware's message 10 for it
reaches the simulator. Prints figures; asserts nothing.

    bench/activation_bench/activation_bench.py [BUILD_DIR] [--rounds 40] [--delay 0.3]

Every program runs on loopback and is ended by its PID."""
import argparse
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

BASE = "/x-nmos/connection/v1.0/single/receivers"


def tai_ns(text):
    seconds, nanos = text.split(":")
    return int(seconds) * 1_000_000_000 + int(nanos)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.environ.get("QEL_BUILD_DIR", "build"))
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--delay", type=float, default=0.3, help="seconds between scheduling and activation")
    args = parser.parse_args()
    os.environ["QEL_BUILD_DIR"] = os.path.abspath(args.build_dir)
    import nmos_node  # reads QEL_BUILD_DIR when imported

    node = nmos_node.RunningNode(streams=2).start()
    try:
        receiver = node.get_json("/x-nmos/node/v1.2/receivers")[0]["id"]
        senders = node.get_json("/x-nmos/node/v1.2/senders")
        late_ms, firmware_ms = [], []
        for round_ in range(args.rounds):
            sender = senders[round_ % 2]
            node.sim_json("DELETE", "/received")
            requested = f"{int(args.delay)}:{int((args.delay % 1) * 1e9)}"
            status, _, body = node.request("PATCH", f"{BASE}/{receiver}/staged", {
                "sender_id": sender["id"], "master_enable": True,
                "activation": {"mode": "activate_scheduled_relative", "requested_time": requested}})
            scheduled_at = time.monotonic()
            if status != 202:
                print(f"round {round_}: PATCH answered {status}: {body!r}")
                continue
            due = tai_ns(json.loads(body)["activation"]["activation_time"])

            def fired():
                active = node.get_json(f"{BASE}/{receiver}/active")["activation"]
                return active if active.get("activation_time") and tai_ns(active["activation_time"]) >= due else None

            def subscribed():
                return [m for m in node.sim_json("GET", "/received") if isinstance(m, dict) and m.get("cmd") == 10]

            active = nmos_node.wait_until(fired, limit=10, step=0.005)
            if not nmos_node.wait_until(subscribed, limit=10, step=0.005):
                print(f"round {round_}: no message 10")
                continue
            firmware_ms.append((time.monotonic() - scheduled_at - args.delay) * 1000)
            late_ms.append((tai_ns(active["activation_time"]) - due) / 1e6)
        for name, values in (("activation lateness (node TAI)", late_ms),
                             ("message 10 at the simulator after the due time (upper bound)", firmware_ms)):
            if values:
                values.sort()
                print(f"{name}: n={len(values)} min={values[0]:.1f} ms median={statistics.median(values):.1f} ms "
                      f"p95={values[int(len(values) * 0.95) - 1]:.1f} ms max={values[-1]:.1f} ms")
    finally:
        node.stop()


if __name__ == "__main__":
    main()
