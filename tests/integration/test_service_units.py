"""The package's systemd units run the programs: the command line and environment that systemd makes from
each unit and its /etc/default file (from the source tree), with a test's settings added to that file as
an administrator would add them, is started as systemd starts a service (stdin /dev/null, output to a
file, a session of its own) and found serving; SIGTERM, systemd's stop, ends it as the unit expects.
nmos-bridge runs on loopback against the simulator, qelconnect inside tests/qelconnect/sandbox.sh (root).
"""
import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "qelconnect"))

import systemd_unit  # noqa: E402

SLOW = 4 if (os.environ.get("QEL_TARGET_RUNNER") or os.environ.get("QEL_SANITIZED")) else 1
STREAMS = 4
# What the bridge is given whatever the unit says: no system bus, no daemon start command and no resolver
# configuration, so that it never reaches this machine's Avahi daemon nor starts one, and asks none of
# its DNS servers for registries (unicast DNS-SD).
NO_MDNS = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/qel-tests-no-bus", "QEL_AVAHI_DAEMON_START": "",
           "QEL_RESOLV_CONF": "/nonexistent/qel-tests-resolv.conf"}


def read(path):
    with open(path) as f:
        return f.read()


def service(program, settings):
    """(words, environment) of the program's unit, its defaults file with `settings` lines appended."""
    unit = read(os.path.join(SOURCE, "packaging", "systemd", program + ".service"))
    defaults = read(os.path.join(SOURCE, "packaging", "default", program))
    files = {"/etc/default/" + program: defaults + "".join(line + "\n" for line in settings)}
    assert systemd_unit.environment_files(unit) == ["/etc/default/" + program]
    env = systemd_unit.environment(unit, files)
    return systemd_unit.exec_start(unit, env), env


def start(words, env, binary, log):
    """As systemd starts a service: the program's own path replaced by the build's, stdin /dev/null, output
    to a file (no terminal), a session of its own, only the unit's environment besides PATH."""
    runner = os.environ.get("QEL_TARGET_RUNNER", "").split()
    full = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", **env}
    return subprocess.Popen(runner + [binary] + words[1:], stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT, env=full, start_new_session=True)


def stop(proc, limit):
    """SIGTERM by PID, then SIGKILL after `limit` seconds (systemd's TimeoutStopSec); the exit status."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
    try:
        return proc.wait(limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


class UnitsTest(unittest.TestCase):
    def test_defaults_change_nothing(self):
        """The installed defaults start each program with its built-in settings; the bridge's unit brings
        the Avahi daemon back through systemd, not through the device's init script."""
        words, env = service("nmos-bridge", [])
        self.assertEqual(words, ["/usr/bin/nmos-bridge"])
        self.assertEqual(env["QEL_AVAHI_DAEMON_START"], "systemctl --no-block start avahi-daemon.service")
        words, _ = service("qelconnect", [])
        self.assertEqual(words, ["/usr/bin/qelconnect"])

    def test_bridge_serves_and_stops_on_sigterm(self):
        import nmos_node
        import testlib

        node = nmos_node.RunningNode(streams=STREAMS)
        node.start_sim()
        self.addCleanup(node.stop)
        port = testlib.free_port()
        # The administrator's settings, quoted as the defaults file shows.
        words, env = service("nmos-bridge", [
            'NMOS_BRIDGE_ARGS="/box 127.0.0.1:%d /port %d /if lo"' % (node.sim_port, port),
        ] + ["%s=%s" % item for item in NO_MDNS.items()])
        self.assertEqual(words, ["/usr/bin/nmos-bridge", "/box", "127.0.0.1:%d" % node.sim_port, "/port",
                                 str(port), "/if", "lo"])
        log = tempfile.TemporaryFile()
        self.addCleanup(log.close)
        proc = start(words, env, testlib.binary("nmos-bridge"), log)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))

        def senders():
            try:
                status, _, _ = testlib.request("GET", port, "/x-nmos/node/v1.3/self")
                if status != 200:
                    return None
                status, _, body = testlib.request("GET", port, "/x-nmos/node/v1.3/senders")
                return status == 200 and len(json.loads(body)) == STREAMS
            except (OSError, ValueError):
                return None

        self.assertTrue(nmos_node.wait_until(senders, 30 * SLOW), "the node never served the senders")
        begun = time.monotonic()
        # systemd's stop; the unit waits 15 s before it kills.
        self.assertEqual(stop(proc, 15 * SLOW), 0, "SIGTERM did not stop the bridge cleanly")
        self.assertLess(time.monotonic() - begun, 15 * SLOW)
        log.seek(0)
        output = log.read()
        # Its warning that discovery is off (no bus) went out, plain.
        self.assertIn(b"discovery is off", output)
        self.assertNotIn(b"\x1b", output, "colour codes in a log that is no terminal")

    @unittest.skipUnless(os.geteuid() == 0, "qelconnect runs only inside the sandbox, which needs root")
    def test_qelconnect_answers_in_sandbox(self):
        daemon = os.environ.get("QEL_BIN_QELCONNECT") or os.path.join(
            os.environ.get("QEL_BUILD_DIR", ""), "qelconnect", "qelconnect")
        if not os.path.exists(daemon):
            self.skipTest("qelconnect not built")
        sandbox = os.path.join(SOURCE, "tests", "qelconnect", "sandbox.sh")
        # The daemon's path as a word of the command, so that the sandbox shows its folder.
        done = subprocess.run([sandbox, "env", "QELCONNECT=" + os.path.abspath(daemon), "PYTHONDONTWRITEBYTECODE=1",
                               sys.executable, os.path.abspath(__file__), "--in-sandbox"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120 * SLOW)
        text = done.stdout.decode("latin-1")
        if done.returncode == 77:
            self.skipTest(text)
        self.assertEqual(done.returncode, 0, text)
        self.assertIn("qelconnect unit: answered, stopped with status 1", text)


def in_sandbox():
    """Inside sandbox.sh: qelconnect from its unit answers a tool's request for the announce record and
    ends on SIGTERM with the status the unit counts as success."""
    import qelproto as qp

    words, env = service("qelconnect", [])
    unit = read(os.path.join(SOURCE, "packaging", "systemd", "qelconnect.service"))
    success = [v for k, v in systemd_unit.read_unit(unit)["Service"] if k == "SuccessExitStatus"]
    log = open("/var/qeltest/unit-daemon.log", "wb")
    proc = start(words, env, os.environ["QELCONNECT"], log)
    try:
        deadline = qp.Deadline(30 * SLOW)
        client = None
        while client is None:
            if deadline.expired() or proc.poll() is not None:
                raise SystemExit("qelconnect did not listen (exit %s)" % proc.poll())
            try:
                client = qp.BlockClient()
            except OSError:
                time.sleep(0.1)
        # The daemon builds its announce record within its first second; until then the answer is empty.
        record = b""
        while len(record) != 50 and not deadline.expired():
            client.send_raw(qp.SYNC + bytes([0, 0]) + struct.pack(">I", qp.ID_READ_ANNOUNCE))
            record = client.expect(qp.ID_READ_ANNOUNCE, timeout=10 * SLOW)
            time.sleep(0.1)
        client.close()
        if len(record) != 50:
            raise SystemExit("announce record of %d bytes" % len(record))
        rc = stop(proc, 10 * SLOW)
        if rc is None or str(rc) not in " ".join(success).split():
            raise SystemExit("qelconnect ended with %s on SIGTERM; the unit counts %s as success" % (rc, success))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        log.close()
    with open("/var/qeltest/unit-daemon.log", "rb") as f:
        if b"\x1b" in f.read():
            raise SystemExit("colour codes in qelconnect's log")
    print("qelconnect unit: answered, stopped with status %d" % rc)


if __name__ == "__main__":
    if sys.argv[1:] == ["--in-sandbox"]:
        in_sandbox()
    else:
        unittest.main()
