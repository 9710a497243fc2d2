"""unittest base class: one simulator per test, ended by PID afterwards, which must exit with 0."""

import re
import unittest

from sim_process import SimulatorProcess

UUID_RE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


class SimTestCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = SimulatorProcess(args=self.sim_args)
        self.sim.start()
        self.addCleanup(self._stop_sim)
        self.clients = []

    def _stop_sim(self):
        for ws in self.clients:
            ws.close()
        code = self.sim.stop()
        self.assertEqual(code, 0, "aes67fw-sim did not exit cleanly")

    def connect(self, **kwargs):
        ws = self.sim.websocket(**kwargs)
        self.clients.append(ws)
        return ws

    def connect_and_read_documents(self):
        """A client that has read the two documents every connection starts with."""
        ws = self.connect()
        config = ws.recv_json()
        state = ws.recv_json()
        self.assertEqual(config["cmd"], 0)
        self.assertEqual(state["cmd"], 1)
        return ws, config, state

    def sync_with(self, ws):
        """Returns once the simulator has processed everything `ws` sent before: an unknown command is
        answered with "cmd" -1 in order."""
        ws.send_json({"cmd": 2})
        ws.wait_for(lambda m: m.get("cmd") == -1)


def main():
    unittest.main(verbosity=2)
