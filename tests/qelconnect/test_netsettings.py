"""Network settings over TCP and by UDP broadcast: read answers, length rules of a write, refused values."""
import re
import socket
import struct
import threading
import time
import unittest

import qelproto as qp
from qeltest import DaemonTest, calls, read_file, write_file

IPCONFIG = ("HOSTNAME=desk\nIPADDR=10.77.0.1\nIPMASK=255.255.0.0\nBROADCAST=10.77.255.255\n"
            "GATEWAY=10.77.0.254\nDHCPON=0\nMAIL=10.77.0.25\nTIME1=10.77.0.11\nTIME2=10.77.0.12\n"
            "TIME3=10.77.0.13\nNTP=\" -p 10.77.0.11 -p 10.77.0.12 -p 10.77.0.13\"\n")


def addr(text):
    return socket.inet_aton(text)


def record(hostname=b"", dhcp=0, ip="0.0.0.0", mask="0.0.0.0", gateway="0.0.0.0", broadcast="0.0.0.0",
           mail="0.0.0.0", time1="0.0.0.0", tz=b"", time2="0.0.0.0", time3="0.0.0.0", serial=qp.SERIAL):
    return (struct.pack(">I", serial) + hostname.ljust(20, b"\0") + b"\0" + bytes([dhcp]) + addr(ip) +
            addr(mask) + addr(gateway) + addr(broadcast) + addr(mail) + addr(time1) + tz.ljust(50, b"\0") +
            addr(time2) + addr(time3))


class NetSettingsTest(DaemonTest):
    def setUp(self):
        super().setUp()
        write_file("/config/ipconfig", IPCONFIG.encode())
        write_file("/config/TZ", b"CET-1CEST\n")
        self.c = qp.BlockClient()

    def tearDown(self):
        self.c.close()

    def wait_setip(self, before):
        """The write is done once the settings script ran; answered blocks after it prove ordering."""
        self.c.send(qp.ID_READ_ANNOUNCE)
        self.c.expect(qp.ID_READ_ANNOUNCE)
        return len(calls("setip-calls")) - before

    def test_tcp_read_request(self):
        self.c.send(qp.ID_NET_SETTINGS, struct.pack(">I", qp.SERIAL))
        answer = self.c.expect(qp.ID_NET_SETTINGS)
        self.assertEqual(answer, record(b"desk", 0, "10.77.0.1", "255.255.0.0", "10.77.0.254", "10.77.255.255",
                                        "10.77.0.25", "10.77.0.11", b"CET-1CEST", "10.77.0.12", "10.77.0.13"))

    def test_udp_read_request_and_other_serial(self):
        peer = qp.UdpPeer()
        try:
            peer.send(struct.pack(">II", qp.ID_UDP_SETIP, qp.SERIAL + 1))
            peer.send(struct.pack(">II", qp.ID_UDP_SETIP, qp.SERIAL))
            answer = peer.recv(lambda d: d[:4] == b"\xfe\0\0\x01")
            self.assertEqual(len(answer), 112)
            self.assertEqual(answer[4:8], struct.pack(">I", qp.SERIAL))
            self.assertEqual(answer[8:12], b"desk")
            self.assertIsNone(peer.recv(lambda d: d[:4] == b"\xfe\0\0\x01", timeout=1.5))
        finally:
            peer.close()
        self.c.send(qp.ID_NET_SETTINGS, struct.pack(">I", qp.SERIAL + 1))
        self.c.send(qp.ID_READ_ANNOUNCE)
        block = self.c.recv_block()
        while block[0] == qp.ID_LOG_LINE:
            block = self.c.recv_block()
        self.assertEqual(block[0], qp.ID_READ_ANNOUNCE)  # nothing for another device

    def test_short_write_keeps_file_values(self):
        before = len(calls("setip-calls"))
        self.c.send(qp.ID_NET_SETTINGS, record(b"newname", 1, "10.77.1.5")[:30])
        self.assertEqual(self.wait_setip(before), 1)
        self.assertEqual(read_file("/config/ipconfig").decode(),
                         "HOSTNAME=newname\nIPADDR=10.77.1.5\nIPMASK=255.255.0.0\nBROADCAST=10.77.255.255\n"
                         "GATEWAY=10.77.0.254\nDHCPON=1\nMAIL=10.77.0.25\nTIME1=10.77.0.11\nTIME2=0.0.0.0\n"
                         "TIME3=0.0.0.0\nNTP=\" -p 10.77.0.11\"\n")
        self.assertEqual(read_file("/config/TZ"), b"CET-1CEST\n")

    def test_udp_full_write_with_two_time_servers(self):
        before = len(calls("setip-calls"))
        rec = record(b"bcast-set", 0, "10.1.2.3", "255.255.255.0", "10.1.2.1", "10.1.2.255", "10.1.2.4",
                     "10.1.2.10", b"UTC", "0.0.0.0", "10.1.2.30")
        peer = qp.UdpPeer()
        try:
            peer.send(struct.pack(">I", qp.ID_UDP_SETIP) + rec)
        finally:
            peer.close()
        deadline = qp.Deadline(10)
        while len(calls("setip-calls")) == before and not deadline.expired():
            time.sleep(0.05)
        self.assertEqual(len(calls("setip-calls")), before + 1)
        self.assertEqual(read_file("/config/ipconfig").decode(),
                         "HOSTNAME=bcast-set\nIPADDR=10.1.2.3\nIPMASK=255.255.255.0\nBROADCAST=10.1.2.255\n"
                         "GATEWAY=10.1.2.1\nDHCPON=0\nMAIL=10.1.2.4\nTIME1=10.1.2.10\nTIME2=0.0.0.0\n"
                         "TIME3=10.1.2.30\nNTP=\" -p 10.1.2.10 -p 10.1.2.30\"\n")
        self.assertEqual(read_file("/config/TZ"), b"UTC\n")

    def test_shell_significant_values_refused(self):
        before = len(calls("setip-calls"))
        self.c.send(qp.ID_NET_SETTINGS, record(b"evil\nIPADDR=1.1.1.1", 0, "10.77.1.5")[:30])
        self.c.send(qp.ID_NET_SETTINGS, record(b"x$(reboot)", 0, "10.77.1.5")[:30])
        self.c.send(qp.ID_NET_SETTINGS, record(b"ok", 0, "10.77.1.5", tz=b"UTC\";reboot;\"")[:100])
        self.assertEqual(self.wait_setip(before), 0)
        self.assertEqual(read_file("/config/ipconfig").decode(), IPCONFIG)
        self.assertEqual(read_file("/config/TZ"), b"CET-1CEST\n")
        self.assertIn("SETIP refused", self.daemon.output())

    def test_unterminated_fields_and_short_requests(self):
        before = len(calls("setip-calls"))
        self.c.send(qp.ID_NET_SETTINGS, b"\0\x12")  # too short: ignored
        rec = bytearray(record(b"h" * 20, 0, "10.77.1.5", tz=b"Z" * 50))
        self.c.send(qp.ID_NET_SETTINGS, bytes(rec) + b"\xff" * 40)  # longer than a record
        self.assertEqual(self.wait_setip(before), 1)
        text = read_file("/config/ipconfig").decode()
        self.assertTrue(text.startswith("HOSTNAME=" + "h" * 20 + "\nIPADDR=10.77.1.5\n"), text)
        self.assertEqual(read_file("/config/TZ"), b"Z" * 50 + b"\n")
        self.c.send(qp.ID_NET_SETTINGS, struct.pack(">I", qp.SERIAL))
        answer = self.c.expect(qp.ID_NET_SETTINGS)
        self.assertEqual(answer[4:24], b"h" * 20)
        self.assertEqual(answer[50:100], b"Z" * 50)

    def test_concurrent_writes_keep_files_whole(self):
        # Writes of host name and address from four connections and by broadcast, readers polling the files:
        # a reader sees a whole file every time, and the fields the writes keep are never lost.
        kept = ("IPMASK=255.255.0.0\nBROADCAST=10.77.255.255\nGATEWAY=10.77.0.254\nDHCPON=0\n"
                "MAIL=10.77.0.25\nTIME1=10.77.0.11\n")
        whole = re.compile(r"HOSTNAME=([tu]\d+-\d+|desk)\nIPADDR=10\.77\.\d+\.\d+\n" + re.escape(kept) +
                           r"TIME2=[0-9.]+\nTIME3=[0-9.]+\nNTP=\"[ 0-9p.-]*\"\n\Z")
        bad = []
        stop = threading.Event()

        def reader():
            while not stop.is_set():
                for path, check in (("/config/ipconfig", whole.match), ("/config/TZ", b"CET-1CEST\n".__eq__)):
                    text = read_file(path)
                    if not check(text.decode() if path.endswith("ipconfig") else text):
                        bad.append(text)

        def tcp_writer(n):
            c = qp.BlockClient()
            try:
                for i in range(40):
                    c.send(qp.ID_NET_SETTINGS, record(b"t%d-%d" % (n, i), 0, "10.77.%d.%d" % (n, i + 1))[:30])
                c.send(qp.ID_READ_ANNOUNCE)
                c.expect(qp.ID_READ_ANNOUNCE, timeout=60)
            finally:
                c.close()

        before = len(calls("setip-calls"))
        readers = [threading.Thread(target=reader) for _ in range(2)]
        writers = [threading.Thread(target=tcp_writer, args=(n,)) for n in range(4)]
        for t in readers + writers:
            t.start()
        peer = qp.UdpPeer()
        try:
            for i in range(40):
                peer.send(struct.pack(">I", qp.ID_UDP_SETIP) + record(b"u9-%d" % i, 0, "10.77.9.%d" % (i + 1))[:30])
                time.sleep(0.01)
        finally:
            peer.close()
        for t in writers:
            t.join(60)
        deadline = qp.Deadline(30)
        while len(calls("setip-calls")) < before + 200 and not deadline.expired():
            time.sleep(0.05)
        stop.set()
        for t in readers:
            t.join(10)
        self.assertEqual(bad[:3], [])
        self.assertEqual(len(calls("setip-calls")), before + 200)
        self.assertRegex(read_file("/config/ipconfig").decode(), whole)


if __name__ == "__main__":
    unittest.main()
