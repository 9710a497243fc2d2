"""A stand-in for an IS-10 authorization server over plain HTTP on loopback: its RFC 8414 metadata, its
key set, RFC 7591 client registration (POST /register) and the client-credentials grant (POST /token,
HTTP Basic client authentication) issuing RS512 tokens with the x-nmos claims of the scope asked for. It
counts what it was asked, can rotate its key (tokens signed before are refused by whoever checks them
with the new set) and forget its clients."""
import base64
import http.server
import json
import threading
import time
import urllib.parse
import uuid

import jwt
from cryptography.hazmat.primitives.asymmetric import rsa

import testlib


def b64_uint(value):
    raw = value.to_bytes((value.bit_length() + 7) // 8, "big")
    return jwt.utils.base64url_encode(raw).decode()


class StandIn:
    def __init__(self, token_lifetime=300):
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.kid = "k1"
        self.port = testlib.free_port()
        self.issuer = f"http://127.0.0.1:{self.port}"
        self.token_lifetime = token_lifetime
        self.requests = []  # paths asked for
        self.registrations = []  # the registration requests' documents
        self.token_requests = []  # {"client_id", "form", "time"} of each token request
        self.clients = {}  # client_id -> client_secret
        self.lock = threading.Lock()
        self.metadata = {"issuer": self.issuer, "jwks_uri": self.issuer + "/jwks",
                         "token_endpoint": self.issuer + "/token",
                         "registration_endpoint": self.issuer + "/register",
                         "grant_types_supported": ["client_credentials"],
                         "token_endpoint_auth_methods_supported": ["client_secret_basic"],
                         "response_types_supported": ["code"]}
        stand_in = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def answer(self, status, doc, headers=()):
                body = json.dumps(doc).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                for name, value in headers:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                stand_in.requests.append(self.path)
                doc = {"/.well-known/oauth-authorization-server": stand_in.metadata,
                       "/jwks": stand_in.jwks()}.get(self.path)
                self.answer(200 if doc else 404, doc)

            def do_POST(self):
                stand_in.requests.append(self.path)
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if self.path == "/register":
                    self.answer(*stand_in.register(self.headers, body))
                elif self.path == "/token":
                    self.answer(*stand_in.grant(self.headers, body))
                else:
                    self.answer(404, {"error": "not_found"})

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def jwks(self):
        numbers = self.key.public_key().public_numbers()
        return {"keys": [{"kty": "RSA", "use": "sig", "alg": "RS512", "kid": self.kid,
                          "n": b64_uint(numbers.n), "e": b64_uint(numbers.e)}]}

    def register(self, headers, body):
        try:
            doc = json.loads(body)
        except ValueError:
            return 400, {"error": "invalid_client_metadata"}
        with self.lock:
            self.registrations.append(doc)
            if doc.get("grant_types") != ["client_credentials"] or \
                    doc.get("token_endpoint_auth_method") != "client_secret_basic":
                return 400, {"error": "invalid_client_metadata", "error_description": repr(doc)}
            client_id, secret = str(uuid.uuid4()), uuid.uuid4().hex
            self.clients[client_id] = secret
        return 201, dict(doc, client_id=client_id, client_secret=secret,
                         client_id_issued_at=int(time.time()), client_secret_expires_at=0)

    def grant(self, headers, body):
        form = dict(urllib.parse.parse_qsl(body.decode()))
        client_id = None
        auth = headers.get("Authorization", "")
        if auth.startswith("Basic "):
            user, _, secret = base64.b64decode(auth[6:]).decode().partition(":")
            user, secret = urllib.parse.unquote(user), urllib.parse.unquote(secret)
            if self.clients.get(user) == secret:
                client_id = user
        with self.lock:
            self.token_requests.append({"client_id": client_id, "form": form, "time": time.time(),
                                        "content_type": headers.get("Content-Type")})
        if client_id is None:
            return 401, {"error": "invalid_client"}, [("WWW-Authenticate", 'Basic realm="stand-in"')]
        if form.get("grant_type") != "client_credentials":
            return 400, {"error": "unsupported_grant_type"}
        scopes = form.get("scope", "").split()
        claims = {"client_id": client_id, "sub": client_id, "scope": " ".join(scopes), "aud": ["*"]}
        for scope in scopes:
            claims["x-nmos-" + scope] = {"read": ["*"], "write": ["*"]}
        return 200, {"access_token": self.token(**claims), "token_type": "Bearer",
                     "expires_in": self.token_lifetime, "scope": " ".join(scopes)}

    def rotate(self):
        """A new signing key under a new id; the key set holds only it."""
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.kid = "k" + str(int(self.kid[1:]) + 1)

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.server = None

    def token(self, write=("single/receivers/*",), key=None, kid=None, **claims):
        now = int(time.time())
        body = {"iss": self.issuer, "sub": "operator", "aud": ["127.0.0.1"], "iat": now,
                "exp": now + self.token_lifetime, "client_id": "test-controller",
                "x-nmos-connection": {"read": ["*"], "write": list(write)}}
        body.update(claims)
        return jwt.encode(body, key or self.key, algorithm="RS512", headers={"kid": kid or self.kid})
