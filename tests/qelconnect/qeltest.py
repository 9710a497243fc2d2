"""Starting and stopping the real daemon inside the sandbox (see sandbox.sh)."""
import os
import re
import shlex
import signal
import socket
import subprocess
import time
import unittest

import qelproto as qp

STATE_DIR = "/var/qeltest"


def daemon_path():
    path = os.environ.get("QELCONNECT")
    if not path:
        raise RuntimeError("QELCONNECT must name the daemon binary")
    return path


def daemon_command():
    """The daemon's command line: behind QEL_TARGET_RUNNER (an emulator) when it was built for another
    architecture."""
    return shlex.split(os.environ.get("QEL_TARGET_RUNNER", "")) + [daemon_path()]


def calls(name):
    try:
        with open(os.path.join(STATE_DIR, name)) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


class Daemon:
    count = 0

    def __init__(self):
        if not os.path.exists("/var/qeltest") or os.getpid() != 1:
            raise RuntimeError("run the daemon only inside sandbox.sh")
        Daemon.count += 1
        self.log_path = os.path.join(STATE_DIR, "daemon-%d.log" % Daemon.count)
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(daemon_command(), stdout=self.log, stderr=subprocess.STDOUT)

    def wait_ready(self):
        deadline = qp.Deadline(30)
        while not deadline.expired():
            if self.proc.poll() is not None:
                raise AssertionError("daemon ended early:\n" + self.output())
            try:
                socket.create_connection(("127.0.0.1", qp.TCP_PORT), timeout=1).close()
                if os.path.exists("/tmp/fws"):
                    time.sleep(0.2)  # let the connection thread of the probe finish
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise AssertionError("daemon not ready:\n" + self.output())

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        """SIGTERM; the daemon cleans up and exits with status 1."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.log.close()
        return rc


class DaemonTest(unittest.TestCase):
    """One daemon and one firmware stand-in for a whole test class."""

    daemon = None
    fw = None

    @classmethod
    def setUpClass(cls):
        from fwstandin import FirmwareStandIn

        cls.daemon = Daemon().wait_ready()
        cls.fw = FirmwareStandIn()

    @classmethod
    def tearDownClass(cls):
        if cls.fw:
            cls.fw.close()
        rc = cls.daemon.stop()
        out = cls.daemon.output()
        if rc != 1 or "Cleaning up, Done." not in out:
            print(out[-20000:])
        assert rc == 1, "daemon exit status %d" % rc
        assert "Cleaning up, Done." in out

    def setUp(self):
        self.assertTrue(self.daemon.alive(), self.daemon.output()[-5000:])
        self.wait_connections_ended()

    def wait_connections_ended(self):
        """Every connection slot free: the threads of connections that earlier tests closed may still be
        ending, and a connection finding no free slot is reset."""
        deadline = qp.Deadline(10)
        while not deadline.expired():
            out = self.daemon.output()
            if len(re.findall(r"\): create \d+\n", out)) <= len(re.findall(r"\): Thread \d+ ended\n", out)):
                break
            time.sleep(0.05)
