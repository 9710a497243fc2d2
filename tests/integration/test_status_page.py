"""The status page in a real browser: headless Chromium loads /status from a node that mirrors the
simulator and is registered at the mock registry, and the page, once it has refreshed itself from the
node's JSON, shows the registration, the registry, the senders and a receiver's connection. A
screenshot is kept in the build tree. Chromium and everything it talks to run in a network namespace
of this test's own with only loopback up, so nothing can leave the machine; without root (or without
Chromium) the test is skipped."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402

NODE = "/x-nmos/node/v1.3"
IN_NETNS = "QEL_STATUS_PAGE_NETNS"
LIMIT = 60
MARKUP = "Stage <b>A</b> & co"
# Emulated or sanitized nodes answer slowly: the page gets virtual time enough for a few refreshes.
BUDGET_MS = 20000 if testlib.TARGET_RUNNER or os.environ.get("QEL_SANITIZED") else 8000


def chromium():
    for name in ("chromium-headless-shell", "chromium"):
        path = shutil.which(name)
        if path:
            return path
    return None


def artefacts():
    folder = os.path.join(os.path.abspath(testlib.BUILD_DIR or "."), "tests", "artefacts")
    os.makedirs(folder, exist_ok=True)
    return folder


class StatusPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.registry = RegistryProcess(versions=("v1.3",)).start()
        cls.node = nmos_node.RunningNode(streams=3, registries=[cls.registry.address]).start()
        cls.profile = tempfile.mkdtemp(prefix="qel-status-chromium-")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()
        cls.registry.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def browse(self, *args, width=1280, height=1400):
        """Chromium on the page, with every background service off and names resolving to nothing."""
        cmd = [chromium(), "--headless", "--no-sandbox", f"--user-data-dir={self.profile}",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--disable-default-apps", "--disable-extensions", "--disable-breakpad",
               "--disable-domain-reliability", "--no-first-run", "--no-default-browser-check",
               "--disable-gpu", "--hide-scrollbars", "--no-pings",
               "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
               f"--window-size={width},{height}", f"--virtual-time-budget={BUDGET_MS}", *args,
               f"http://127.0.0.1:{self.node.port}/status"]
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=LIMIT * 2)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        return done.stdout

    def text_of(self, dom, element_id):
        match = re.search(r'id="%s"[^>]*>(.*?)</' % re.escape(element_id), dom, re.S)
        return match.group(1) if match else None

    def test_page_shows_registration_registry_senders_and_a_connection(self):
        node = self.node
        # The page and its JSON are served as a page must be.
        status, headers, body = node.request("GET", "/status")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/html; charset=utf-8")
        self.assertEqual(headers["cache-control"], "no-store")
        self.assertIn("default-src 'none'", headers["content-security-policy"])
        self.assertIn("connect-src 'self'", headers["content-security-policy"])
        self.assertNotRegex(body.decode(), r"(src|href)=\"?(https?:)?//")
        # Registered, and one receiver connected to the first sender, with a label that is markup.
        self.assertTrue(nmos_node.wait_until(
            lambda: json.loads(node.request("GET", "/status.json")[2])["registration"]["state"] == "registered",
            limit=LIMIT), "the node never registered")
        # A stream name that is markup is shown as text.
        scenario = node.sim_json("GET", "/scenario")
        for doc in (scenario["config"], scenario["state"]):
            doc["tx-streams"][0]["name"] = MARKUP
        node.sim_json("PUT", "/scenario/config", scenario["config"])
        node.sim_json("PUT", "/scenario/state", scenario["state"])
        self.assertTrue(nmos_node.wait_until(
            lambda: any(MARKUP in s["label"] for s in node.get_json(NODE + "/senders")), limit=LIMIT))
        senders = node.get_json(NODE + "/senders")
        receivers = node.get_json(NODE + "/receivers")
        sender = next(s for s in senders if MARKUP in s["label"])
        receiver = receivers[0]
        status, _, _ = node.request("PUT", f"{NODE}/receivers/{receiver['id']}/target", json.dumps(sender))
        self.assertEqual(status, 202)
        self.assertTrue(nmos_node.wait_until(
            lambda: node.get_json(f"{NODE}/receivers/{receiver['id']}")["subscription"]["sender_id"] == sender["id"],
            limit=LIMIT), "the receiver never followed the sender")

        dom = self.browse("--dump-dom")
        self.assertGreaterEqual(int(re.search(r'data-refreshed="(\d+)"', dom).group(1)), 1, dom[-2000:])
        self.assertEqual(self.text_of(dom, "reg-state"), "registered")
        self.assertEqual(self.text_of(dom, "fw-state"), "connected")
        self.assertIn(self.registry.address, self.text_of(dom, "reg-registry"))
        registries = re.search(r'id="registries".*?</table>', dom, re.S).group(0)
        self.assertIn("command line", registries)
        self.assertIn("in use", registries)
        sender_table = re.search(r'id="senders".*?</table>', dom, re.S).group(0)
        for s in senders:
            self.assertIn(s["id"], sender_table)
        rows = re.findall(r"<tr>(.*?)</tr>", re.search(r'id="receivers".*?</table>', dom, re.S).group(0), re.S)
        row = next(r for r in rows if receiver["id"] in r)
        self.assertIn(sender["id"], row)
        self.assertIn("Stage &lt;b&gt;A&lt;/b&gt; &amp; co", row)
        self.assertIn("<td>active</td>", row)
        self.assertNotIn("<b>", dom)

        wide = os.path.join(artefacts(), "status.png")
        narrow = os.path.join(artefacts(), "status-narrow.png")
        self.browse(f"--screenshot={wide}")
        self.browse(f"--screenshot={narrow}", width=420, height=1800)
        for shot in (wide, narrow):
            self.assertGreater(os.path.getsize(shot), 10000)
            print("status page screenshot:", shot)


def main():
    if not chromium():
        print("skipped: no Chromium installed (apt-get install chromium-headless-shell)")
        return 0
    if os.geteuid() != 0:
        print("skipped: needs root for a network namespace of its own")
        return 0
    if not os.environ.get(IN_NETNS):
        # Everything runs again inside a namespace whose only network is its own loopback.
        env = dict(os.environ, **{IN_NETNS: "1"})
        return subprocess.call(["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                                sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env)
    unittest.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
