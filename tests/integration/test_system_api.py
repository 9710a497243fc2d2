"""The IS-09 System API named with "/system": the node fetches the global configuration at the versioned
path, applies its heartbeat interval at the registry, sends its log lines as RFC 5424 datagrams to the
syslog collector it names (UDP sockets of this test on 127.0.0.1), shows the PTP settings, the system id and
what went wrong in /stats, keeps the last good settings while the API fails or serves a document that
breaks the IS-09 schema, and notices a changed system id. Everything stays on loopback."""
import copy
import json
import os
import re
import socket
import statistics
import sys
import threading
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

try:
    import jsonschema
except ImportError:  # the documents are then served unchecked
    jsonschema = None

GLOBAL = "/x-nmos/system/v1.0/global"
HEALTH = "/x-nmos/registration/v1.3/health/nodes/"
LIMIT = 60  # guards against hanging, not timing checks
ID_A = "3b8be755-08ff-452b-b217-c9151eb21193"
ID_B = "0f9a1b2c-3d4e-4f50-8a61-7b8c9d0e1f23"
RFC5424 = re.compile(r"<(\d+)>1 (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z) (\S+) nmos-bridge (\d+) - - (.*)", re.S)


# A checkout of AMWA's IS-09 repository, from QEL_IS09_SCHEMAS; without it the test's documents go out
# unchecked.
IS09 = os.environ.get("QEL_IS09_SCHEMAS", "")


def is09_schema(name):
    path = os.path.join(IS09, "APIs", "schemas", name)
    if not IS09 or not os.path.isfile(path):
        return None
    with open(path) as f:
        return json.load(f)


def global_schema():
    schema, core = is09_schema("global.json"), is09_schema("resource_core.json")
    if not schema or not core or not jsonschema:
        print(f"IS-09 schemas not found (QEL_IS09_SCHEMAS={IS09!r}) or no jsonschema: documents unchecked")
        return None
    schema["allOf"] = [core if part == {"$ref": "resource_core.json"} else part for part in schema["allOf"]]
    return schema


def document(system_id, heartbeat, syslog_port):
    return {"id": system_id, "version": "1441700172:318426300", "label": "Plant", "description": "Studio 3",
            "tags": {}, "is04": {"heartbeat_interval": heartbeat},
            "ptp": {"announce_receipt_timeout": 3, "domain_number": 57},
            "syslog": {"hostname": "127.0.0.1", "port": syslog_port},
            "syslogv2": {"hostname": "127.0.0.1", "port": 6514}}


class MockSystemAPI:
    """A System API on 127.0.0.1: serves one document (or an error status) and notes the paths asked."""

    def __init__(self):
        self.lock = threading.Lock()
        self.doc, self.status, self.paths = None, 200, []
        mock = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                with mock.lock:
                    mock.paths.append(self.path)
                    status, doc = mock.status, mock.doc
                body = json.dumps(doc if status == 200 else {"code": status, "error": "down", "debug": None})
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body.encode())

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def serve(self, doc, status=200):
        with self.lock:
            self.doc, self.status = doc, status

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class SystemAPI(unittest.TestCase):
    def setUp(self):
        self.schema = global_schema()
        self.collectors = []
        for _ in range(2):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.settimeout(0.2)
            self.addCleanup(s.close)
            self.collectors.append(s)
        self.system = MockSystemAPI()
        self.addCleanup(self.system.stop)
        self.serve(document(ID_A, 1, self.collectors[0].getsockname()[1]))
        self.registry = RegistryProcess(versions=("v1.3",)).start()
        self.addCleanup(self.registry.stop)
        self.node = nmos_node.RunningNode(streams=1, registries=[self.registry.address], args=[
            "/system", f"http://127.0.0.1:{self.system.port}", "/system-refresh", "1"]).start()
        self.addCleanup(self.node.stop)

    def serve(self, doc, valid=True, status=200):
        if self.schema and status == 200:
            errors = list(jsonschema.Draft4Validator(self.schema).iter_errors(doc))
            self.assertEqual(not errors, valid, [e.message for e in errors])
        self.system.serve(doc, status)

    def stats(self):
        return self.node.get_json("/stats")["System"]

    def wait_stats(self, predicate, what):
        got = nmos_node.wait_until(lambda: predicate(self.stats()), limit=LIMIT)
        self.assertTrue(got, f"{what}: {self.stats()}")

    def datagram(self, collector, pattern):
        """The next datagram on the collector whose message matches, as (pri, host, pid, message)."""
        def receive():
            try:
                data = collector.recv(4096).decode()
            except socket.timeout:
                return None
            m = RFC5424.fullmatch(data)
            self.assertTrue(m, data)
            self.assertLessEqual(len(data), 2048)
            return m if re.search(pattern, m.group(5)) else None
        m = nmos_node.wait_until(receive, limit=LIMIT, step=0)
        self.assertTrue(m, f"no syslog datagram matching {pattern!r}")
        return int(m.group(1)), m.group(3), int(m.group(4)), m.group(5)

    def test_settings_are_applied_kept_and_replaced(self):
        collector_a, collector_b = self.collectors
        port_a, port_b = (c.getsockname()[1] for c in self.collectors)
        # Fetched at the versioned path; what it sets is shown.
        self.wait_stats(lambda s: s["ID"] == ID_A, "the system id never showed")
        self.assertIn(GLOBAL, self.system.paths)
        s = self.stats()
        self.assertEqual((s["API"], s["HeartbeatInterval"], s["PTPDomain"], s["PTPAnnounceReceiptTimeout"]),
                         ("/system", 1, 57, 3))
        self.assertEqual(s["Syslog"], f"127.0.0.1:{port_a}")
        self.assertEqual(s["SyslogState"], f"sending to 127.0.0.1:{port_a}")
        self.assertIn("not used", s["SyslogV2"])  # TLS transport
        self.assertIsNone(s["LastError"])

        # The registry sees heartbeats about every second instead of every five.
        beats = nmos_node.wait_until(lambda: len(self.registry.requests(path=HEALTH)) >= 5 and
                                     self.registry.requests(path=HEALTH), limit=LIMIT)
        self.assertTrue(beats, "fewer than five heartbeats")
        gaps = [b["monotonic"] - a["monotonic"] for a, b in zip(beats[1:], beats[2:])]
        self.assertLess(statistics.median(gaps), 3.0, gaps)

        # A failing System API: the warning reaches the collector as RFC 5424 (facility user, warning),
        # and the settings stay.
        self.serve(None, status=500)
        pri, host, pid, message = self.datagram(collector_a, r"System API /system .*HTTP status 500")
        self.assertEqual((pri, pid), (12, self.node.bridge.pid))
        self.assertNotEqual(host, "-")
        self.wait_stats(lambda s: s["LastError"] and "500" in s["LastError"], "the failure is not shown")
        self.assertEqual((self.stats()["ID"], self.stats()["HeartbeatInterval"]), (ID_A, 1))

        # A document that breaks the schema is refused as a whole.
        bad = document(ID_B, 0, port_b)
        self.serve(bad, valid=False)
        self.wait_stats(lambda s: s["LastError"] and "heartbeat_interval" in s["LastError"],
                        "the invalid document is not refused")
        self.assertEqual((self.stats()["ID"], self.stats()["HeartbeatInterval"]), (ID_A, 1))
        for pointer, value in (("ptp", {"domain_number": 128, "announce_receipt_timeout": 3}),
                               ("id", "not-a-uuid"), ("syslog", {"hostname": "127.0.0.1", "port": 0})):
            wrong = copy.deepcopy(bad)
            wrong["is04"]["heartbeat_interval"] = 2
            wrong[pointer] = value
            self.serve(wrong, valid=False)
            self.wait_stats(lambda s: s["LastError"] and f'"{pointer}"' in s["LastError"],
                            f"the invalid {pointer} is not refused")
        self.assertEqual(self.stats()["ID"], ID_A)

        # Another system: noticed, and its settings applied afresh (the collector moves too).
        self.serve(document(ID_B, 2, port_b))
        self.wait_stats(lambda s: s["ID"] == ID_B, "the new system id never showed")
        s = self.stats()
        self.assertEqual((s["IDChanges"], s["PreviousID"], s["HeartbeatInterval"], s["Syslog"], s["LastError"]),
                         (1, ID_A, 2, f"127.0.0.1:{port_b}", None))
        self.serve(None, status=503)
        self.datagram(collector_b, r"HTTP status 503")


if __name__ == "__main__":
    unittest.main()
