"""Starts the mock registry on a free loopback port for a test and drives its control endpoints.

    with RegistryProcess(expiry=12) as registry:
        bridge = start the node with "/registry", registry.address
        registry.wait_for(lambda held: len(held["senders"]) == 8)
        registry.set_fault("status", status=503, count=2)   # or "hang", "close", "delay", "none"
        for r in registry.requests(path="/x-nmos/registration/v1.2/health/"): ...
        registry.forget()                                     # as a registry restarting empty
    # leaving the block ends the registry by its PID (SIGTERM) and keeps its exit code in returncode

The schema folder comes from the argument, else from QEL_NMOS_SCHEMAS, else the registry's default.
"""

import http.client
import json
import os
import select
import signal
import subprocess
import sys
import time

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mock_registry.py")
READY_PREFIX = "mock-registry listening on "
REGISTRATION = "/x-nmos/registration/v1.2"
# Guards against hanging for ever; no test depends on these being short.
START_LIMIT = 30.0
STOP_LIMIT = 30.0


class RegistryProcess:
    def __init__(self, expiry=None, schemas=None, listen="127.0.0.1:0"):
        self.args = ["--listen", listen]
        if expiry is not None:
            self.args += ["--expiry", str(expiry)]
        if schemas is not None:
            self.args += ["--schemas", schemas]
        self.proc = None
        self.host = None
        self.port = None
        self.returncode = None

    @property
    def address(self):
        """HOST:PORT, as the node's command line takes a registry."""
        return f"{self.host}:{self.port}"

    @property
    def pid(self):
        return self.proc.pid

    def start(self):
        self.proc = subprocess.Popen([sys.executable, SCRIPT] + self.args, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        try:
            line = self._read_ready_line()
        except Exception:
            self.kill()
            raise
        self.host, _, port = line[len(READY_PREFIX):].rpartition(":")
        self.port = int(port)
        return self

    def _read_ready_line(self):
        deadline = time.monotonic() + START_LIMIT
        fd = self.proc.stdout.fileno()
        data = b""
        while b"\n" not in data:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RuntimeError("the mock registry did not report that it listens")
            if select.select([fd], [], [], remaining)[0]:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise RuntimeError("the mock registry ended before listening (exit %s)" % self.proc.wait())
                data += chunk
        line = data.split(b"\n", 1)[0].decode()
        if not line.startswith(READY_PREFIX):
            raise RuntimeError("unexpected first line from the mock registry: %r" % line)
        return line

    def stop(self, sig=signal.SIGTERM):
        """Ends the registry by its PID and returns its exit code."""
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
        """Ends the registry at once, as a registry host that vanishes."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc is not None:
            self._finish()

    def _finish(self):
        self.returncode = self.proc.returncode
        self.proc.stdout.close()
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- HTTP -------------------------------------------------------------------------------------

    def request(self, method, path, body=None, headers=None, timeout=10):
        """(status, headers with lower-case names, body bytes); a dict or list body is sent as JSON."""
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

    def _json(self, method, path, body=None):
        status, _, data = self.request(method, path, body)
        if status != 200:
            raise RuntimeError(f"{method} {path} on the mock registry answered {status}: {data!r}")
        return json.loads(data)

    # -- Registration API, for tests that play the node themselves ----------------------------------

    def register(self, rtype, doc):
        """(status, headers, body) of POST /resource with {"type": rtype, "data": doc}."""
        return self.request("POST", REGISTRATION + "/resource", {"type": rtype, "data": doc})

    def heartbeat(self, node_id):
        return self.request("POST", f"{REGISTRATION}/health/nodes/{node_id}")

    def unregister(self, rtype, rid):
        return self.request("DELETE", f"{REGISTRATION}/resource/{rtype}s/{rid}")

    # -- control ----------------------------------------------------------------------------------

    def resources(self):
        """{"nodes": {id: document}, "devices": {...}, ...}: what the registry holds now."""
        return self._json("GET", "/test/resources")

    def requests(self, since=0, path=None, method=None):
        """Requests received after sequence number `since`, oldest first, optionally only those whose
        path starts with `path` and whose method is `method`. Each has seq, time, monotonic, method,
        path, query, headers (lower-case names), body (text or None), status (None: not answered), fault."""
        log = self._json("GET", f"/test/requests?since={since}")
        return [r for r in log if (path is None or r["path"].startswith(path))
                and (method is None or r["method"] == method)]

    def last_seq(self):
        """Sequence number of the latest request so far, for a later requests(since=...)."""
        log = self._json("GET", "/test/requests")
        return log[-1]["seq"] if log else 0

    def events(self, since=0):
        """created/updated/deleted/forgotten events of held resources; deleted ones carry a reason:
        "request", "parent" (removed with its parent) or "expiry" (node without heartbeat)."""
        return self._json("GET", f"/test/events?since={since}")

    def set_fault(self, mode, **options):
        """mode "none", "status" (status=500), "hang", "close" or "delay" (seconds=1.0); options path
        (prefix, default "/x-nmos/"), method and count (only the next N requests)."""
        return self._json("POST", "/test/fault", dict(options, mode=mode))

    def fault(self):
        return self._json("GET", "/test/fault")

    def forget(self):
        self._json("POST", "/test/forget")

    def wait_for(self, predicate, limit=30.0, step=0.1):
        """Polls resources() until predicate(resources) is true; returns them, or None after `limit` s."""
        deadline = time.monotonic() + limit
        while True:
            held = self.resources()
            if predicate(held):
                return held
            if time.monotonic() >= deadline:
                return None
            time.sleep(step)
