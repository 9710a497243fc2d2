"""Start and end of the daemon: boot counter, signals, firmware clients coming and going."""
import signal
import struct
import time
import unittest

import qelproto as qp
from fwstandin import FirmwareStandIn
from qeltest import Daemon, calls, read_file, write_file


class LifecycleTest(unittest.TestCase):
    def test_boot_counter_counts_and_reboots_on_eleventh_start(self):
        write_file("/root/cnt", b"3\n")
        d = Daemon().wait_ready()
        self.assertEqual(read_file("/root/cnt").strip(), b"4")
        self.assertEqual(d.stop(), 1)
        before = len(calls("busybox-calls"))
        write_file("/root/cnt", b"10\n")
        d = Daemon()
        rc = d.proc.wait(60)  # the process became the reboot command
        self.assertEqual(rc, 0, d.output())
        self.assertEqual(len(calls("busybox-calls")), before + 1)
        write_file("/root/cnt", b"0\n")

    def test_each_signal_cleans_up(self):
        for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM):
            d = Daemon().wait_ready()
            c = qp.BlockClient()
            c.send(qp.ID_READ_ANNOUNCE)
            c.expect(qp.ID_READ_ANNOUNCE)
            d.proc.send_signal(sig)
            lines = c.log_lines(5)
            c.close()
            self.assertEqual(d.stop(), 1)
            out = d.output()
            self.assertIn("Got signal %d." % sig, out)
            self.assertIn("Cleaning up, Done.", out)
            self.assertIn("Cleaning up...", lines)

    def test_firmware_reconnects_and_split_records(self):
        d = Daemon().wait_ready()
        try:
            c = qp.BlockClient()
            for round_ in range(2):
                fw = FirmwareStandIn()
                c.ask_until_answered(0x00000042, b"round %d" % round_)
                # A record arriving in pieces is still one record.
                raw = qp.record(0x00000043, b"pieces", 10)
                for i in range(0, len(raw), 50):
                    fw.send(raw[i:i + 50])
                    time.sleep(0.05)
                self.assertEqual(c.expect(0x00000043), b"pieces")
                fw.close()
                time.sleep(0.2)
            c.close()
        finally:
            self.assertEqual(d.stop(), 1)
        self.assertIn("starting qelconnect", d.output())
        self.assertIn("qelconnect:", d.output())


if __name__ == "__main__":
    unittest.main()
