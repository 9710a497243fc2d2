"""The main job (scripts/run-main.sh) as a user starts it: the simulator and the bridge stay on this
machine, and the bridge's log is plain text that says once that discovery is off.

The script runs with --no-setup on the programs of the build under test (QEL_BUILD_DIR), not on those of
its own build-main/. The pair runs inside a network namespace of the test's own with only `lo` up, so that
even a fault cannot reach another machine, and every connect() of every process the script starts is
recorded with strace. Needs root (the namespace) and strace; skipped under emulation."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
import testlib  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "run-main.sh")
INSIDE = "QEL_MAIN_JOB_NETNS"
# The script's default ports: nothing else listens inside the namespace.
SIM_PORT, NODE_PORT = 8080, 9001
STREAMS = 8
# The simulator's PTP clock identity, which the node learns only from a sender's transport file.
GRANDMASTER = "02-4d-51-ff-fe-3a-7c-18"
DISCOVERY_OFF = "discovery is off until the daemon appears"
LIMIT = 120.0  # guards against hanging (sanitizer builds are slow); nothing waits for it on success
# connect() as strace shows it for the address families that leave a process.
INET = re.compile(r'sa_family=AF_INET, sin_port=htons\((\d+)\), sin_addr=inet_addr\("([0-9.]+)"\)')
INET6 = re.compile(r'sa_family=AF_INET6, sin6_port=htons\((\d+)\).*?inet_pton\(AF_INET6, "([0-9a-fA-F:.]+)"')


def wait_until(predicate, limit=LIMIT, step=0.2):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            value = predicate()
        except (OSError, ValueError, KeyError):
            value = None
        if value:
            return value
        time.sleep(step)
    return None


def get_json(path, port=NODE_PORT):
    status, _, body = testlib.request("GET", port, path)
    if status != 200:
        raise ValueError(f"GET {path} answered {status}")
    return json.loads(body)


def descendants(pid):
    found = []
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                for child in f.read().split():
                    found.append(int(child))
                    found.extend(descendants(int(child)))
    except OSError:
        pass
    return found


def loopback(address, family):
    if family == 4:
        return address.split(".")[0] == "127"
    return address == "::1" or address.lower().startswith("::ffff:127.")


class MainJob(unittest.TestCase):
    def test_stays_on_this_machine_with_a_plain_log(self):
        if os.environ.get(INSIDE) == "1":
            return self.run_inside()
        if testlib.TARGET_RUNNER:
            self.skipTest("under emulation strace would trace the emulator")
        if os.geteuid() != 0:
            self.skipTest("needs root for a network namespace of its own")
        if not shutil.which("strace") or not shutil.which("unshare"):
            self.skipTest("needs strace and unshare")
        env = dict(os.environ, **{INSIDE: "1"})
        test = f"{MainJob.__name__}.{self._testMethodName}"
        result = subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__), "-v", test],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=4 * LIMIT)
        print(result.stdout)
        self.assertEqual(result.returncode, 0, "the main job inside its namespace failed (output above)")

    def run_inside(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        work = tempfile.mkdtemp(prefix="qel-main-job.")
        self.addCleanup(shutil.rmtree, work, True)
        trace, log = os.path.join(work, "connect.trace"), os.path.join(work, "main.log")
        env = dict(os.environ, QEL_BUILD_DIR=testlib.BUILD_DIR)
        # LeakSanitizer cannot run under a tracer; the other checks of a sanitizer build stay on.
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        with open(log, "w") as out:
            tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=connect", "-o", trace,
                                       SCRIPT, "--no-setup"], stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.STDOUT, env=env, cwd=work)
        self.addCleanup(self.end, tracer)
        started = time.monotonic()

        # The node mirrors the simulator and learns the grandmaster from a transport file it fetched.
        self.assertTrue(wait_until(lambda: len(get_json("/x-nmos/node/v1.2/senders")) == STREAMS),
                        self.read(log))
        self.assertTrue(wait_until(lambda: any(c.get("gmid") == GRANDMASTER
                                               for c in get_json("/x-nmos/node/v1.2/self")["clocks"])),
                        "no transport file reached the node\n" + self.read(log))
        node = get_json("/x-nmos/node/v1.2/self")
        self.assertEqual([e["host"] for e in node["api"]["endpoints"]], ["127.0.0.1"])
        self.assertEqual(urllib.parse.urlsplit(node["href"]).hostname, "127.0.0.1")
        for sender in get_json("/x-nmos/node/v1.2/senders"):
            manifest = urllib.parse.urlsplit(sender["manifest_href"])
            self.assertEqual((manifest.hostname, manifest.port), ("127.0.0.1", SIM_PORT), sender)
        status, _, sdp = testlib.request("GET", SIM_PORT, manifest.path)
        self.assertEqual(status, 200)
        origin = sdp.split(b"\r\n")[1]
        self.assertTrue(origin.startswith(b"o=") and origin.endswith(b" IN IP4 127.0.0.1"), origin)

        # The bridge has tried its system bus again (every 5 s) before its log is read.
        time.sleep(max(0.0, started + 7.0 - time.monotonic()))
        self.end(tracer)
        self.assertEqual(tracer.returncode, 0, self.read(log))
        text = self.read(log)
        self.assertNotIn("\033", text, "escape codes in a log written to a file")
        self.assertEqual(text.count(DISCOVERY_OFF), 1, text)
        line = next(x for x in text.splitlines() if DISCOVERY_OFF in x)
        self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} WARN  ")
        self.assertNotIn("failed to create client", text)

        seen = {4: [], 6: []}
        with open(trace) as f:
            for row in f:
                for family, pattern in ((4, INET), (6, INET6)):
                    for port, address in pattern.findall(row):
                        seen[family].append((address, int(port)))
        self.assertIn(("127.0.0.1", SIM_PORT), seen[4], "the bridge's connections were not traced")
        outside = [a for family, found in seen.items() for a in found if not loopback(a[0], family)]
        self.assertEqual(outside, [], "connections that leave the machine")

    def end(self, tracer):
        """SIGTERM for the script (it ends both programs as at Ctrl-C); whatever outlives it is ended by
        its PID."""
        if tracer.poll() is not None:
            return
        for pid in descendants(tracer.pid)[:1]:
            os.kill(pid, signal.SIGTERM)
        try:
            tracer.wait(LIMIT / 4)
        except subprocess.TimeoutExpired:
            for pid in reversed(descendants(tracer.pid)):
                os.kill(pid, signal.SIGKILL)
            tracer.kill()
            tracer.wait()

    @staticmethod
    def read(path):
        with open(path, errors="replace") as f:
            return f.read()


if __name__ == "__main__":
    unittest.main()
