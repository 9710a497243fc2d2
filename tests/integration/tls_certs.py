"""Certificates for TLS tests, made at run time with the openssl command in a temporary folder (never
kept): a CA, and server certificates it signs (RSA or ECDSA) for the names and addresses a test gives.

    with TestCA() as ca:                       # or ca = TestCA(); ...; ca.cleanup()
        cert, key = ca.server("registry", ips=["127.0.0.1"], kind="ecdsa")
        ca.file                                # the CA certificate (PEM), for /tls-ca or a client
"""
import os
import shutil
import subprocess
import tempfile


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


class TestCA:
    def __init__(self, name="QEL Test CA", folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="qel-tls-")
        self.owned = folder is None
        self.name = name
        self.tag = "".join(c for c in name.lower() if c.isalnum())
        self.key = os.path.join(self.folder, self.tag + "-ca.key")
        self.file = os.path.join(self.folder, self.tag + "-ca.pem")
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.file,
                 "-days", "2", "-subj", "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=self.folder)
        self.serial = 1

    def server(self, label, ips=("127.0.0.1",), dns=(), kind="rsa"):
        """(certificate file, key file) of a server certificate for those addresses and names."""
        base = os.path.join(self.folder, f"{self.tag}-{label}-{kind}")
        key, csr, cert, ext = base + ".key", base + ".csr", base + ".pem", base + ".ext"
        if kind == "ecdsa":
            _openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key, cwd=self.folder)
        else:
            _openssl("genrsa", "-out", key, "2048", cwd=self.folder)
        _openssl("req", "-new", "-key", key, "-out", csr, "-subj", "/CN=" + (list(dns) + list(ips))[0],
                 cwd=self.folder)
        names = [f"IP:{ip}" for ip in ips] + [f"DNS:{name}" for name in dns]
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth,clientAuth\nsubjectAltName=" + ",".join(names) + "\n")
        self.serial += 1
        _openssl("x509", "-req", "-in", csr, "-CA", self.file, "-CAkey", self.key, "-set_serial",
                 str(self.serial), "-days", "2", "-sha256", "-extfile", ext, "-out", cert, cwd=self.folder)
        return cert, key

    def cleanup(self):
        if self.owned:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
