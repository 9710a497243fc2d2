"""Certificates for the TLS tests and benchmarks, made at run time with the openssl command in a
temporary folder: a CA, and server certificates (RSA or ECDSA) for 127.0.0.1 signed by it."""
import os
import ssl
import subprocess

# An OpenSSL configuration for a program under test that lets it offer everything OpenSSL can still do
# (TLS 1.0 and 1.1, every cipher suite): what such a program then refuses, it refuses by its own settings.
PERMISSIVE_OPENSSL_CONF = """openssl_conf = default_conf
[default_conf]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MinProtocol = TLSv1
CipherString = ALL:@SECLEVEL=0
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def key_args(kind):
    return ["-newkey", "rsa:2048"] if kind == "rsa" else ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]


class TestCA:
    """A CA in `folder` (ca.pem, ca.key) that signs server certificates."""

    def __init__(self, folder, name="QEL Test CA"):
        self.folder = folder
        self.cert = os.path.join(folder, "ca.pem")
        self.key = os.path.join(folder, "ca.key")
        self.serial = 1000
        openssl("req", "-x509", "-nodes", *key_args("ecdsa"), "-keyout", self.key, "-out", self.cert,
                "-days", "2", "-subj", "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)

    def issue(self, stem, kind, hosts=("127.0.0.1",), cn="qel-node.local"):
        """A server certificate `stem`.pem with its key `stem`.key; returns (chain, key, serial). The chain
        file holds the server certificate and then the CA's, as a device is given it."""
        self.serial += 1
        key, csr, leaf = (os.path.join(self.folder, stem + ext) for ext in (".key", ".csr", ".leaf"))
        chain = os.path.join(self.folder, stem + ".pem")
        openssl("req", "-new", "-nodes", *key_args(kind), "-keyout", key, "-out", csr, "-subj", "/CN=" + cn,
                cwd=self.folder)
        ext = os.path.join(self.folder, stem + ".ext")
        names = ",".join(("IP:" if h[0].isdigit() else "DNS:") + h for h in (cn,) + tuple(hosts))
        with open(ext, "w") as f:
            f.write("subjectAltName=" + names + "\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", csr, "-CA", self.cert, "-CAkey", self.key, "-set_serial",
                str(self.serial), "-days", "2", "-extfile", ext, "-out", leaf, cwd=self.folder)
        with open(chain, "w") as out:
            for part in (leaf, self.cert):
                with open(part) as f:
                    out.write(f.read())
        return chain, key, self.serial

    def client_context(self, minimum=ssl.TLSVersion.TLSv1_2, maximum=ssl.TLSVersion.MAXIMUM_SUPPORTED,
                       ciphers=None):
        """A client context that checks the server against this CA only."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(self.cert)
        if ciphers:
            ctx.set_ciphers(ciphers)
        ctx.minimum_version = minimum
        ctx.maximum_version = maximum
        return ctx
