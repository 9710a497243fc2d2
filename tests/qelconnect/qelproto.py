"""Block protocol of the device service daemon, for tests: TCP frames, the 276-byte firmware record,
UDP datagrams on the "ext0" veth peer, and the CRC-32 of transferred files."""
import select
import socket
import struct
import time
import zlib

SYNC = bytes([0x02, 0xA3, 0x57, 0xEF])
TCP_PORT = 3008
UDP_PORT = 2009
RECORD_SIZE = 276

ID_FILE_DATA = 0x98000000
ID_START_TRANSFER = 0x99000000
ID_END_TRANSFER = 0x99000001
ID_REBOOT = 0x9A000000
ID_NET_SETTINGS = 0x9A000001
ID_LOG_LINE = 0x9A000002
ID_SET_LOG_LEVEL = 0x9A000003
ID_READ_ANNOUNCE = 0x9A000004
ID_FW_ANNOUNCE = 0x40100002
ID_FW_DATAGRAM = 0x40100003
ID_FW_BROADCAST = 0x40100004
ID_FW_LOG = 0x40100005
ID_UDP_SETIP = 0xFE000001
ID_UDP_LOG = 0xFE000002

FT_OK = 0
FT_UPLOAD_NOTICE = 0x82010001
FT_NO_HANDLE = 0xA2010001
FT_NO_FILE = 0xA2010002
FT_CANT_WRITE = 0xA2010003
FT_WRONG_CRC = 0xA2010006
FT_ABORTED = 0xA2010007

SERIAL = 0x123456
DEVICE_ADDR = "10.77.0.1"
PEER_ADDR = "10.77.0.2"


def frame(block_id, data=b"", length=None):
    n = len(data) if length is None else length
    return SYNC + bytes([n & 0xFF, 0]) + struct.pack(">I", block_id) + data


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def record(block_id, data=b"", source=0, length=None):
    """The firmware link record: Len, Source, reserved, ID in host order, then 268 data bytes."""
    n = len(data) if length is None else length
    return struct.pack("=HBBI", n, source, 0, block_id) + data.ljust(268, b"\0")[:268]


def parse_record(raw):
    n, source, _, block_id = struct.unpack("=HBBI", raw[:8])
    return block_id, source, n, raw[8:]


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.end - time.monotonic())

    def expired(self):
        return time.monotonic() >= self.end


class BlockClient:
    """A configuration tool's TCP connection."""

    def __init__(self, host="127.0.0.1", port=TCP_PORT):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.buf = b""

    def close(self):
        self.sock.close()

    def send(self, block_id, data=b"", length=None):
        self.sock.sendall(frame(block_id, data, length))

    def send_raw(self, raw):
        self.sock.sendall(raw)

    def _fill(self, timeout):
        r, _, _ = select.select([self.sock], [], [], timeout)
        if not r:
            return False
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed by the daemon")
        self.buf += chunk
        return True

    def recv_block(self, timeout=10.0):
        """Next (id, data) frame, or None when none arrives in time."""
        deadline = Deadline(timeout)
        while True:
            start = self.buf.find(SYNC)
            if start >= 0 and len(self.buf) >= start + 10:
                n = self.buf[start + 4]
                if len(self.buf) >= start + 10 + n:
                    block_id = struct.unpack(">I", self.buf[start + 6:start + 10])[0]
                    data = self.buf[start + 10:start + 10 + n]
                    self.buf = self.buf[start + 10 + n:]
                    return block_id, data
            if deadline.expired() or not self._fill(deadline.left()):
                if deadline.expired():
                    return None

    def expect(self, block_id, timeout=10.0, skip_logs=True):
        """The next block with this ID; log lines and other IDs in between are skipped."""
        deadline = Deadline(timeout)
        while not deadline.expired():
            b = self.recv_block(deadline.left())
            if b is None:
                break
            if b[0] == block_id:
                return b[1]
        raise AssertionError("no block 0x%08x" % block_id)

    def ask_until_answered(self, block_id, data, timeout=30.0):
        """Sends a pass-through block until the firmware's answer comes: the daemon drops a block it relays
        while it holds no firmware connection (a new one is taken on its next turn), and a tool asks again.
        Answers to earlier asks are skipped."""
        deadline = Deadline(timeout)
        while not deadline.expired():
            self.send(block_id, data)
            try:
                while self.expect(block_id, timeout=2) != b"ANS:" + data:
                    pass
                return
            except AssertionError:
                continue
        raise AssertionError("no answer to %r" % data)

    def collect(self, seconds):
        out = []
        deadline = Deadline(seconds)
        while not deadline.expired():
            try:
                b = self.recv_block(deadline.left())
            except ConnectionError:
                break
            if b is not None:
                out.append(b)
        return out

    def log_lines_until(self, last, timeout=10.0):
        """Log lines up to and including the line `last` (the daemon keeps their order per connection)."""
        lines = []
        deadline = Deadline(timeout)
        while not deadline.expired():
            b = self.recv_block(deadline.left())
            if b is not None and b[0] == ID_LOG_LINE:
                lines.append(b[1][6:].decode("latin-1"))
                if lines[-1] == last:
                    break
        return lines

    def log_lines(self, seconds):
        return [d[6:].decode("latin-1") for i, d in self.collect(seconds) if i == ID_LOG_LINE]


class UdpPeer:
    """A tool on the network segment: the veth end "ext0p", port 2009, broadcasts."""

    def __init__(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"ext0p")
        s.bind(("0.0.0.0", UDP_PORT))
        self.sock = s

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendto(data, ("255.255.255.255", UDP_PORT))

    def drain(self):
        while select.select([self.sock], [], [], 0)[0]:
            self.sock.recvfrom(2048)

    def recv(self, predicate=lambda d: True, timeout=10.0):
        """Next datagram from the device that satisfies predicate, or None."""
        deadline = Deadline(timeout)
        while not deadline.expired():
            r, _, _ = select.select([self.sock], [], [], deadline.left())
            if not r:
                break
            data, addr = self.sock.recvfrom(2048)
            if addr[0] == DEVICE_ADDR and predicate(data):
                return data
        return None


def start_transfer(client, mode, name, size=0, timeout=10.0):
    data = bytes(5) + mode.encode() + struct.pack(">I", size) + bytes([len(name)]) + name
    client.send(ID_START_TRANSFER, data)
    answer = client.expect(ID_START_TRANSFER, timeout)
    code, handle = struct.unpack(">IB", answer[:5])
    size = struct.unpack(">I", answer[6:10])[0]
    message = answer[11:11 + answer[10]].decode()
    return code, handle, size, message


def end_result(data):
    """(code, handle, crc, message) of an end-of-transfer block from the device."""
    code, handle, crc = struct.unpack(">IBI", data[:9])
    message = data[10:10 + data[9]].decode() if len(data) > 9 else ""
    return code, handle, crc, message


def upload(client, name, content, crc=None, expect_result=True, timeout=10.0):
    """`timeout`: how long each answer may take."""
    code, handle, _, _ = start_transfer(client, "w", name, len(content), timeout)
    if code != FT_OK:
        return code, handle, None
    for off in range(0, len(content), 250):
        client.send(ID_FILE_DATA, struct.pack(">IB", off, handle) + content[off:off + 250])
    client.send(ID_END_TRANSFER, bytes(4) + bytes([handle]) + struct.pack(">I", crc32(content) if crc is None else crc))
    results = []
    while expect_result:
        r = end_result(client.expect(ID_END_TRANSFER, timeout))
        results.append(r)
        if r[0] != FT_UPLOAD_NOTICE:
            break
    return code, handle, results


def download(client, name, answer_code=0, timeout=10.0):
    """(start code, content, device crc, offsets) of a complete download."""
    code, handle, size, _ = start_transfer(client, "r", name, 0, timeout)
    if code != FT_OK:
        return code, None, None, []
    content, offsets = b"", []
    while True:
        block_id, data = client.recv_block(30)
        if block_id == ID_FILE_DATA and data[4] == handle:
            offsets.append((struct.unpack(">I", data[:4])[0], len(data) - 5))
            content += data[5:]
        elif block_id == ID_END_TRANSFER and data[4] == handle:
            crc = struct.unpack(">I", data[5:9])[0]
            break
    client.send(ID_END_TRANSFER, struct.pack(">IB", answer_code, handle) + bytes(4) + b"\0")
    return code, content, crc, offsets
