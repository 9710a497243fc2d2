"""Helpers shared by the integration tests: free ports, processes started and ended by PID, HTTP."""
import http.client
import json
import os
import shlex
import signal
import socket
import subprocess
import time

BUILD_DIR = os.environ.get("QEL_BUILD_DIR", "")
# Programs built for another architecture run behind this command (an emulator); empty otherwise.
TARGET_RUNNER = shlex.split(os.environ.get("QEL_TARGET_RUNNER", ""))
# A bridge started by a test never reads the machine's resolver configuration, so it never asks the
# machine's DNS servers for registries: a test that wants unicast DNS-SD names its own server and domain.
os.environ.setdefault("QEL_RESOLV_CONF", "/nonexistent/qel-tests-resolv.conf")


def binary(name):
    path = os.environ.get("QEL_BIN_" + name.upper().replace("-", "_"))
    if path:
        return path
    for sub in ("src", "sim"):
        cand = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(cand):
            return cand
    raise FileNotFoundError(name)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Process:
    """A program under test; ended by its PID when the test is done."""

    def __init__(self, args, stdin=subprocess.DEVNULL, log=None, **kw):
        """`log`: a file that takes the output instead of a pipe, for a program that may write more
        than a pipe holds while nobody reads it."""
        self.proc = subprocess.Popen(TARGET_RUNNER + list(args), stdin=stdin,
                                     stdout=subprocess.PIPE if log is None else log,
                                     stderr=subprocess.STDOUT, text=True, **kw)
        self.output = ""

    @property
    def pid(self):
        return self.proc.pid

    def signal(self, sig):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def wait(self, timeout):
        try:
            out, _ = self.proc.communicate(timeout=timeout)
            self.output += out or ""
        except subprocess.TimeoutExpired:
            return None
        return self.proc.returncode

    def readline(self, timeout=10):
        """Reads one line of output (used for start-up lines such as the simulator's)."""
        import select
        deadline = time.time() + timeout
        while time.time() < deadline:
            r, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if r:
                line = self.proc.stdout.readline()
                self.output += line
                return line
        return ""

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def wait_for_port(port, timeout=10, host="127.0.0.1"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def request(method, port, path, body=None, headers=None, timeout=5, host="127.0.0.1", context=None):
    """One request on a connection of its own; over TLS when an ssl `context` is given."""
    conn = (http.client.HTTPSConnection(host, port, timeout=timeout, context=context) if context
            else http.client.HTTPConnection(host, port, timeout=timeout))
    data = body if body is None or isinstance(body, (bytes, str)) else json.dumps(body)
    conn.request(method, path, body=data, headers=headers or {})
    resp = conn.getresponse()
    payload = resp.read()
    result = (resp.status, dict((k.lower(), v) for k, v in resp.getheaders()), payload)
    conn.close()
    return result
