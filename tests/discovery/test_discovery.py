"""Discovery in a private DNS-SD network (run through netns-env.sh, as root): the node advertises itself
under its host name with the versions it serves, finds registries by their advertisements under both
service names (one registry advertised under both is one registry), uses the preferred one of those whose
TXT records it can use at the newest version both serve, moves to another when an advertisement goes, and
survives a restart of the Avahi daemon, which it starts again itself through its daemon start command.
Registries found by unicast DNS-SD (a DNS server of the test's own) are preferred to those of multicast
DNS while there are any.
A secure node (with a certificate) uses only registries and query APIs advertised over https, and
fetches transport files at hosts that only multicast DNS knows."""
import http.server
import itertools
import os
import ssl
import signal
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "registry"))
import nmos_node  # noqa: E402
from registry_process import RegistryProcess  # noqa: E402
from dns_server import DNSServer  # noqa: E402
from tls_certs import TestCA  # noqa: E402

STATE = os.environ.get("QEL_DISC_STATE")
IFACE = os.environ.get("QEL_DISC_IF")
ADDR = os.environ.get("QEL_DISC_ADDR")
NODE = "/x-nmos/node/v1.3"
REGISTER = "_nmos-register._tcp"
REGISTRATION = "_nmos-registration._tcp"  # the name of registries up to v1.2
QUERY = "_nmos-query._tcp"
FULL_TXT = ["api_proto=http", "api_ver=v1.0,v1.1,v1.2"]
NODE_TXT = {"api_proto=http", "api_ver=v1.0,v1.2,v1.3", "api_auth=false"}
# Guards against hanging, not timing checks.
LIMIT = 60


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


def daemon_pid():
    with open(os.path.join(STATE, "avahi.pid")) as f:
        return int(f.read())


def browse(service_type):
    """Resolved instances: {name: (host, address, port, set of TXT records)}."""
    # A resolver that never answers keeps avahi-browse from ending: what it printed by then is taken,
    # and the callers ask again.
    try:
        out = subprocess.run(["avahi-browse", "-rpt", service_type], capture_output=True, text=True,
                             timeout=10).stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
    found = {}
    for line in out.splitlines():
        fields = line.split(";")
        if fields[0] != "=" or len(fields) < 10:
            continue
        name = fields[3].replace("\\032", " ")
        txt = {t.strip('"') for t in fields[9].split('" "')} if fields[9] else set()
        found[name] = (fields[6], fields[7], int(fields[8]), txt)
    return found


class Advertisement:
    """An avahi-publish process advertising a registry (on the host `host` when given, else this
    machine's); withdrawn by its PID."""

    def __init__(self, name, port, txt, service_type=REGISTRATION, host=None):
        self.name = name
        self.proc = subprocess.Popen(["avahi-publish", "-s"] + (["-H", host] if host else []) +
                                     [name, service_type, str(port)] + txt,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def withdraw(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            self.proc.wait(10)


class SDPServer:
    """Serves one SDP text over https at ADDR (any path) and remembers the Host header of each request."""

    def __init__(self, sdp, cert, key):
        self.hosts = []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                owner.hosts.append(self.headers.get("Host"))
                self.send_response(200)
                self.send_header("Content-Type", "application/sdp")
                self.send_header("Content-Length", str(len(sdp)))
                self.end_headers()
                self.wfile.write(sdp)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((ADDR, 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


@unittest.skipUnless(STATE, "needs the private DNS-SD network: run through tests/discovery/netns-env.sh as root")
class Discovery(unittest.TestCase):
    def setUp(self):
        # Registries listen on the veth address, as registries on a real network would be reached. The
        # preferred one serves v1.3 only and is advertised under the newer service name only; the other
        # serves v1.2 and v1.3 and is advertised under both.
        self.preferred = self.registry(versions=("v1.3",))  # pri=0
        self.second = self.registry(versions=("v1.2", "v1.3"))  # pri=10
        # Unusable advertisements, with the best priority: only the TXT filter keeps the node away.
        self.unusable = self.registry()
        self.ads = {}
        self.advertise("Reg Zero", self.preferred, self.preferred.txt(pri=0), REGISTER)
        self.advertise("Reg Ten", self.second, self.second.txt(pri=10), REGISTER)
        self.advertise("Reg Ten", self.second, self.second.txt(pri=10), REGISTRATION)
        self.advertise("Reg V11", self.unusable, ["api_proto=http", "api_ver=v1.1", "pri=0"])
        self.advertise("Reg HTTPS", self.unusable, ["api_proto=https", "api_ver=v1.2", "pri=0"])
        self.advertise("Reg Auth", self.unusable, ["api_proto=http", "api_ver=v1.3", "api_auth=true", "pri=0"],
                       REGISTER)
        # A query API advertised without TXT records is asked which versions it serves.
        self.advertise("Query Bare", self.preferred, [], QUERY)
        self.assertTrue(nmos_node.wait_until(
            lambda: len(browse(REGISTRATION)) == 3 and len(browse(REGISTER)) == 3, limit=LIMIT))
        # A registry named on the command line stays known beside the discovered ones. Nothing answers
        # there, so the node never stays with it.
        self.named = f"{ADDR}:9"
        self.node = nmos_node.RunningNode(streams=2, registries=[self.named], interface=IFACE, host=ADDR).start()
        self.addCleanup(self.node.stop)

    def registry(self, versions=("v1.0", "v1.2", "v1.3")):
        registry = RegistryProcess(listen=f"{ADDR}:0", versions=versions).start()
        self.addCleanup(registry.stop)
        return registry

    def advertise(self, name, registry, txt, service_type=REGISTRATION):
        ad = Advertisement(name, registry.port, txt, service_type)
        self.addCleanup(ad.withdraw)
        self.ads[(name, service_type)] = ad

    def served(self, version):
        return self.node.served(version)

    def assertHoldsWhatTheNodeServes(self, registry):
        matched = nmos_node.wait_until(lambda: registry.resources() == self.served(registry.newest), limit=LIMIT)
        self.assertTrue(matched, f"the registry at {registry.address} does not hold what the node serves")
        # Registered at its newest version only.
        posts = registry.requests(path="/x-nmos/registration/", method="POST")
        self.assertEqual({r["path"].split("/")[3] for r in posts}, {registry.newest})

    def assertBeatsAt(self, registry, since=0):
        self.assertTrue(nmos_node.wait_until(
            lambda: len(registry.requests(since=since, path=registry.registration + "/health/nodes/")) >= 2,
            limit=LIMIT), f"no heartbeats at {registry.address}")

    def stats(self):
        return self.node.get_json("/stats")

    def known_registries(self, client="NMOSReg"):
        return sorted(self.stats()["HostedServices"][client]["KnownAPIs"])

    def expected_known(self, *registries, api="registration"):
        # A registry named on the command line serves both APIs; nothing answers the question of its
        # versions there, so none is shown.
        named = [f"http://{self.named}/x-nmos/{api}"]
        return sorted(named + [f"http://{r.host}:{r.port}/x-nmos/{api}/{r.newest}" for r in registries])

    def assertNodeAdvertised(self):
        hostname = self.node.get_json(f"{NODE}/self")["hostname"]
        found = nmos_node.wait_until(lambda: browse("_nmos-node._tcp").get(hostname), limit=LIMIT)
        self.assertIsNotNone(found, f"no _nmos-node._tcp instance named {hostname}")
        _, address, port, txt = found
        self.assertEqual((address, port, txt), (ADDR, self.node.port, NODE_TXT))

    def test_the_node_advertises_itself_and_registers_at_the_preferred_usable_registry(self):
        self.assertNodeAdvertised()
        self.assertHoldsWhatTheNodeServes(self.preferred)
        self.assertBeatsAt(self.preferred)
        self.assertEqual(self.stats()["AvahiPublisher_State"], 1)
        # Both usable registries are known, the one under both names once; the unusable ones are neither
        # known nor ever asked, and each is told once in the log.
        self.assertEqual(self.known_registries(), self.expected_known(self.preferred, self.second))
        self.assertTrue(nmos_node.wait_until(lambda: self.known_registries("NMOSQuery") == self.expected_known(
            self.preferred, api="query"), limit=LIMIT), self.known_registries("NMOSQuery"))
        for unused in (self.second, self.unusable):
            self.assertEqual(unused.requests(path="/x-nmos/"), [], unused.address)
        log = self.log()
        for told in ('Reg V11: api_ver "v1.1" names none of the node\'s IS-04 versions (v1.0, v1.2, v1.3)',
                     'Reg HTTPS: unsupported protocol "https"',
                     'Reg Auth: it requires authorization (api_auth "true"), which the node does not do without /auth'):
            self.assertEqual(log.count(told), 1, log)

    def log(self):
        fd = self.node.bridge_log.fileno()  # shared with the node: read without moving its offset
        return os.pread(fd, os.fstat(fd).st_size, 0).decode(errors="replace")

    def test_txt_records_are_read_exactly(self):
        # Each advertisement names a port where nothing listens: a usable one is only known (the preferred
        # registry stays better), an unusable one must never be known, whatever priority it would get.
        variants = [  # (name, TXT records, the version it is known at: None unusable, "" asked)
            ("Pri Over", FULL_TXT + ["pri=65536"], None),
            ("Pri Word", FULL_TXT + ["pri=abc"], None),
            ("Pri Negative", FULL_TXT + ["pri=-1"], None),
            ("Pri Empty", FULL_TXT + ["pri="], None),
            ("Pri Ten", FULL_TXT + ["pri=10"], "v1.2"),
            ("Ver Twenty", ["api_proto=http", "api_ver=v1.20", "pri=5"], None),
            ("Ver Ten", ["api_proto=http", "api_ver=v1.10", "pri=5"], None),
            ("Ver Suffix", ["api_proto=http", "api_ver=v1.2x", "pri=5"], None),
            ("Ver List", ["api_proto=http", "api_ver=v1.1,v1.2", "pri=20"], "v1.2"),
            ("Ver Three", ["api_proto=http", "api_ver=v1.2, v1.3,v1.3", "pri=25"], "v1.3"),
            ("Ver Zero", ["api_proto=http", "api_ver=v1.0", "api_auth=false", "pri=30"], "v1.0"),
            ("Ver None", ["api_proto=http", "pri=35"], ""),
        ]
        usable = []
        for i, (name, txt, version) in enumerate(variants):
            port = 20001 + i
            ad = Advertisement(name, port, txt)
            self.addCleanup(ad.withdraw)
            if version is not None:
                usable.append(f"http://{ADDR}:{port}/x-nmos/registration" + (f"/{version}" if version else ""))
        self.assertTrue(nmos_node.wait_until(lambda: len(browse(REGISTRATION)) == 3 + len(variants), limit=LIMIT))
        expected = sorted(self.expected_known(self.preferred, self.second) + usable)
        self.assertTrue(nmos_node.wait_until(lambda: self.known_registries() == expected, limit=LIMIT),
                        self.known_registries())
        self.assertHoldsWhatTheNodeServes(self.preferred)
        # A priority that is no whole number in range is told in the node's log, once.
        log = self.log()
        for bad in ("65536", "abc", "-1", ""):
            self.assertEqual(log.count(f'priority "{bad}" is not a whole number from 0 to 65535'), 1, log)

    def test_a_withdrawn_registry_and_a_restarted_daemon_leave_the_node_registered(self):
        self.assertHoldsWhatTheNodeServes(self.preferred)
        # The preferred registry's advertisement goes: the node moves to the other one.
        self.ads[("Reg Zero", REGISTER)].withdraw()
        self.assertHoldsWhatTheNodeServes(self.second)
        self.assertBeatsAt(self.second)
        self.assertEqual(self.known_registries(), self.expected_known(self.second))

        # The daemon ends: the node's start command brings up a new one (its publishers end with the old).
        old = daemon_pid()
        os.kill(old, signal.SIGTERM)
        self.assertTrue(nmos_node.wait_until(lambda: not alive(old), limit=LIMIT))
        self.assertTrue(nmos_node.wait_until(lambda: daemon_pid() != old and alive(daemon_pid()), limit=LIMIT),
                        "the node did not start the daemon again")
        self.assertTrue(nmos_node.wait_until(lambda: self.stats()["AvahiPublisher_State"] == 1, limit=LIMIT))
        self.assertNodeAdvertised()
        # The node's log told the outage once, and its end, in its own format.
        # (read through a descriptor of its own: the bridge writes at the offset of the one it shares)
        with open(f"/proc/self/fd/{self.node.bridge_log.fileno()}", errors="replace") as f:
            log = f.read()
        off, on = "discovery is off until the daemon appears", "discovery is on again"
        self.assertEqual((log.count(off), log.count(on)), (1, 1), log)
        self.assertLess(log.index(off), log.index(on))
        self.assertNotIn("avahi reconnecting", log)
        # Advertised again, the preferred registry gets the node and everything, and keeps it alive.
        since = self.preferred.last_seq()
        self.advertise("Reg Zero", self.preferred, self.preferred.txt(pri=0), REGISTER)
        self.assertBeatsAt(self.preferred, since)
        self.assertHoldsWhatTheNodeServes(self.preferred)
        self.advertise("Reg Ten", self.second, self.second.txt(pri=10), REGISTRATION)
        self.assertTrue(nmos_node.wait_until(
            lambda: self.known_registries() == self.expected_known(self.preferred, self.second), limit=LIMIT))


@unittest.skipUnless(STATE, "needs the private DNS-SD network: run through tests/discovery/netns-env.sh as root")
class UnicastDiscovery(unittest.TestCase):
    """A registry advertised by unicast DNS-SD in the node's domain is used rather than one multicast DNS
    finds; one whose api_ver the node does not serve is never asked; when its records go, the node goes
    back to multicast DNS. The DNS server is the test's own, on loopback (its records live 1 s, so the
    node browses again every 10 s)."""

    DOMAIN = "studio.example"

    def setUp(self):
        self.dns = DNSServer("127.0.0.1")
        self.addCleanup(self.dns.stop)
        self.local = RegistryProcess(listen=f"{ADDR}:0").start()
        self.addCleanup(self.local.stop)
        self.unicast = RegistryProcess(listen=f"{ADDR}:0").start()
        self.addCleanup(self.unicast.stop)
        self.unsuitable = RegistryProcess(listen=f"{ADDR}:0").start()
        self.addCleanup(self.unsuitable.stop)
        ad = Advertisement("Reg Local", self.local.port, self.local.txt(pri=0), REGISTER)
        self.addCleanup(ad.withdraw)
        host = f"registry.{self.DOMAIN}"
        self.dns.instance("Reg Central", REGISTER, self.DOMAIN, self.unicast.port, host, ADDR,
                          self.unicast.txt(pri=20))
        self.dns.instance("Reg Central", REGISTRATION, self.DOMAIN, self.unicast.port, host, ADDR,
                          self.unicast.txt(pri=20))
        self.dns.instance("Reg Future", REGISTER, self.DOMAIN, self.unsuitable.port, host, ADDR,
                          ["api_proto=http", "api_ver=v9.0", "pri=0"])
        self.assertTrue(nmos_node.wait_until(lambda: "Reg Local" in browse(REGISTER), limit=LIMIT))
        self.node = nmos_node.RunningNode(streams=2, interface=IFACE, host=ADDR, args=[
            "/dns-server", self.dns.address, "/dns-sd-domain", self.DOMAIN]).start()
        self.addCleanup(self.node.stop)

    def log(self):
        fd = self.node.bridge_log.fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0).decode(errors="replace")

    def holds(self, registry):
        return nmos_node.wait_until(lambda: registry.resources() == self.node.served(registry.newest),
                                    limit=LIMIT)

    def known(self):
        return sorted(self.node.get_json("/stats")["HostedServices"]["NMOSReg"]["KnownAPIs"])

    def test_unicast_registries_are_preferred_while_they_are_advertised(self):
        self.assertTrue(self.holds(self.unicast), "the unicast-advertised registry does not hold the node")
        # Only the usable unicast instance is known (once, under both service names); multicast DNS's is not.
        central = f"http://{ADDR}:{self.unicast.port}/x-nmos/registration/{self.unicast.newest}"
        self.assertTrue(nmos_node.wait_until(lambda: self.known() == [central], limit=LIMIT), self.known())
        self.assertEqual(self.unsuitable.requests(path="/x-nmos/"), [])
        log = self.log()
        self.assertEqual(log.count("Reg Future.studio.example: api_ver \"v9.0\" names none"), 1, log)
        self.assertIn("Registration APIs: those found by unicast DNS-SD are used", log)
        self.assertGreaterEqual(self.dns.asked(f"{REGISTER}.{self.DOMAIN}", 12), 1)

        # The records go: the node notices on its next browse and registers where multicast DNS points.
        self.dns.withdraw("Reg Central", REGISTER, self.DOMAIN)
        self.dns.withdraw("Reg Central", REGISTRATION, self.DOMAIN)
        self.assertTrue(self.holds(self.local), "the node did not go back to the multicast-advertised registry")
        self.assertIn("Registration APIs: those found by multicast DNS are used", self.log())
        self.assertEqual(self.unsuitable.requests(path="/x-nmos/"), [])


@unittest.skipUnless(STATE, "needs the private DNS-SD network: run through tests/discovery/netns-env.sh as root")
class SecureDiscovery(unittest.TestCase):
    """A secure node registers and subscribes where api_proto=https is advertised (over TLS, the
    certificate checked against its CA), and never uses a registry or query API advertised as plain http,
    however preferred: each is told once. The secure registry's certificate names only the host its
    services are advertised on (the SRV target, a ".local" name the node cannot resolve itself), as does
    its "ws_href": the node reaches it by that name at the address DNS-SD resolved."""

    HOST = "nmos-mocks.local"
    runs = itertools.count(1)

    def setUp(self):
        self.ca = ca = TestCA()
        self.addCleanup(ca.cleanup)
        cert, key = ca.server("registry", ips=[], dns=[self.HOST])
        # The host's address record, without the reverse one (the namespace's own host owns that).
        host = subprocess.Popen(["avahi-publish", "-a", "-R", self.HOST, ADDR],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (host.poll() is None and os.kill(host.pid, signal.SIGTERM), host.wait(10)))
        self.secure = RegistryProcess(listen=f"{ADDR}:0", versions=("v1.3",), tls=(cert, key, ca.file),
                                      ws_host=self.HOST).start()
        self.addCleanup(self.secure.stop)
        self.plain = RegistryProcess(listen=f"{ADDR}:0", versions=("v1.3",)).start()
        self.addCleanup(self.plain.stop)
        # Names of this test's own: the daemon may still hold the last test's withdrawn instances for a
        # moment, and the node would see one go and come back (and tell its refusal again).
        self.tag = str(next(SecureDiscovery.runs))
        for name, registry, pri, service_type in (("Reg Secure " + self.tag, self.secure, 10, REGISTER),
                                                  ("Reg Plain " + self.tag, self.plain, 0, REGISTER),
                                                  ("Query Secure " + self.tag, self.secure, 10, QUERY),
                                                  ("Query Plain " + self.tag, self.plain, 0, QUERY)):
            ad = Advertisement(name, registry.port, registry.txt(pri=pri), service_type,
                               host=self.HOST if registry is self.secure else None)
            self.addCleanup(ad.withdraw)
        self.assertTrue(nmos_node.wait_until(
            lambda: len(browse(REGISTER)) == 2 and len(browse(QUERY)) == 2, limit=LIMIT))
        node_cert, node_key = ca.server("node", ips=[ADDR])
        self.node = nmos_node.RunningNode(streams=2, interface=IFACE, host=ADDR,
                                          tls=ssl.create_default_context(cafile=ca.file), args=[
            "/tls-cert", node_cert, "/tls-key", node_key, "/tls-ca", ca.file]).start()
        self.addCleanup(self.node.stop)

    def test_only_registries_advertised_over_https_are_used(self):
        self.assertTrue(nmos_node.wait_until(
            lambda: len(self.secure.resources()["senders"]) == 2 and
            len(self.secure.requests(path=self.secure.registration + "/health/nodes/")) >= 2, limit=LIMIT))
        self.assertTrue(nmos_node.wait_until(
            lambda: self.secure.connected_paths() == ["/receivers", "/senders"], limit=LIMIT))
        self.assertEqual(self.plain.requests(path="/x-nmos/"), [])
        # Every request named the host, in its Host header as in the certificate's check.
        hosts = {r["headers"].get("host") for r in self.secure.requests(path="/x-nmos/")}
        self.assertEqual(hosts, {f"{self.HOST}:{self.secure.port}"})
        log = self.log()
        for name in ("Reg Plain " + self.tag, "Query Plain " + self.tag):
            self.assertEqual(log.count(f'{name}: unsupported protocol "http" (the node uses https only)'), 1, log)

    def log(self):
        fd = self.node.bridge_log.fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0).decode(errors="replace")

    def test_a_transport_file_at_a_local_host_is_fetched_at_its_address_under_its_name(self):
        """A receiver connected to another node's sender whose manifest_href names a ".local" host (whose
        certificate names only that host) is connected once the node has looked the host up by multicast
        DNS; a host nobody answers for is told once in the log, and the receiver stays as it is."""
        cert, key = self.ca.server("sdp", ips=[], dns=[self.HOST])
        stream = self.node.sim_json("GET", "/scenario")["config"]["tx-streams"][1]
        status, _, sdp = self.node.sim_request("GET", f"/sdp/{stream['id']}.sdp")
        self.assertEqual(status, 200)
        server = SDPServer(sdp, cert, key)
        self.addCleanup(server.stop)
        own = self.node.get_json(f"{NODE}/senders")[0]
        receiver = self.node.get_json(f"{NODE}/receivers")[0]
        target = f"{NODE}/receivers/{receiver['id']}/target"
        unknown = dict(own, id="5e7de700-0000-4000-8000-0000000000b1",
                       manifest_href=f"https://nowhere-host.local:{server.port}/x.sdp")
        sender = dict(own, id="5e7de700-0000-4000-8000-0000000000b0", label="far away",
                      manifest_href=f"https://{self.HOST.upper()}:{server.port}/x.sdp")
        self.assertEqual(self.node.request("PUT", target, body=unknown)[0], 202)
        self.assertEqual(self.node.request("PUT", target, body=sender)[0], 202)
        path = f"{NODE}/receivers/{receiver['id']}"
        self.assertTrue(nmos_node.wait_until(
            lambda: self.node.get_json(path)["subscription"] == {"sender_id": sender["id"], "active": True},
            limit=LIMIT), self.node.get_json(path))
        followed = [m["data"]["source"] for m in self.node.sim_json("GET", "/received")
                    if isinstance(m, dict) and m.get("cmd") == 10]
        self.assertEqual(followed[-1:], [stream["name"]])
        self.assertEqual([h.lower() for h in server.hosts], [f"{self.HOST}:{server.port}"])
        line = f"Transport file {unknown['manifest_href']}: cannot resolve nowhere-host.local by multicast DNS"
        self.assertTrue(nmos_node.wait_until(lambda: line in self.log(), limit=LIMIT), self.log())
        self.assertEqual(self.log().count(line), 1)
        self.assertEqual(self.node.get_json(path)["subscription"]["sender_id"], sender["id"])


if __name__ == "__main__":
    unittest.main()
