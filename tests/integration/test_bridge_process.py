"""The nmos-bridge process: start-up, supervision and the ways it ends."""
import os
import resource
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import testlib  # noqa: E402


class BridgeProcess(unittest.TestCase):
    def start(self, *args, stdin=None):
        import subprocess
        port = testlib.free_port()
        p = testlib.Process([testlib.binary("nmos-bridge"), "/port", str(port), "/box", "127.0.0.1:1", *args],
                            stdin=stdin if stdin is not None else subprocess.DEVNULL)
        self.addCleanup(p.stop)
        return p, port

    def test_serves_and_ends_with_status_0_soon_after_sigint(self):
        p, port = self.start()
        self.assertTrue(testlib.wait_for_port(port), "the HTTP server never opened its port")
        status, headers, body = testlib.request("GET", port, "/nothing/here")
        self.assertEqual(status, 404)
        self.assertEqual(headers.get("access-control-allow-origin"), "*")
        # SIGINT is the main thread's alone: every other thread has it blocked.
        masks = {}
        for tid in os.listdir(f"/proc/{p.pid}/task"):
            with open(f"/proc/{p.pid}/task/{tid}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            masks[int(tid)] = bool(int(fields["SigBlk"], 16) & (1 << (signal.SIGINT - 1)))
        self.assertFalse(masks.pop(p.pid), "the main thread blocks SIGINT")
        self.assertTrue(masks, "no worker thread")
        self.assertTrue(all(masks.values()), masks)
        start = time.time()
        p.signal(signal.SIGINT)
        self.assertEqual(p.wait(5), 0, p.output)
        self.assertLess(time.time() - start, 2.5)
        self.assertIn("QELNMOSBridgeWorker removed", p.output)

    def test_second_sigint_ends_at_once_with_status_1(self):
        p, port = self.start()
        self.assertTrue(testlib.wait_for_port(port))
        p.signal(signal.SIGINT)
        time.sleep(0.2)  # the first one is taken; the process ends at its next poll
        p.signal(signal.SIGINT)
        self.assertEqual(p.wait(5), 1)

    def test_three_failed_startups_end_the_process_with_status_0(self):
        with socket.socket() as busy:
            busy.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)
            busy.bind(("0.0.0.0", 0))
            busy.listen()
            port = busy.getsockname()[1]
            p = testlib.Process([testlib.binary("nmos-bridge"), "/port", str(port), "/box", "127.0.0.1:1"])
            self.addCleanup(p.stop)
            self.assertEqual(p.wait(30), 0, p.output)
        self.assertEqual(p.output.count("call to lws_create_context() failed!"), 3, p.output)

    def test_background_bridge_without_terminal_neither_stops_nor_spins(self):
        p, port = self.start()
        self.assertTrue(testlib.wait_for_port(port))
        time.sleep(2)
        self.assertIsNone(p.proc.poll(), "the bridge ended without being asked")
        with open(f"/proc/{p.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        state = fields[0]
        cpu_ticks = int(fields[11]) + int(fields[12])
        self.assertNotEqual(state, "T", "the bridge was stopped (SIGTTIN?)")
        # An idle worker waits on its loop; a spinning one would burn about two seconds here.
        self.assertLess(cpu_ticks / os.sysconf("SC_CLK_TCK"), 1.0)
        p.signal(signal.SIGINT)
        self.assertEqual(p.wait(5), 0)


if __name__ == "__main__":
    unittest.main()
