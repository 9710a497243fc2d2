"""Starts the mock registry on a free loopback port for a test and drives its control endpoints.

    with RegistryProcess(expiry=12, versions=("v1.2", "v1.3")) as registry:  # tls=(cert, key, ca): https
        bridge = start the node with "/registry", registry.address
        registry.registration                                 # "/x-nmos/registration/v1.3": the newest
        registry.wait_for(lambda held: len(held["senders"]) == 8)
        registry.set_fault("status", status=503, count=2)   # or "hang", "close", "delay", "none"
        for r in registry.requests(path=registry.registration + "/health/"): ...
        registry.forget()                                     # as a registry restarting empty
    # leaving the block ends the registry by its PID (SIGTERM) and keeps its exit code in returncode

The schema folder comes from the argument, else from QEL_NMOS_SCHEMAS, else the registry's default.
"""

import json
import os
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))

from listening_process import ListeningProcess  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mock_registry.py")
# What the registry serves unless told otherwise.
VERSIONS = ("v1.0", "v1.2", "v1.3")


def newest(versions):
    return max(versions, key=lambda v: tuple(int(n) for n in v[1:].split(".")))


class RegistryProcess(ListeningProcess):
    name = "the mock registry"
    ready_prefix = "mock-registry listening on "

    def __init__(self, expiry=None, schemas=None, listen="127.0.0.1:0", versions=VERSIONS, tls=None,
                 auth_jwks=None, ws_host=None):
        """tls: (certificate file, key file, CA file): everything is served over TLS with that
        certificate, and the test's own requests check it against the CA (not its host name: a test
        may give it a certificate for another host on purpose). auth_jwks: the key set whose keys sign
        the bearer tokens every request below a version's root needs. ws_host: the host its "ws_href"
        names (default: the address the subscription was asked at)."""
        self.versions = tuple(versions)
        args = ["--listen", listen, "--versions", ",".join(self.versions)]
        if tls is not None:
            args += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        if auth_jwks is not None:
            args += ["--auth-jwks", auth_jwks]
        if ws_host is not None:
            args += ["--ws-host", ws_host]
        if expiry is not None:
            args += ["--expiry", str(expiry)]
        if schemas is not None:
            args += ["--schemas", schemas]
        super().__init__([sys.executable, SCRIPT] + args)
        self.tls = tls is not None
        if tls is not None:
            self.ssl_context = ssl.create_default_context(cafile=tls[2])
            self.ssl_context.check_hostname = False

    def _json(self, method, path, body=None):
        status, _, data = self.request(method, path, body)
        if status != 200:
            raise RuntimeError(f"{method} {path} on the mock registry answered {status}: {data!r}")
        return json.loads(data)

    @property
    def newest(self):
        """The newest version it serves: the one a node that serves them all registers at."""
        return newest(self.versions)

    @property
    def registration(self):
        """The Registration API's base at the newest version ("/x-nmos/registration/v1.3")."""
        return "/x-nmos/registration/" + self.newest

    @property
    def query(self):
        return "/x-nmos/query/" + self.newest

    def txt(self, pri=None):
        """The DNS-SD TXT records that advertise it truly."""
        records = ["api_proto=" + ("https" if self.tls else "http"), "api_ver=" + ",".join(self.versions), "api_auth=false"]
        return records + ([f"pri={pri}"] if pri is not None else [])

    # -- Registration API, for tests that play the node themselves ----------------------------------

    def register(self, rtype, doc, version=None):
        """(status, headers, body) of POST /resource with {"type": rtype, "data": doc}, at the newest
        version unless told another."""
        base = "/x-nmos/registration/" + (version or self.newest)
        return self.request("POST", base + "/resource", {"type": rtype, "data": doc})

    def heartbeat(self, node_id):
        return self.request("POST", f"{self.registration}/health/nodes/{node_id}")

    def unregister(self, rtype, rid):
        return self.request("DELETE", f"{self.registration}/resource/{rtype}s/{rid}")

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
        """mode "none", "status" (status=500), "hang", "close", "delay" (seconds=1.0), "omit"
        (members=["id"]: left out of subscription answers) or "rewrite" (values={"ws_href": ...}:
        replaced in them); options path (prefix, default "/x-nmos/"), method and count (only the next
        N requests)."""
        return self._json("POST", "/test/fault", dict(options, mode=mode))

    def fault(self):
        return self._json("GET", "/test/fault")

    def forget(self):
        self._json("POST", "/test/forget")

    def refuse_tokens(self, refuse=True):
        """(--auth-jwks) every bearer token is refused while `refuse` holds."""
        self._json("POST", "/test/auth", {"refuse": refuse})

    # -- Query API subscriptions --------------------------------------------------------------------

    def subscriptions(self):
        """Each subscription with id, resource_path, persist, ws_href, sockets (open now), grains (sent)."""
        return self._json("GET", "/test/subscriptions")

    def connected_paths(self):
        """The resource paths with at least one open websocket."""
        return sorted(s["resource_path"] for s in self.subscriptions() if s["sockets"])

    def close_websockets(self, resource_path=None):
        body = {} if resource_path is None else {"resource_path": resource_path}
        return self._json("POST", "/test/ws/close", body)["closed"]

    def send_raw(self, text, resource_path=None):
        """Sends `text` as it is on the open websockets (of one resource path)."""
        body = {"text": text}
        if resource_path is not None:
            body["resource_path"] = resource_path
        return self._json("POST", "/test/ws/send", body)["sent"]

    def send_bulk(self, count, resource_path="/senders", **options):
        """Sends one grain of `count` made-up items on the websockets of `resource_path` (options
        template, pre, pad: see /test/ws/bulk); returns {"sent": sockets, "bytes": grain size}."""
        return self._json("POST", "/test/ws/bulk", dict(options, count=count, resource_path=resource_path))

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
