"""aes67fw-sim HTTP side: SDP files, scenario documents, PUT pushes, scenario files, command line."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

from sim_process import SimulatorProcess, command  # noqa: E402
from sim_testcase import UUID_RE, SimTestCase, main  # noqa: E402


def sdp_lines(text):
    return [line for line in text.split("\r\n") if line]


class Sdp(SimTestCase):
    def test_every_transmit_stream_has_a_valid_sdp(self):
        docs = self.sim.get_json("/scenario")
        rate = docs["config"]["sync"]["fs"]
        for stream in docs["config"]["tx-streams"]:
            status, headers, body = self.sim.request("GET", "/sdp/%s.sdp" % stream["id"])
            self.assertEqual(status, 200)
            self.assertEqual(headers["content-type"], "application/sdp")
            lines = sdp_lines(body.decode())
            self.assertEqual(lines[0], "v=0")
            self.assertTrue(lines[1].startswith("o=- "))
            self.assertIn("s=%s" % stream["name"], lines)
            multicast = stream["address"].startswith("239.")
            self.assertIn("c=IN IP4 %s%s" % (stream["address"], "/32" if multicast else ""), lines)
            self.assertIn("t=0 0", lines)
            self.assertIn("m=audio %d RTP/AVP 96" % stream["port"], lines)
            self.assertIn("a=rtpmap:96 %s/%d/%d" % (stream["codec"], rate, stream["channels"]), lines)
            ptime = {48: "1", 6: "0.125"}[stream["samples-per-packet"]]
            self.assertIn("a=ptime:%s" % ptime, lines)
            self.assertTrue(any(line.startswith("a=ts-refclk:ptp=IEEE1588-2008:") for line in lines))
            # every line is "<letter>=<value>" and the order of session/media sections holds
            self.assertTrue(all(len(line) > 2 and line[1] == "=" for line in lines))
            self.assertLess(lines.index("t=0 0"), [i for i, l in enumerate(lines) if l.startswith("m=")][0])

    def test_unknown_sender_is_404(self):
        self.assertEqual(self.sim.request("GET", "/sdp/00000000-0000-4000-8000-000000000000.sdp")[0], 404)
        self.assertEqual(self.sim.request("GET", "/sdp/")[0], 404)
        self.assertEqual(self.sim.request("GET", "/nothing")[0], 404)

    def test_sdp_follows_a_replaced_configuration(self):
        config = self.sim.get_json("/scenario")["config"]
        stream = config["tx-streams"][0]
        stream.update(codec="L16", channels=2, src=[0, 1], address="192.168.10.77")
        self.assertEqual(self.sim.put_json("/scenario/config", config)[0], 200)
        body = self.sim.request("GET", "/sdp/%s.sdp" % stream["id"])[2].decode()
        self.assertIn("a=rtpmap:96 L16/48000/2", sdp_lines(body))
        self.assertIn("c=IN IP4 192.168.10.77", sdp_lines(body))


class DeviceAddress(unittest.TestCase):
    """The device's address ("ip" of the state, the origin of every transport file) is where the simulator
    listens, so a bridge that follows it stays on this machine; --device-ip names another (a test's own
    namespace)."""

    def addresses(self, sim):
        state = sim.get_json("/scenario")["state"]
        sender = state["tx-streams"][0]["id"]
        lines = sdp_lines(sim.request("GET", "/sdp/%s.sdp" % sender)[2].decode())
        return state["ip"], [line.rsplit(" ", 1)[1] for line in lines if line.startswith("o=")]

    def test_listening_address_unless_named(self):
        with SimulatorProcess(listen="127.0.0.2:0") as sim:
            self.assertEqual(self.addresses(sim), ("127.0.0.2", ["127.0.0.2"]))
        with SimulatorProcess(args=["--device-ip", "10.213.0.1"]) as sim:
            self.assertEqual(self.addresses(sim), ("10.213.0.1", ["10.213.0.1"]))


class ScenarioEndpoints(SimTestCase):
    def test_put_config_pushes_it_at_once(self):
        ws, config, _ = self.connect_and_read_documents()
        config["tx-streams"][3]["name"] = "Renamed"
        del config["cmd"]
        status, body = self.sim.put_json("/scenario/config", config)
        self.assertEqual(status, 200)
        pushed = ws.wait_for(lambda m: m.get("cmd") == 0)
        self.assertEqual(pushed["tx-streams"][3]["name"], "Renamed")
        self.assertEqual(json.loads(body), pushed)
        self.assertEqual(self.sim.get_json("/scenario")["config"], pushed)

    def test_put_state_pushes_it_at_once(self):
        ws, _, state = self.connect_and_read_documents()
        state["syncState"] = ["Master", "Locked"]
        state["TXTB"][0][0] = "Lead Vocal"
        self.assertEqual(self.sim.put_json("/scenario/state", state)[0], 200)
        pushed = ws.wait_for(lambda m: m.get("cmd") == 1)
        self.assertEqual(pushed["syncState"], ["Master", "Locked"])
        self.assertEqual(pushed["TXTB"][0][0], "Lead Vocal")

    def test_invalid_put_is_400_and_changes_nothing(self):
        before = self.sim.get_json("/scenario")
        for body in ("{not json", "", "[1, 2]", "\x00\xff binary"):
            status, _, _ = self.sim.request("PUT", "/scenario/config", body.encode("latin-1"))
            self.assertEqual(status, 400, repr(body))
        self.assertEqual(self.sim.request("PUT", "/scenario/state", b"null")[0], 400)
        self.assertEqual(self.sim.get_json("/scenario"), before)

    def test_wrong_methods(self):
        self.assertEqual(self.sim.request("POST", "/scenario/config", b"{}")[0], 405)
        self.assertEqual(self.sim.request("GET", "/scenario/state")[0], 405)
        self.assertEqual(self.sim.request("PUT", "/scenario", b"{}")[0], 405)

    def test_large_put_body_in_pieces(self):
        config = self.sim.get_json("/scenario")["config"]
        config["padding"] = "x" * (900 * 1024)
        body = json.dumps(config).encode()
        conn_status = self._put_in_pieces("/scenario/config", body, 7000)
        self.assertEqual(conn_status, 200)
        self.assertEqual(len(self.sim.get_json("/scenario")["config"]["padding"]), 900 * 1024)

    def test_body_over_limit_is_refused(self):
        body = json.dumps({"padding": "x" * (1024 * 1024 + 10)}).encode()
        self.assertEqual(self._put_in_pieces("/scenario/config", body, 65536), 413)
        self.assertNotIn("padding", self.sim.get_json("/scenario")["config"])

    def _put_in_pieces(self, path, body, piece):
        import http.client

        conn = http.client.HTTPConnection(self.sim.host, self.sim.port, timeout=60)
        try:
            conn.putrequest("PUT", path)
            conn.putheader("Content-Length", str(len(body)))
            conn.endheaders()
            for i in range(0, len(body), piece):
                conn.send(body[i:i + piece])
            resp = conn.getresponse()
            resp.read()
            return resp.status
        finally:
            conn.close()


class ManyStreams(SimTestCase):
    sim_args = ("--streams", "64")

    def test_64_streams_with_unique_identifiers(self):
        config = self.sim.get_json("/scenario")["config"]
        tx, rx = config["tx-streams"], config["rx-streams"]
        self.assertEqual((len(tx), len(rx)), (64, 64))
        names = [s["name"] for s in tx]
        ids = [s["id"] for s in tx] + [s["source_id"] for s in tx] + [s["id"] for s in rx]
        self.assertEqual(len(set(names)), 64)
        self.assertEqual(len(set(ids)), 192)
        self.assertTrue(all(UUID_RE.match(i) for i in ids))
        ws, ws_config, _ = self.connect_and_read_documents()
        self.assertEqual(ws_config, config)


class CommandLine(unittest.TestCase):
    binary = os.environ.get("AES67FW_SIM")

    def test_help(self):
        out = subprocess.run(command(self.binary, "--help"), capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0)
        for word in ("--listen", "--device-ip", "--scenario", "--streams", "/sdp/", "/scenario", "/received"):
            self.assertIn(word, out.stdout)

    def test_bad_arguments(self):
        for args in (["--streams", "x"], ["--listen", "nowhere"], ["--bogus"], ["--scenario"],
                     ["--device-ip", "nowhere"], ["--device-ip"]):
            out = subprocess.run(command(self.binary, *args), capture_output=True, text=True, timeout=60)
            self.assertEqual(out.returncode, 2, args)

    def test_scenario_file(self):
        docs = {"config": {"node_id": "6f1c1a52-0b1e-4b7f-9a55-3d2c1b0a9f88", "device_id":
                           "0d7f3a55-2c41-4e1a-8d3b-6b9e5c4a3f21", "sync": {"fs": 48000},
                           "tx-streams": [], "rx-streams": []},
                "state": {"mac": "02:00:00:00:00:01", "ip": "192.168.10.9", "name": "bench-unit",
                          "syncState": ["Slave", "Locked"], "tx-streams": [], "rx-streams": [],
                          "TXTB": [[]], "RXTB": [[]]}}
        with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
            json.dump(docs, f)
            f.flush()
            with SimulatorProcess(args=["--scenario", f.name]) as sim:
                loaded = sim.get_json("/scenario")
                with sim.websocket() as ws:
                    self.assertEqual(ws.recv_json(), dict(docs["config"], cmd=0))
                    self.assertEqual(ws.recv_json(), dict(docs["state"], cmd=1))
            self.assertEqual(sim.returncode, 0)
        self.assertEqual(loaded["config"], dict(docs["config"], cmd=0))

    def test_bad_scenario_file(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
            f.write("{broken")
            f.flush()
            out = subprocess.run(command(self.binary, "--listen", "127.0.0.1:0", "--scenario", f.name),
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 1)
        self.assertIn("not valid JSON", out.stderr)

    def test_sigint_ends_with_0(self):
        import signal

        sim = SimulatorProcess().start()
        try:
            with sim.websocket() as ws:
                ws.recv_json()
        finally:
            code = sim.stop(signal.SIGINT)
        self.assertEqual(code, 0)


if __name__ == "__main__":
    main()
