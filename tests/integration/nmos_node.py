"""A running node for the API tests: aes67fw-sim and an nmos-bridge that mirrors it, both on loopback,
started once per test class and ended by their PIDs."""
import http.client
import json
import ssl
import tempfile
import time

import testlib

READY_PREFIX = "aes67fw-sim listening on "
# Guards against hanging; no test depends on how fast the node comes up.
START_LIMIT = 60.0


def wait_until(predicate, limit=START_LIMIT, step=0.1):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


class RunningNode:
    def __init__(self, streams=8, registries=(), interface="lo", host="127.0.0.1", extra_args=(),
                 ca_file=None):
        """extra_args: further options of the bridge ("/tls-cert", ...); ca_file: the CA of the node's
        own certificate, when it has one: its API is then asked over https first, then over http."""
        self.streams = streams
        self.extra_args = list(extra_args)
        self.ssl_context = ssl.create_default_context(cafile=ca_file) if ca_file else None
        # The interface whose address the node advertises, and that address, where its server listens.
        self.interface = interface
        self.host = host
        self.registries = list(registries)  # "HOST:PORT" of registries named on the command line
        self.sim = None
        self.bridge = None
        self.sim_port = None
        self.port = None
        self.bridge_log = None

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()  # nothing may outlive a failed start
            raise

    def _start(self):
        self.start_sim()
        self.start_bridge()
        if not wait_until(self.complete):
            self.stop()
            raise RuntimeError("nmos-bridge did not mirror the simulator's streams")
        return self

    def start_sim(self, port=0):
        """The simulator, on the given loopback port (any free one by default)."""
        self.sim = testlib.Process([testlib.binary("aes67fw-sim"), "--listen", f"127.0.0.1:{port}",
                                    "--streams", str(self.streams)])
        line = self.sim.readline(START_LIMIT)
        if not line.startswith(READY_PREFIX):
            self.stop()
            raise RuntimeError("aes67fw-sim did not start: " + line + self.sim.output)
        self.sim_port = int(line.strip().rpartition(":")[2])

    def start_bridge(self):
        """The bridge, following the firmware at sim_port (which need not answer yet)."""
        self.port = testlib.free_port()
        # Its warnings (one per resource whose deregistration times out) would fill a pipe. The node's own
        # interface is the loopback one, so every URL it advertises stays on this machine.
        self.bridge_log = tempfile.TemporaryFile(mode="w+")
        self.bridge = testlib.Process([testlib.binary("nmos-bridge"), "/box", f"127.0.0.1:{self.sim_port}",
                                       "/port", str(self.port), "/if", self.interface]
                                      + [arg for r in self.registries for arg in ("/registry", r)]
                                      + self.extra_args,
                                      log=self.bridge_log)
        if not testlib.wait_for_port(self.port, START_LIMIT, self.host):
            self.stop()
            raise RuntimeError("nmos-bridge never opened its port")

    def complete(self):
        """True once every stream of the simulator shows as a sender and a receiver."""
        try:
            senders = self.get_json("/x-nmos/node/v1.2/senders")
            receivers = self.get_json("/x-nmos/node/v1.2/receivers")
        except (OSError, ValueError):
            return False
        return len(senders) == self.streams and len(receivers) == self.streams

    def served(self, version="v1.3"):
        """Everything the Node API serves at an IS-04 version, as a registry that the node registers with
        at that version holds it: {"nodes": {id: doc}, "devices": ...}."""
        held = {"nodes": {}}
        node = self.get_json(f"/x-nmos/node/{version}/self")
        held["nodes"][node["id"]] = node
        for kind in ("devices", "sources", "flows", "senders", "receivers"):
            held[kind] = {d["id"]: d for d in self.get_json(f"/x-nmos/node/{version}/{kind}")}
        return held

    def stop(self):
        for p in (self.bridge, self.sim):
            if p:
                p.stop()
        if self.bridge_log:
            self.bridge_log.close()

    # The bridge's HTTP server.
    def request(self, method, path, body=None, headers=None, timeout=5):
        if self.ssl_context is not None:
            try:
                conn = http.client.HTTPSConnection(self.host, self.port, timeout=timeout, context=self.ssl_context)
                data = body if body is None or isinstance(body, (bytes, str)) else json.dumps(body)
                conn.request(method, path, body=data, headers=headers or {})
                resp = conn.getresponse()
                result = (resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read())
                conn.close()
                return result
            except (ssl.SSLError, ConnectionError, http.client.HTTPException):
                pass  # not (yet) served over TLS: plain http
        return testlib.request(method, self.port, path, body, headers, timeout=timeout, host=self.host)

    def get_json(self, path):
        status, _, body = self.request("GET", path)
        if status != 200:
            raise ValueError(f"GET {path} answered {status}")
        return json.loads(body)

    # The simulator's control endpoints.
    def sim_request(self, method, path, body=None):
        return testlib.request(method, self.sim_port, path, body)

    def sim_json(self, method, path, body=None):
        status, _, payload = self.sim_request(method, path, body)
        if status != 200:
            raise ValueError(f"{method} {path} on the simulator answered {status}")
        return json.loads(payload)
