"""Query grains as a registry may frame them, against the bridge's websocket client: text that is not
UTF-8 in a frame far longer than the client's receive buffer closes that websocket and nothing else (the
bridge lives and subscribes again), and labels beyond ASCII split across continuation frames are learnt.
The registry (tests/registry/big_grain_registry.py) writes its frames by hand, on loopback."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import testlib  # noqa: E402

REGISTRY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "registry",
                        "big_grain_registry.py")
LIMIT = 240.0 if testlib.TARGET_RUNNER else 60.0


class GrainFraming(unittest.TestCase):
    def run_bridge(self, *registry_args):
        log = tempfile.NamedTemporaryFile("w+", prefix="bigreg-", suffix=".log")
        self.addCleanup(log.close)
        reg = subprocess.Popen([sys.executable, "-u", REGISTRY] + list(registry_args),
                               stdout=subprocess.PIPE, stderr=log, text=True)
        self.addCleanup(lambda: (reg.kill(), reg.wait(), reg.stdout.close()))
        address = reg.stdout.readline().strip().rpartition(" ")[2]
        sim = testlib.Process([testlib.binary("aes67fw-sim"), "--listen", "127.0.0.1:0", "--streams", "2"])
        self.addCleanup(sim.stop)
        sim_port = int(sim.readline(30).strip().rpartition(":")[2])
        port = testlib.free_port()
        bridge_log = tempfile.NamedTemporaryFile("w+", prefix="bridge-", suffix=".log")
        self.addCleanup(bridge_log.close)
        bridge = testlib.Process([testlib.binary("nmos-bridge"), "/box", f"127.0.0.1:{sim_port}", "/port",
                                  str(port), "/if", "lo", "/registry", address], log=bridge_log)
        self.addCleanup(bridge.stop)
        testlib.wait_for_port(port, LIMIT)
        return bridge, port, log, bridge_log

    def query_stats(self, port):
        status, _, body = testlib.request("GET", port, "/stats", timeout=30)
        self.assertEqual(status, 200)
        return json.loads(body)["HostedServices"]["NMOSQuery"]

    def test_a_byte_that_is_not_utf8_closes_the_websocket_and_the_bridge_subscribes_again(self):
        # About 1 MB in one frame, the bad byte 100,000 bytes in: the rest of the frame is far more
        # than the receive buffer.
        bridge, port, log, bridge_log = self.run_bridge("--shape", "small", "--items", "7000",
                                                       "--bad-byte-at", "100000", "--paths", "/senders")
        deadline = time.monotonic() + LIMIT
        opened = 0
        while time.monotonic() < deadline and opened < 3:
            self.assertIsNone(bridge.proc.poll(), "the bridge died")
            log.seek(0)
            opened = sum(1 for line in log if " ws /x-nmos/query/" in line and "path=/senders" in line)
            time.sleep(0.2)
        self.assertGreaterEqual(opened, 3, "the bridge did not subscribe again after the bad grain")
        self.assertEqual(self.query_stats(port)["LearntNames"], 0)
        self.assertIsNone(bridge.proc.poll(), "the bridge died")
        bridge_log.seek(0)
        self.assertIn("a text message that is not UTF-8: connection closed", bridge_log.read())

    def test_labels_beyond_ascii_split_across_frames_are_learnt(self):
        bridge, port, _, bridge_log = self.run_bridge("--shape", "small", "--items", "3000", "--utf8",
                                                      "--fragment", "4095", "--paths", "/senders")
        deadline = time.monotonic() + LIMIT
        learnt = 0
        while time.monotonic() < deadline and learnt < 3000:
            self.assertIsNone(bridge.proc.poll(), "the bridge died")
            try:
                learnt = self.query_stats(port)["LearntNames"]
            except (OSError, ValueError, KeyError):
                pass
            time.sleep(0.2)
        self.assertGreaterEqual(learnt, 3000)
        bridge_log.seek(0)
        self.assertNotIn("not UTF-8", bridge_log.read())


if __name__ == "__main__":
    unittest.main()
