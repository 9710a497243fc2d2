"""Starts aes67fw-sim on a free loopback port for a test and drives its HTTP control endpoints.

    with SimulatorProcess(args=["--streams", "64"]) as sim:
        docs = sim.get_json("/scenario")
        ws = sim.websocket()            # a ws_client.WebSocketClient on "/" with "WS-protocol"
        ...
    # leaving the block ends the simulator by its PID (SIGTERM) and keeps its exit code in sim.returncode

The simulator binary comes from the argument, else from the environment variable AES67FW_SIM. A simulator
built for another architecture runs behind the command in QEL_TARGET_RUNNER (an emulator).
"""

import json
import os
import shlex
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))

from listening_process import ListeningProcess  # noqa: E402
from ws_client import WebSocketClient  # noqa: E402

READY_PREFIX = "aes67fw-sim listening on "


def command(binary, *args):
    """The command line that runs binary with args on this machine."""
    return shlex.split(os.environ.get("QEL_TARGET_RUNNER", "")) + [binary, *args]


class SimulatorProcess(ListeningProcess):
    name = "aes67fw-sim"
    ready_prefix = READY_PREFIX

    def __init__(self, binary=None, args=(), listen="127.0.0.1:0"):
        self.binary = binary or os.environ.get("AES67FW_SIM")
        if not self.binary:
            raise RuntimeError("set AES67FW_SIM to the aes67fw-sim binary")
        super().__init__(command(self.binary, "--listen", listen, *args))

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
