"""The daemon under the load of several tools for a minute (QEL_SOAK_SECONDS): uploads of one target and of
their own files, downloads, pass-through blocks, settings changes by TCP and broadcast, datagrams for the
firmware. Every request is answered, every file a reader sees is whole, nothing is left behind."""
import os
import queue
import random
import re
import struct
import threading
import time
import unittest

import qelproto as qp
from qeltest import DaemonTest, read_file, write_file
from test_netsettings import IPCONFIG, record

SECONDS = float(os.environ.get("QEL_SOAK_SECONDS", "60"))
# Every upload is written durably (fsync): with this load on a busy disk an answer can take many seconds.
ANSWER_TIMEOUT = 30
# A broadcast answer that has not come by then was dropped; the question is asked again.
UDP_ANSWER_TIMEOUT = 5
CONFIG = "/config/config"
KEPT = ("IPMASK=255.255.0.0\nBROADCAST=10.77.255.255\nGATEWAY=10.77.0.254\nDHCPON=0\nMAIL=10.77.0.25\n"
        "TIME1=10.77.0.11\n")
WHOLE_IPCONFIG = re.compile(r"HOSTNAME=[a-z0-9-]+\nIPADDR=10\.77\.\d+\.\d+\n" + re.escape(KEPT) +
                            r"TIME2=[0-9.]+\nTIME3=[0-9.]+\nNTP=\"[ 0-9p.-]*\"\n\Z")


def udp_drops(pid):
    """Datagrams the kernel dropped for the daemon's UDP socket because its receive buffer was full."""
    inodes = {os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)}
    with open("/proc/net/udp") as f:
        rows = [line.split() for line in f][1:]
    return sum(int(r[-1]) for r in rows if "socket:[%s]" % r[9] in inodes)


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class SoakTest(DaemonTest):
    def setUp(self):
        super().setUp()
        write_file("/config/ipconfig", IPCONFIG.encode())
        write_file("/config/TZ", b"CET-1CEST\n")
        write_file(CONFIG, b"first configuration\n")
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.failures = []
        self.counts = {}
        self.slowest = 0.0
        self.config_crcs = {qp.crc32(b"first configuration\n")}

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def fail_with(self, text):
        with self.lock:
            self.failures.append(text)
        self.stop.set()

    def timed(self, what, fn, *args, **kw):
        started = time.monotonic()
        result = fn(*args, **kw)
        with self.lock:
            self.slowest = max(self.slowest, time.monotonic() - started)
        self.count(what)
        return result

    def worker(self, fn, *args):
        def run():
            try:
                while not self.stop.is_set():
                    fn(*args)
            except Exception as e:  # noqa: BLE001 - every failure of a tool ends the soak
                self.fail_with("%s: %r" % (fn.__name__, e))
        return threading.Thread(target=run, name=fn.__name__)

    def tool(self, c, n, rnd):
        content = rnd.randbytes(rnd.randint(0, 20000))
        with self.lock:
            self.config_crcs.add(qp.crc32(content))
        results = self.timed("config uploads", qp.upload, c, b"#Config", content, timeout=ANSWER_TIMEOUT)[2]
        if [r[0] for r in results] != [qp.FT_UPLOAD_NOTICE, qp.FT_OK]:
            raise AssertionError("upload of #Config answered %r" % results)
        own = b"/ram/soak-%d" % n
        content = rnd.randbytes(rnd.randint(1, 5000))
        if self.timed("own uploads", qp.upload, c, own, content, timeout=ANSWER_TIMEOUT)[2][-1][0] != qp.FT_OK:
            raise AssertionError("upload of %r refused" % own)
        code, got, crc, _ = self.timed("downloads", qp.download, c, own, timeout=ANSWER_TIMEOUT)
        if (code, got, crc) != (qp.FT_OK, content, qp.crc32(content)):
            raise AssertionError("download of %r differs" % own)
        c.send(0x00000200 + n, b"tool %d" % n)
        if self.timed("pass-through answers", c.expect, 0x00000200 + n, ANSWER_TIMEOUT) != b"ANS:tool %d" % n:
            raise AssertionError("wrong pass-through answer")

    def tcp_settings(self, c, rnd):
        i = rnd.randint(1, 250)
        c.send(qp.ID_NET_SETTINGS, record(b"tcp-%d" % i, 0, "10.77.1.%d" % i)[:30])
        c.send(qp.ID_NET_SETTINGS, struct.pack(">I", qp.SERIAL))
        answer = self.timed("settings read answers", c.expect, qp.ID_NET_SETTINGS, ANSWER_TIMEOUT)
        self.count("settings writes")
        if answer[30:34] != bytes([255, 255, 0, 0]) or answer[50:59] != b"CET-1CEST":
            raise AssertionError("settings answer lost kept fields: %r" % answer)

    def udp_settings(self, peer, rnd):
        i = rnd.randint(1, 250)
        peer.send(struct.pack(">I", qp.ID_UDP_SETIP) + record(b"udp-%d" % i, 0, "10.77.2.%d" % i)[:30])
        self.count("settings writes")
        # Broadcasts may be dropped by a full receive buffer (the daemon's own looped-back broadcasts fill
        # it too, and it reads none while a settings write waits for the disk): a tool asks again, and so
        # does this one, for as long as any answer may take.
        answer = None
        deadline = qp.Deadline(ANSWER_TIMEOUT)
        while answer is None and not deadline.expired():
            peer.send(struct.pack(">II", qp.ID_UDP_SETIP, qp.SERIAL))
            answer = self.timed("settings read answers", peer.recv, lambda d: d[:4] == b"\xfe\0\0\x01",
                                UDP_ANSWER_TIMEOUT)
        if answer is None or answer[34:38] != bytes([255, 255, 0, 0]):
            raise AssertionError("broadcast settings read answered %r" % answer)
        time.sleep(0.02)

    def datagrams(self, peer, sent):
        peer.send(struct.pack(">II", 0x01500000, sent[0]) + b"for the firmware")
        sent[0] += 1
        time.sleep(0.01)

    def readers(self):
        text = read_file("/config/ipconfig").decode("latin-1")
        if not WHOLE_IPCONFIG.match(text):
            raise AssertionError("settings file not whole: %r" % text)
        if read_file("/config/TZ") != b"CET-1CEST\n":
            raise AssertionError("time zone file not whole")
        crc = qp.crc32(read_file(CONFIG))
        with self.lock:
            known = crc in self.config_crcs
        if not known:
            raise AssertionError("%s holds no upload's content" % CONFIG)
        self.count("file checks")
        time.sleep(0.001)

    def test_tools_settings_and_datagrams_for_a_while(self):
        pid = self.daemon.proc.pid
        # Counted once the daemon holds the firmware's connection (a pass-through block is answered only
        # through it) and the asking connection has gone again.
        probe = qp.BlockClient()
        probe.ask_until_answered(0x000001FF, b"ready")
        probe.close()
        self.wait_connections_ended()
        fds_before = open_fds(pid)
        rnd = random.Random(20261208)
        tools = [qp.BlockClient() for _ in range(3)]
        settings_client = qp.BlockClient()
        settings_peer, datagram_peer = qp.UdpPeer(), qp.UdpPeer()
        sent = [0]
        threads = [self.worker(self.tool, c, n, random.Random(rnd.random())) for n, c in enumerate(tools)]
        threads += [self.worker(self.tcp_settings, settings_client, random.Random(rnd.random())),
                    self.worker(self.udp_settings, settings_peer, random.Random(rnd.random())),
                    self.worker(self.datagrams, datagram_peer, sent),
                    self.worker(self.readers)]
        started = time.monotonic()
        try:
            for t in threads:
                t.start()
            self.stop.wait(SECONDS)
            self.stop.set()
            for t in threads:
                t.join(ANSWER_TIMEOUT * 4)
        finally:
            for c in tools + [settings_client]:
                c.close()
            settings_peer.close()
            datagram_peer.close()
        relayed = set()
        while True:
            try:
                rec = self.fw.received.get(timeout=2)
            except queue.Empty:
                break
            if rec[0] == qp.ID_FW_DATAGRAM and rec[3][:4] == b"\x01\x50\0\0":
                relayed.add(struct.unpack(">I", rec[3][4:8])[0])
        elapsed = time.monotonic() - started
        drops = udp_drops(pid)
        print("\nsoak of %.0f s: %s, %d datagrams relayed of %d (dropped by a full receive buffer: %d), slowest answer "
              "%.3f s, open descriptors %d -> %d"
              % (elapsed, ", ".join("%d %s" % (v, k) for k, v in sorted(self.counts.items())), len(relayed),
                 sent[0], drops, self.slowest, fds_before, open_fds(pid)))
        self.assertEqual(self.failures, [])
        self.assertTrue(self.daemon.alive())
        # UDP may lose datagrams while the daemon is busy (it also receives its own broadcasts and log lines),
        # but only where the kernel found its receive buffer full: none it received is lost on the way.
        self.assertLessEqual(sent[0] - len(relayed), drops)
        self.assertGreater(len(relayed), 0)
        self.assertEqual([n for d in ("/config", "/ram") for n in os.listdir(d) if ".tf" in n or ".new" in n], [])
        deadline = qp.Deadline(10)  # the tools' connection threads end and close their sockets
        while open_fds(pid) > fds_before and not deadline.expired():
            time.sleep(0.1)
        self.assertLessEqual(open_fds(pid), fds_before)


if __name__ == "__main__":
    unittest.main()
