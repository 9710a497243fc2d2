"""The daemon core: announcement, block framing, connection slots, firmware relay, logging, reboot."""
import os
import struct
import subprocess
import time
import unittest

import qelproto as qp
from qeltest import DaemonTest, calls, read_file, write_file

ANNOUNCE_HEAD = bytes([0xFE, 0x06, 0x20, 0x05])


class CoreTest(DaemonTest):
    @classmethod
    def setUpClass(cls):
        write_file("/config/ipconfig", b"HOSTNAME=studio-a-desk\nIPADDR=10.77.0.1\n")
        super().setUpClass()

    def test_announcement_broadcast_and_tcp_read(self):
        peer = qp.UdpPeer()
        try:
            first = peer.recv(lambda d: d[:4] == ANNOUNCE_HEAD)
            second = peer.recv(lambda d: d[:4] == ANNOUNCE_HEAD)
        finally:
            peer.close()
        self.assertIsNotNone(first)
        self.assertIsNotNone(second)
        self.assertEqual(len(first), 50)
        self.assertEqual(first[4:12], bytes([1, 0, 0, 0x2A, 1, 0, 0, 0x26]))
        self.assertEqual(struct.unpack(">I", first[12:16])[0], qp.SERIAL)
        self.assertEqual(first[16:25], b"\x01Mon \x01\x06\x06\x06")
        self.assertEqual(first[25:35], b"studio-a-d")  # host name cut to 10 characters
        self.assertEqual(first[35:45], bytes(10))
        self.assertEqual(first[45:50], bytes([7, 0x63, 0, 0, 0x12]))
        c = qp.BlockClient()
        try:
            c.send_raw(qp.SYNC + bytes([0, 0]) + struct.pack(">I", qp.ID_READ_ANNOUNCE))
            self.assertEqual(c.expect(qp.ID_READ_ANNOUNCE), first)
            c.send(qp.ID_READ_ANNOUNCE, b"x")  # only a request without data is answered
            self.assertIsNone(c.recv_block(1.0))
        finally:
            c.close()
        self.assertIn(b"not running", read_file("/home/httpd/firmware.xml"))

    def test_garbage_counted_and_next_frame_processed(self):
        c = qp.BlockClient()
        try:
            # The garbage ends in a broken sync sequence whose last byte starts the real frame.
            c.send_raw(b"\x11\x22\x33\x02\xa3\x02" + qp.frame(qp.ID_READ_ANNOUNCE)[1:])
            self.assertGreater(len(c.expect(qp.ID_READ_ANNOUNCE)), 0)
            deadline = qp.Deadline(15)
            page = b""
            while not deadline.expired():
                if os.path.exists("/home/httpd/connect.xml"):  # first written after 3 s without accepts
                    page = read_file("/home/httpd/connect.xml")
                if b"<err>4</err>" in page:
                    break
                time.sleep(0.3)
            self.assertIn(b"<err>4</err>", page)
            self.assertIn(b"<ip>127.0.0.1</ip>", page)
            self.assertIn(b"<con><nr>udp1</nr><ip>ext0</ip><err> </err>", page)
            self.assertIn(b"<con><nr>Firmware</nr><ip>local</ip><err> </err>", page)
        finally:
            c.close()

    def test_eleventh_connection_refused(self):
        for attempt in range(50):  # the connection threads of earlier tests may still be freeing their slots
            clients = [qp.BlockClient() for _ in range(10)]
            try:
                for c in clients:  # every slot is served
                    c.send(qp.ID_READ_ANNOUNCE)
                    c.expect(qp.ID_READ_ANNOUNCE)
                break
            except ConnectionError:
                for c in clients:
                    c.close()
                time.sleep(0.1)
        else:
            self.fail("slots of earlier connections not freed")
        try:
            extra = qp.BlockClient()
            extra.sock.settimeout(10)
            self.assertEqual(extra.sock.recv(100), b"")
            extra.close()
        finally:
            for c in clients:
                c.close()
        deadline = qp.Deadline(10)
        while not deadline.expired():  # slots come free again
            try:
                c = qp.BlockClient()
                c.send(qp.ID_READ_ANNOUNCE)
                c.expect(qp.ID_READ_ANNOUNCE, timeout=1)
                c.close()
                break
            except (AssertionError, ConnectionError):
                time.sleep(0.2)
        else:
            self.fail("slots not freed")
        self.assertIn("Socket rejected, not free socket", self.daemon.output())

    def test_pass_through_routed_to_right_connection(self):
        a, b = qp.BlockClient(), qp.BlockClient()
        try:
            a.send(0x00001234, b"from-a")
            b.send(0x00001234, b"from-b")
            seen = {}
            for _ in range(2):
                rec = self.fw.expect(lambda r: r[0] == 0x00001234)
                seen[rec[3]] = rec
                self.assertEqual(len(rec[4]), 276)
            self.assertGreaterEqual(seen[b"from-a"][1], 10)
            self.assertNotEqual(seen[b"from-a"][1], seen[b"from-b"][1])
            self.assertEqual(a.expect(0x00001234), b"ANS:from-a")
            self.assertEqual(b.expect(0x00001234), b"ANS:from-b")
            # Source 0 reaches every connection.
            self.fw.send(qp.record(0x00005555, b"to-all", 0))
            self.assertEqual(a.expect(0x00005555), b"to-all")
            self.assertEqual(b.expect(0x00005555), b"to-all")
        finally:
            a.close()
            b.close()

    def test_udp_datagrams_to_firmware_and_broadcasts_from_it(self):
        peer = qp.UdpPeer()
        try:
            peer.send(struct.pack(">I", 0x01020304) + b"hello firmware")
            rec = self.fw.expect(lambda r: r[0] == qp.ID_FW_DATAGRAM)
            self.assertEqual(rec[1], 5)
            self.assertEqual(rec[3], struct.pack(">I", 0x01020304) + b"hello firmware")
            self.fw.broadcast(b"\xab\xcd\xef\x01broadcast by firmware")
            got = peer.recv(lambda d: d.startswith(b"\xab\xcd\xef\x01"))
            self.assertEqual(got, b"\xab\xcd\xef\x01broadcast by firmware")
            # An answer with Source 5 goes out as ID and data.
            self.fw.send(qp.record(0x00000777, b"routed", 5))
            self.assertEqual(peer.recv(lambda d: d[:4] == b"\0\0\x07\x77"), b"\0\0\x07\x77routed")
            # Records whose length does not fit their destination are dropped, the next one still passes.
            self.fw.send(qp.record(0x00000778, b"x" * 268, 5, length=263))
            self.fw.send(qp.record(qp.ID_FW_ANNOUNCE, b"y" * 268, length=266))
            self.fw.send(qp.record(qp.ID_FW_BROADCAST, b"z" * 268, length=60000))
            self.fw.broadcast(b"\xab\xcd\xef\x02after")
            self.assertEqual(peer.recv(lambda d: d.startswith(b"\xab\xcd\xef")), b"\xab\xcd\xef\x02after")
        finally:
            peer.close()
        self.assertIn("dropped", self.daemon.output())

    def test_own_broadcasts_not_taken_as_requests(self):
        # The announcement loops back to the daemon's own socket every second; it must not reach the firmware.
        peer = qp.UdpPeer()
        try:
            self.assertIsNotNone(peer.recv(lambda d: d[:4] == ANNOUNCE_HEAD))
            self.assertIsNotNone(peer.recv(lambda d: d[:4] == ANNOUNCE_HEAD))
        finally:
            peer.close()
        with self.assertRaises(AssertionError):
            self.fw.expect(lambda r: r[0] == qp.ID_FW_DATAGRAM and r[3][:4] == ANNOUNCE_HEAD, timeout=1.5)

    def test_firmware_announce_record_replaces_own(self):
        self.fw.announce(b"\xfe\x06\x20\x05firmware-record")
        c = qp.BlockClient()
        try:
            deadline = qp.Deadline(10)
            while not deadline.expired():
                c.send(qp.ID_READ_ANNOUNCE)
                if c.expect(qp.ID_READ_ANNOUNCE) == b"\xfe\x06\x20\x05firmware-record":
                    break
                time.sleep(0.1)
            else:
                self.fail("firmware record not taken")
            peer = qp.UdpPeer()
            try:
                self.assertIsNotNone(peer.recv(lambda d: d == b"\xfe\x06\x20\x05firmware-record"))
            finally:
                peer.close()
        finally:
            c.close()

    def test_log_subscription_levels(self):
        quiet, chatty = qp.BlockClient(), qp.BlockClient()
        peer = qp.UdpPeer()
        try:
            chatty.send(qp.ID_SET_LOG_LEVEL, b"\x07")
            chatty.send(qp.ID_READ_ANNOUNCE)
            chatty.expect(qp.ID_READ_ANNOUNCE)
            quiet.send(qp.ID_READ_ANNOUNCE)
            quiet.expect(qp.ID_READ_ANNOUNCE)
            self.fw.log(5, 0x80000000, b"level five %s %n")
            self.fw.log(0, 0x80000000, b"level zero")
            chatty_lines = chatty.log_lines_until("level zero")
            quiet_lines = quiet.log_lines_until("level zero")
            self.assertTrue(any("ProcessBlock: Block.ID: 0x9a000004" in l for l in chatty_lines), chatty_lines)
            self.assertIn("level five %s %n", chatty_lines)
            self.assertIn("level zero", chatty_lines)
            self.assertIn("level zero", quiet_lines)
            self.assertNotIn("level five %s %n", quiet_lines)
            self.assertFalse(any("ProcessBlock" in l for l in quiet_lines))
            datagram = peer.recv(lambda d: d[:4] == b"\xfe\0\0\x02" and d.endswith(b"level zero"))
            self.assertEqual(datagram[4:10], b"\0\0\x80\0\0\0")
        finally:
            quiet.close()
            chatty.close()
            peer.close()

    def test_system_log_lines_without_a_system_log_go_to_stderr_and_never_to_the_console(self):
        # Every thread logs through one lock: a slow console (a serial line) would hold them all.
        console = None
        if os.path.exists("/dev/console"):
            console = "/var/qeltest/console"
            write_file(console, b"")
            subprocess.run(["mount", "--bind", console, "/dev/console"], check=True)
        try:
            self.fw.log(-0x7FFFFFFB, 0x80000000, b"for the system log")
            deadline = qp.Deadline(10)
            while "for the system log" not in self.daemon.output() and not deadline.expired():
                time.sleep(0.05)
            self.assertIn("for the system log", self.daemon.output())
            if console:
                self.assertEqual(read_file(console), b"")
        finally:
            if console:
                subprocess.run(["umount", "/dev/console"], check=True)

    def test_reboot_only_with_key(self):
        before = len(calls("busybox-calls"))
        c = qp.BlockClient()
        try:
            c.send(qp.ID_REBOOT, b"\xaa\x54")
            c.send(qp.ID_REBOOT)
            c.send(qp.ID_READ_ANNOUNCE)
            c.expect(qp.ID_READ_ANNOUNCE)
            self.assertEqual(len(calls("busybox-calls")), before)
            c.send(qp.ID_REBOOT, b"\xaa\x55")
            c.send(qp.ID_READ_ANNOUNCE)  # answered after the reboot command ran
            c.expect(qp.ID_READ_ANNOUNCE)
        finally:
            c.close()
        self.assertEqual(len(calls("busybox-calls")), before + 1)
        self.assertIn("reboot operating system", self.daemon.output())


if __name__ == "__main__":
    unittest.main()
