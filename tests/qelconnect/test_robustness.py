"""Random and hostile input on every channel; the daemon must keep serving (and, in the sanitizer build,
stay free of memory errors, which would abort it)."""
import os
import random
import socket
import struct
import time
import unittest

import qelproto as qp
from qeltest import DaemonTest, write_file

SEED = int(os.environ.get("QEL_FUZZ_SEED", "20261207"))
DEVICE_IDS = [qp.ID_FILE_DATA, qp.ID_START_TRANSFER, qp.ID_END_TRANSFER, qp.ID_NET_SETTINGS, qp.ID_LOG_LINE,
              qp.ID_SET_LOG_LEVEL, qp.ID_READ_ANNOUNCE, 0x9AFFFFFF]
FW_IDS = [qp.ID_FW_ANNOUNCE, qp.ID_FW_DATAGRAM, qp.ID_FW_BROADCAST, qp.ID_FW_LOG, 0x00000001, 0x9A000004]


class RobustnessTest(DaemonTest):
    def assert_serving(self):
        c = qp.BlockClient()
        try:
            c.send(qp.ID_SET_LOG_LEVEL, b"\0")
            content = os.urandom(777)
            _, _, results = qp.upload(c, b"/ram/after-fuzz", content)
            self.assertEqual(results[-1][0], qp.FT_OK)
            code, got, crc, _ = qp.download(c, b"/ram/after-fuzz")
            self.assertEqual((code, got, crc), (qp.FT_OK, content, qp.crc32(content)))
            c.send(0x00000101, b"still relayed")
            self.assertEqual(c.expect(0x00000101), b"ANS:still relayed")
        finally:
            c.close()
        self.assertTrue(self.daemon.alive())

    def random_frame(self, rnd):
        block_id = rnd.choice(DEVICE_IDS + [rnd.getrandbits(32) & 0x7FFFFFFF])
        data = bytearray(rnd.randbytes(rnd.randint(0, 255)))
        if block_id == qp.ID_START_TRANSFER and len(data) > 11:
            data[5] = ord(rnd.choice("rwx"))
            if rnd.random() < 0.5:  # names that exist, under the sandbox's writable places
                name = rnd.choice([b"/ram/f", b"#Config", b"/ram", b"/tmp/fws", b"/config/f"])
                data[10] = len(name) if rnd.random() < 0.7 else rnd.randint(0, 255)
                data[11:11 + len(name)] = name
        if block_id in (qp.ID_FILE_DATA, qp.ID_END_TRANSFER) and len(data) > 4:
            data[4] = rnd.randint(0, 6)
        if block_id == qp.ID_NET_SETTINGS and len(data) >= 4 and rnd.random() < 0.5:
            data[0:4] = struct.pack(">I", qp.SERIAL)
        return qp.frame(block_id, bytes(data), length=len(data))

    def test_hostile_tcp_streams(self):
        rnd = random.Random(SEED)
        write_file("/ram/f", os.urandom(3000))
        for round_ in range(30):
            clients = [qp.BlockClient() for _ in range(rnd.randint(1, 4))]
            for c in clients:
                stream = b""
                for _ in range(rnd.randint(1, 40)):
                    kind = rnd.random()
                    if kind < 0.2:
                        stream += rnd.randbytes(rnd.randint(1, 300))
                    elif kind < 0.3:
                        stream += qp.SYNC[:rnd.randint(1, 3)]
                    else:
                        stream += self.random_frame(rnd)
                if rnd.random() < 0.3:
                    stream += self.random_frame(rnd)[:rnd.randint(1, 12)]  # cut off mid-frame
                try:
                    c.send_raw(stream)
                except OSError:
                    pass
            for c in clients:
                if rnd.random() < 0.5:
                    c.collect(0.05)
                c.close()
        self.assert_serving()

    def test_hostile_datagrams(self):
        rnd = random.Random(SEED + 1)
        peer = qp.UdpPeer()
        try:
            for _ in range(400):
                n = rnd.choice([0, 1, 3, 4, 5, 8, 25, 26, 30, 100, 108, 112, 266, 267, 1400])
                data = bytearray(rnd.randbytes(n))
                if n >= 8 and rnd.random() < 0.5:
                    data[0:4] = struct.pack(">I", qp.ID_UDP_SETIP)
                    if rnd.random() < 0.5:
                        data[4:8] = struct.pack(">I", qp.SERIAL)
                peer.send(bytes(data))
            peer.drain()
        finally:
            peer.close()
        self.assert_serving()

    def test_hostile_firmware_records(self):
        rnd = random.Random(SEED + 2)
        watcher = qp.BlockClient()
        watcher.send(qp.ID_SET_LOG_LEVEL, b"\xff")
        try:
            for _ in range(600):
                block_id = rnd.choice(FW_IDS + [rnd.getrandbits(32)])
                data = rnd.randbytes(268)
                if block_id == qp.ID_FW_LOG and rnd.random() < 0.5:
                    data = struct.pack(">iI", rnd.choice([0, 5, -0x7FFFFFFB, -1]), rnd.getrandbits(32)) + \
                        b"%s%n%x%p" * 30
                length = rnd.choice([0, 7, 8, 50, 255, 256, 262, 263, 265, 266, 267, 268, 269, 65535,
                                     rnd.getrandbits(16)])
                source = rnd.choice([0, 1, 5, 9, 10, 11, 19, 20, 255])
                self.fw.send(qp.record(block_id, data, source, length=length))
            watcher.collect(0.5)
        finally:
            watcher.close()
        self.fw.announce(b"")  # an empty announce record is allowed
        self.assert_serving()

    def test_peer_that_stops_reading_is_given_up(self):
        write_file("/ram/big", os.urandom(4 << 20))
        before = self.daemon.output().count("Couldn't write to Socket")
        stuck = socket.create_connection(("127.0.0.1", qp.TCP_PORT))
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        name = b"/ram/big"
        stuck.sendall(qp.frame(qp.ID_START_TRANSFER, bytes(5) + b"r" + bytes(4) + bytes([len(name)]) + name))
        deadline = qp.Deadline(60)  # never read: the daemon gives the connection up and frees the slot
        while self.daemon.output().count("Couldn't write to Socket") == before and not deadline.expired():
            self.assertTrue(self.daemon.alive())
            time.sleep(0.2)
        stuck.close()
        self.assertGreater(self.daemon.output().count("Couldn't write to Socket"), before)
        self.assert_serving()


if __name__ == "__main__":
    unittest.main()
