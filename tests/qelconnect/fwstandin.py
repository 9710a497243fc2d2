"""Stand-in for the device's local firmware process: connects to "/tmp/fws", answers pass-through blocks,
supplies an announce record and asks the daemon for broadcasts and log lines.
Run alone (python3 fwstandin.py) it answers pass-through blocks until interrupted."""
import queue
import socket
import struct
import threading
import time

import qelproto as qp

FWS_PATH = "/tmp/fws"


class FirmwareStandIn:
    def __init__(self, path=FWS_PATH, answer=True):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        deadline = qp.Deadline(20)
        while True:
            try:
                self.sock.connect(path)
                break
            except OSError:
                if deadline.expired():
                    raise
                time.sleep(0.05)
        self.answer = answer
        self.received = queue.Queue()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.thread.join(5)
        self.sock.close()

    def _read_record(self):
        raw = b""
        while len(raw) < qp.RECORD_SIZE:
            chunk = self.sock.recv(qp.RECORD_SIZE - len(raw))
            if not chunk:
                return None
            raw += chunk
        return raw

    def _run(self):
        while True:
            try:
                raw = self._read_record()
            except OSError:
                return
            if raw is None:
                return
            block_id, source, n, data = qp.parse_record(raw)
            self.received.put((block_id, source, n, data[:n], raw))
            if self.answer and block_id < 0x80000000 and block_id != qp.ID_FW_DATAGRAM:
                self.send(qp.record(block_id, b"ANS:" + data[:min(n, 200)], source))

    def send(self, raw):
        with self.lock:
            self.sock.sendall(raw)

    def announce(self, data):
        self.send(qp.record(qp.ID_FW_ANNOUNCE, data))

    def broadcast(self, data):
        self.send(qp.record(qp.ID_FW_BROADCAST, data))

    def log(self, level, flags, text):
        self.send(qp.record(qp.ID_FW_LOG, struct.pack(">iI", level, flags) + text))

    def expect(self, predicate, timeout=10.0):
        """Next received record (id, source, len, data, raw) that satisfies predicate."""
        deadline = qp.Deadline(timeout)
        while not deadline.expired():
            try:
                rec = self.received.get(timeout=deadline.left())
            except queue.Empty:
                break
            if predicate(rec):
                return rec
        raise AssertionError("firmware stand-in: no such record")


if __name__ == "__main__":
    fw = FirmwareStandIn()
    fw.thread.join()
