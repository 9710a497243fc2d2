"""The bridge's HTTP server at its connection limit (512 open at once, 128 from one address): a burst of
clients far over the limit is served in full, the clients over the limit waiting in the listen queue
instead of being closed; and when the open connections are idle keep-alive ones, a new client takes the
place of the one idle longest at once instead of waiting for the idle ones to time out. Figures are
printed, nothing is timed."""
import os
import resource
import selectors
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

SELF = "/x-nmos/node/v1.2/self"
REQUEST = b"GET " + SELF.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n"
MAX_CONNECTIONS = 512
PER_ADDRESS = 128
# A guard against a hung server, not a timing check.
LIMIT = 120.0
BURST_ADDRESSES = 16
BURST_PER_ADDRESS = 125


class Client:
    """One non-blocking connection from a given loopback address that sends one GET and reads its answer."""

    def __init__(self, source, port):
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.sock.bind((source, 0))
        self.sock.connect_ex(("127.0.0.1", port))
        self.out = REQUEST
        self.data = b""
        self.status = None
        self.closed = False

    def answered(self):
        """The whole first response is in (status line, headers and body)."""
        head, sep, body = self.data.partition(b"\r\n\r\n")
        if not sep:
            return False
        length = [int(h.split(b":")[1]) for h in head.split(b"\r\n") if h.lower().startswith(b"content-length:")]
        if len(body) < (length[0] if length else 0):
            return False
        self.status = head.split(b"\r\n")[0]
        return True


def run(clients, limit=LIMIT):
    """Sends every client's request and reads until each has its answer or was closed unanswered."""
    sel = selectors.DefaultSelector()
    for c in clients:
        sel.register(c.sock, selectors.EVENT_WRITE | selectors.EVENT_READ, c)
    pending = len(clients)
    deadline = time.monotonic() + limit
    while pending and time.monotonic() < deadline:
        for key, events in sel.select(timeout=1.0):
            c = key.data
            if events & selectors.EVENT_WRITE and c.out:
                try:
                    c.out = c.out[c.sock.send(c.out):]
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    c.out = b""
                if not c.out:
                    sel.modify(c.sock, selectors.EVENT_READ, c)
                continue
            if events & selectors.EVENT_READ:
                try:
                    chunk = c.sock.recv(65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    chunk = b""
                if chunk:
                    c.data += chunk
                else:
                    c.closed = True
                if c.closed or c.answered():
                    sel.unregister(c.sock)
                    pending -= 1
    sel.close()


def still_open(sock):
    """True while the server keeps the connection open (nothing to read, no end)."""
    try:
        return sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


class ConnectionLimits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Thousands of client sockets besides the node's own.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        cls.node = nmos_node.RunningNode(streams=2).start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def server_stats(self):
        return self.node.get_json("/stats")["HostedServices"]["NMOSNODEHTTPServer"]

    def close_all(self, clients):
        for c in clients:
            c.sock.close()

    def wait_until_closed(self):
        """Until the server holds no connection but the one asking."""
        self.assertTrue(nmos_node.wait_until(lambda: self.server_stats()["Connections"] <= 1, limit=LIMIT))

    def test_a_burst_far_over_the_limit_is_answered_in_full(self):
        before = self.server_stats()
        clients = [Client(f"127.0.0.{1 + i % BURST_ADDRESSES}", self.node.port)
                   for i in range(BURST_ADDRESSES * BURST_PER_ADDRESS)]
        try:
            start = time.monotonic()
            run(clients)
            elapsed = time.monotonic() - start
            answered = [c for c in clients if c.status == b"HTTP/1.1 200 OK"]
            print(f"\n{len(clients)} connections at once from {BURST_ADDRESSES} addresses: {len(answered)} answered "
                  f"in {elapsed:.2f} s ({len(clients) / elapsed:.0f} per second)", file=sys.stderr)
            self.assertEqual(len(answered), len(clients),
                             f"{sum(c.closed and not c.status for c in clients)} closed unanswered")
        finally:
            self.close_all(clients)
        self.wait_until_closed()
        after = self.server_stats()
        self.assertEqual(after["ConnectionsRefused"], before["ConnectionsRefused"])
        self.assertLessEqual(after["PeakConnections"], MAX_CONNECTIONS)
        # The clients kept their connections open after the answer: those over the limit got in in place
        # of idle ones (or, on a slow machine, of ones that timed out).
        displaced = after["IdleConnectionsClosed"] - before["IdleConnectionsClosed"]
        print(f"{displaced} idle connections closed to admit others, at most {after['PeakConnections']} open",
              file=sys.stderr)
        self.assertGreater(displaced, 0)

    def test_a_new_client_takes_the_place_of_the_connection_idle_longest(self):
        before = self.server_stats()
        opened = []
        try:
            # 4 x 128 keep-alive connections, each answered once and then idle: the server is full. The
            # first is answered before the others, which are opened at once (so that none has been idle
            # for long, 5 s, when the last is answered).
            idle = [Client("127.0.0.2", self.node.port)]
            opened += idle
            run(idle)
            others = [Client(f"127.0.0.{n}", self.node.port)
                      for n in range(2, 6) for _ in range(PER_ADDRESS - (n == 2))]
            idle += others
            opened += others
            run(others)
            self.assertEqual(len(idle), MAX_CONNECTIONS)
            self.assertTrue(all(c.status == b"HTTP/1.1 200 OK" for c in idle))
            self.assertTrue(all(still_open(c.sock) for c in idle), "an idle connection was closed too early")
            newcomer = Client("127.0.0.6", self.node.port)
            opened.append(newcomer)
            start = time.monotonic()
            run([newcomer])
            print(f"\nnew client beside {len(idle)} idle ones answered after {time.monotonic() - start:.3f} s",
                  file=sys.stderr)
            self.assertEqual(newcomer.status, b"HTTP/1.1 200 OK")
            # It did not wait for the idle ones to time out: only the one idle longest made room for it.
            open_now = [still_open(c.sock) for c in idle]
            self.assertEqual(open_now.count(False), 1)
            self.assertFalse(open_now[0], "the connection idle longest is the one closed")
            stats = self.server_stats()  # this request takes the place of another idle one
            self.assertEqual(stats["IdleConnectionsClosed"] - before["IdleConnectionsClosed"], 2)
            self.assertEqual(stats["ConnectionsRefused"], before["ConnectionsRefused"])
        finally:
            self.close_all(opened)
        self.wait_until_closed()

if __name__ == "__main__":
    unittest.main()
