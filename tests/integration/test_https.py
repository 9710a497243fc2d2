"""The node's APIs over HTTPS: the bridge with an RSA and an ECDSA certificate signed by a test CA, made
here at run time. The bridge runs with an OpenSSL configuration that would let it speak anything, so
what it refuses (old protocol versions, weak cipher suites, plain HTTP) it refuses by its own settings."""
import http.client
import json
import os
import socket
import ssl
import sys
import tempfile
import threading
import time
import unittest

from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ec, rsa

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402
import testlib  # noqa: E402
import tlslib  # noqa: E402

# Under emulation or sanitizers everything is slower; no assertion here depends on speed beyond these.
SLOW = 4 if (os.environ.get("QEL_TARGET_RUNNER") or os.environ.get("QEL_SANITIZED")) else 1


def served_certificate(port, ctx):
    with socket.create_connection(("127.0.0.1", port), timeout=5 * SLOW) as raw:
        with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            der = tls.getpeercert(binary_form=True)
            return x509.load_der_x509_certificate(der), tls.version(), tls.cipher()[0]


def closed_without_answer(sock, limit):
    """What the server sent before it closed the connection (None if it kept it open past `limit`)."""
    sock.settimeout(limit)
    got = b""
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return got
            got += chunk
    except ConnectionResetError:
        return got
    except socket.timeout:
        return None


class HTTPSNode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="qel-tls-")
        folder = cls.dir.name
        cls.ca = tlslib.TestCA(folder)
        cls.rsa_chain, cls.rsa_key, cls.rsa_serial = cls.ca.issue("rsa", "rsa")
        cls.rsa_serial_first = cls.rsa_serial
        cls.ec_chain, cls.ec_key, cls.ec_serial = cls.ca.issue("ecdsa", "ecdsa")
        conf = os.path.join(folder, "openssl.cnf")
        with open(conf, "w") as f:
            f.write(tlslib.PERMISSIVE_OPENSSL_CONF)
        env = dict(os.environ, OPENSSL_CONF=conf)
        cls.node = nmos_node.RunningNode(
            streams=2, env=env, tls=cls.ca.client_context(),
            args=["/tls-cert", cls.rsa_chain, "/tls-key", cls.rsa_key, "/tls-cert", cls.ec_chain, "/tls-key",
                  cls.ec_key, "/hsts", "86400"])
        cls.node.start()

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()
        cls.dir.cleanup()

    def log(self):
        self.node.bridge_log.flush()
        self.node.bridge_log.seek(0)
        return self.node.bridge_log.read()

    def test_apis_answer_over_tls_and_describe_themselves_as_https(self):
        node = self.node.get_json("/x-nmos/node/v1.3/self")
        port = self.node.port
        self.assertEqual(node["api"]["endpoints"],
                         [{"host": "127.0.0.1", "port": port, "protocol": "https", "authorization": False}])
        self.assertEqual(node["href"], f"https://127.0.0.1:{port}/")
        for device in self.node.get_json("/x-nmos/node/v1.3/devices"):
            hrefs = [c["href"] for c in device["controls"] if "sr-ctrl" in c["type"]]
            self.assertTrue(hrefs)
            for href in hrefs:
                self.assertTrue(href.startswith(f"https://127.0.0.1:{port}/x-nmos/connection/"), href)
        # Keep-alive and pipelining run over TLS as over plain TCP: three requests, one connection.
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=5 * SLOW, context=self.ca.client_context())
        for path in ("/x-nmos/node/v1.3/senders", "/x-nmos/connection/v1.1/single/receivers", "/x-nmos"):
            conn.request("GET", path)
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200, path)
            json.loads(resp.read())
        sock = conn.sock
        conn.request("GET", "/nothing/here")
        resp = conn.getresponse()
        self.assertEqual(resp.status, 404)
        self.assertEqual(resp.getheader("Strict-Transport-Security"), "max-age=86400")
        resp.read()
        self.assertIs(conn.sock, sock, "the connection was not kept")
        conn.close()
        with socket.create_connection(("127.0.0.1", port), timeout=5 * SLOW) as raw:
            with self.ca.client_context().wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                tls.sendall(b"GET /x-nmos HTTP/1.1\r\nHost: a\r\n\r\nGET /x-nmos/node HTTP/1.1\r\nHost: a\r\n"
                            b"Connection: close\r\n\r\n")
                answer = closed_without_answer(tls, 10 * SLOW)
        self.assertIsNotNone(answer)
        self.assertEqual(answer.count(b"HTTP/1.1 200 OK"), 2, answer)

    def test_rsa_and_ecdsa_certificates_modern_suites_server_preference(self):
        port = self.node.port
        cert, version, cipher = served_certificate(port, self.ca.client_context())
        self.assertEqual(version, "TLSv1.3")
        self.assertEqual(cipher, "TLS_AES_128_GCM_SHA256")
        tls12 = ssl.TLSVersion.TLSv1_2
        # The client's order is overruled by the server's: AES-128 before AES-256.
        cert, version, cipher = served_certificate(port, self.ca.client_context(
            maximum=tls12, ciphers="ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256"))
        self.assertEqual((version, cipher), ("TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"))
        self.assertIsInstance(cert.public_key(), rsa.RSAPublicKey)
        self.assertEqual(cert.serial_number, self.rsa_serial)
        cert, version, cipher = served_certificate(port, self.ca.client_context(
            maximum=tls12, ciphers="ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256"))
        self.assertEqual((version, cipher), ("TLSv1.2", "ECDHE-ECDSA-AES128-GCM-SHA256"))
        self.assertIsInstance(cert.public_key(), ec.EllipticCurvePublicKey)
        self.assertEqual(cert.serial_number, self.ec_serial)
        cert, _, cipher = served_certificate(port, self.ca.client_context(
            maximum=tls12, ciphers="ECDHE-ECDSA-CHACHA20-POLY1305"))
        self.assertEqual(cipher, "ECDHE-ECDSA-CHACHA20-POLY1305")
        # Suites without forward secrecy or with CBC are not spoken, nor TLS 1.0 and 1.1.
        for ciphers in ("AES128-GCM-SHA256:AES256-GCM-SHA384", "ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA",
                        "DHE-RSA-AES128-GCM-SHA256"):
            with self.assertRaises(ssl.SSLError, msg=ciphers):
                served_certificate(port, self.ca.client_context(maximum=tls12, ciphers=ciphers + ":@SECLEVEL=0"))
        for old in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
            with self.assertRaises(ssl.SSLError, msg=old):
                served_certificate(port, self.ca.client_context(minimum=old, maximum=old,
                                                                ciphers="ALL:@SECLEVEL=0"))
        # The node still serves after all of that.
        self.assertEqual(self.node.get_json("/x-nmos"), ["node/", "connection/"])

    def test_plain_http_silent_and_garbage_clients_get_no_answer_and_are_closed(self):
        port = self.node.port
        for hello in (b"GET /x-nmos HTTP/1.1\r\nHost: a\r\n\r\n", b"\x16\x03\x01\x00\x05garbage" * 20):
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                start = time.monotonic()
                s.sendall(hello)
                answer = closed_without_answer(s, 5 * SLOW)
                self.assertIsNotNone(answer, "the connection was kept open")
                self.assertLess(time.monotonic() - start, 2 * SLOW)
                self.assertNotIn(b"HTTP/", answer)
        # A client that opens a connection and says nothing is closed by the idle timeout (5 s).
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            start = time.monotonic()
            self.assertEqual(closed_without_answer(s, 20 * SLOW), b"")
            self.assertLess(time.monotonic() - start, 12 * SLOW)
        self.assertEqual(self.node.get_json("/x-nmos"), ["node/", "connection/"])
        with self.assertRaises(ConnectionError):
            testlib.request("GET", port, "/x-nmos", timeout=5)

    def test_replaced_certificate_is_served_to_new_connections_bad_files_are_not_taken(self):
        port = self.node.port
        rsa_only = dict(maximum=ssl.TLSVersion.TLSv1_2, ciphers="ECDHE-RSA-AES128-GCM-SHA256")
        # A connection opened before goes on through every change, asked once a second (within the idle
        # timeout).
        kept = http.client.HTTPSConnection("127.0.0.1", port, timeout=5 * SLOW,
                                           context=self.ca.client_context(**rsa_only))
        kept_answers, stop = [], threading.Event()

        def keep_asking():
            while not stop.wait(1):
                try:
                    kept.request("GET", "/x-nmos")
                    resp = kept.getresponse()
                    resp.read()
                    kept_answers.append((resp.status, kept.sock.getpeercert()["serialNumber"]))
                except (OSError, http.client.HTTPException) as e:
                    kept_answers.append((repr(e), None))
                    return

        asker = threading.Thread(target=keep_asking)
        asker.start()
        self.addCleanup(kept.close)
        self.addCleanup(asker.join)
        self.addCleanup(stop.set)

        def serial():
            return served_certificate(port, self.ca.client_context(**rsa_only))[0].serial_number

        # A damaged key is not taken: the certificate in service stays, and one error line says so.
        with open(self.rsa_key) as f:
            good_key = f.read()
        with open(self.rsa_key, "w") as f:
            f.write(good_key[: len(good_key) // 2])
        self.assertTrue(nmos_node.wait_until(lambda: "new certificates not taken" in self.log(), 20 * SLOW),
                        self.log())
        self.assertEqual(serial(), self.rsa_serial)
        # A new pair, put in place as a user would (the key first, then the chain), is served.
        chain, key, new_serial = self.ca.issue("rsa-new", "rsa", cn="qel-node-renewed.local")
        os.replace(key, self.rsa_key)
        os.replace(chain, self.rsa_chain)
        self.assertTrue(nmos_node.wait_until(lambda: serial() == new_serial, 20 * SLOW), self.log())
        type(self).rsa_serial = new_serial
        self.assertEqual(self.log().count("new certificates not taken"), 1, self.log())
        # The ECDSA pair beside it is untouched, and a connection opened before goes on.
        cert, _, _ = served_certificate(port, self.ca.client_context(
            maximum=ssl.TLSVersion.TLSv1_2, ciphers="ECDHE-ECDSA-AES128-GCM-SHA256"))
        self.assertEqual(cert.serial_number, self.ec_serial)
        stop.set()
        asker.join()
        self.assertGreater(len(kept_answers), 3)
        self.assertEqual({(status, serial and int(serial, 16)) for status, serial in kept_answers},
                         {(200, self.rsa_serial_first)}, kept_answers)
        stats = self.node.get_json("/stats")["HostedServices"]["NMOSNODEHTTPServer"]
        self.assertEqual((stats["CertificateReloads"], stats["CertificateReloadFailures"]), (1, 1))


class MissingCertificate(unittest.TestCase):
    def test_unreadable_certificate_or_key_says_why_and_the_server_does_not_start(self):
        with tempfile.TemporaryDirectory(prefix="qel-tls-") as folder:
            ca = tlslib.TestCA(folder)
            chain, key, _ = ca.issue("rsa", "rsa")
            other_chain, _, _ = ca.issue("other", "ecdsa")
            cases = [("/nonexistent/cert.pem", key, "cannot read the certificate file /nonexistent/cert.pem"),
                     (chain, os.path.join(folder, "missing.key"), "cannot read the key file"),
                     (other_chain, key, "does not belong to the certificate"),
                     (chain, "/dev/zero", "the key file /dev/zero is no regular file")]
            for cert_file, key_file, line in cases:
                port = testlib.free_port()
                p = testlib.Process([testlib.binary("nmos-bridge"), "/port", str(port), "/box", "127.0.0.1:1",
                                     "/tls-cert", cert_file, "/tls-key", key_file])
                self.addCleanup(p.stop)
                self.assertFalse(testlib.wait_for_port(port, 1), "the server started without its certificate")
                self.assertEqual(p.wait(30 * SLOW), 0, p.output)
                self.assertRegex(p.output, "ERROR HTTP server: .*" + line)
                self.assertEqual(p.output.count("call to lws_create_context() failed!"), 3, p.output)


if __name__ == "__main__":
    unittest.main()
