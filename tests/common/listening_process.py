"""A program under test that listens on a port and names it in its first line on stdout
("<prefix>ADDR:PORT"): started, asked over HTTP, and ended by its PID.

Subclasses set `name` and `ready_prefix` and build the command line."""

import http.client
import json
import os
import select
import signal
import subprocess
import time

# Guards against hanging for ever; no test depends on these being short.
START_LIMIT = 60.0
STOP_LIMIT = 60.0


class ListeningProcess:
    name = "the program"
    ready_prefix = None

    def __init__(self, command):
        self.command = list(command)
        self.proc = None
        self.host = None
        self.port = None
        self.returncode = None
        # An ssl.SSLContext when the program serves HTTPS: request() then speaks it.
        self.ssl_context = None

    @property
    def address(self):
        """HOST:PORT it listens on."""
        return f"{self.host}:{self.port}"

    @property
    def pid(self):
        return self.proc.pid

    def start(self):
        self.proc = subprocess.Popen(self.command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            line = self._read_ready_line()
        except Exception:
            self.kill()
            raise
        host, _, port = line[len(self.ready_prefix):].rpartition(":")
        self.host, self.port = host, int(port)
        return self

    def _read_ready_line(self):
        deadline = time.monotonic() + START_LIMIT
        fd = self.proc.stdout.fileno()
        data = b""
        while b"\n" not in data:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RuntimeError("%s did not report that it listens" % self.name)
            if select.select([fd], [], [], remaining)[0]:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise RuntimeError("%s ended before listening (exit %s)" % (self.name, self.proc.wait()))
                data += chunk
        line = data.split(b"\n", 1)[0].decode()
        if not line.startswith(self.ready_prefix):
            raise RuntimeError("unexpected first line from %s: %r" % (self.name, line))
        return line

    def stop(self, sig=signal.SIGTERM):
        """Ends the program by PID and returns its exit code."""
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
        """Ends the program at once (SIGKILL)."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc is not None:
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

    def request(self, method, path, body=None, headers=None, timeout=30):
        """(status, headers dict with lower-case names, body bytes); a dict or list body goes as JSON."""
        if self.ssl_context is not None:
            conn = http.client.HTTPSConnection(self.host, self.port, timeout=timeout, context=self.ssl_context)
        else:
            conn = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
                headers = dict({"Content-Type": "application/json"}, **(headers or {}))
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data
        finally:
            conn.close()
