"""Starts aes67fw-sim on a free loopback port for a test and drives its HTTP control endpoints.

    with SimulatorProcess(args=["--streams", "64"]) as sim:
        docs = sim.get_json("/scenario")
        ws = sim.websocket()            # a ws_client.WebSocketClient on "/" with "WS-protocol"
        ...
    # leaving the block ends the simulator by its PID (SIGTERM) and keeps its exit code in sim.returncode

The simulator binary comes from the argument, else from the environment variable AES67FW_SIM. A simulator
built for another architecture runs behind the command in QEL_TARGET_RUNNER (an emulator).
"""

import http.client
import json
import os
import select
import shlex
import signal
import subprocess
import time

from ws_client import WebSocketClient

READY_PREFIX = "aes67fw-sim listening on "
# Guards against hanging for ever; no test depends on these being short.
START_LIMIT = 60.0
STOP_LIMIT = 60.0


def command(binary, *args):
    """The command line that runs binary with args on this machine."""
    return shlex.split(os.environ.get("QEL_TARGET_RUNNER", "")) + [binary, *args]


class SimulatorProcess:
    def __init__(self, binary=None, args=(), listen="127.0.0.1:0"):
        self.binary = binary or os.environ.get("AES67FW_SIM")
        if not self.binary:
            raise RuntimeError("set AES67FW_SIM to the aes67fw-sim binary")
        self.args = list(args)
        self.listen = listen
        self.proc = None
        self.host = None
        self.port = None
        self.returncode = None

    def start(self):
        self.proc = subprocess.Popen(command(self.binary, "--listen", self.listen, *self.args),
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            line = self._read_ready_line()
        except Exception:
            self.kill()
            raise
        address = line[len(READY_PREFIX):]
        host, _, port = address.rpartition(":")
        self.host, self.port = host, int(port)
        return self

    def _read_ready_line(self):
        deadline = time.monotonic() + START_LIMIT
        fd = self.proc.stdout.fileno()
        data = b""
        while b"\n" not in data:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RuntimeError("aes67fw-sim did not report that it listens")
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise RuntimeError("aes67fw-sim ended before listening (exit %s)" % self.proc.wait())
                data += chunk
        line = data.split(b"\n", 1)[0].decode()
        if not line.startswith(READY_PREFIX):
            raise RuntimeError("unexpected first line from aes67fw-sim: %r" % line)
        return line

    def stop(self, sig=signal.SIGTERM):
        """Ends the simulator by PID and returns its exit code."""
        if self.proc is None:
            return self.returncode
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(STOP_LIMIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._finish()
        return self.returncode

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._finish()

    def _finish(self):
        self.returncode = self.proc.returncode
        self.proc.stdout.close()
        self.proc = None

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- HTTP -------------------------------------------------------------------------------------

    def request(self, method, path, body=None, headers=None):
        """(status, headers dict with lower-case names, body bytes)"""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data
        finally:
            conn.close()

    def get_json(self, path):
        status, _, data = self.request("GET", path)
        if status != 200:
            raise RuntimeError("GET %s answered %d" % (path, status))
        return json.loads(data)

    def put_json(self, path, doc):
        status, _, data = self.request("PUT", path, doc, {"Content-Type": "application/json"})
        return status, data

    def websocket(self, **kwargs):
        return WebSocketClient(self.host, self.port, **kwargs)
