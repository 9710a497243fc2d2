"""Bearer tokens for the mock registry (--auth-jwks URL): each request below an API version's root must
carry "Authorization: Bearer <JWT>" signed with RS512 by a key of the authorization server's key set
(fetched from the URL, again whenever a token names a key it lacks and at most half a second after the
last fetch, so that a rotated key is refused at once), not expired, and holding the claim
of the API it is for (x-nmos-registration or x-nmos-query). The key set is fetched from loopback only."""

import json
import time
import urllib.parse
import urllib.request

import jwt


class TokenCheck:
    def __init__(self, jwks_url):
        host = urllib.parse.urlsplit(jwks_url).hostname or ""
        if not host.startswith("127."):
            raise ValueError("the key set must be on loopback")
        self.jwks_url = jwks_url
        self.keys = {}
        self.fetched = 0.0
        self.refuse_all = False  # set through /test/auth: every token is refused

    def _fetch(self):
        with urllib.request.urlopen(self.jwks_url, timeout=5) as answer:
            doc = json.loads(answer.read())
        self.fetched = time.monotonic()
        self.keys = {k.get("kid"): jwt.algorithms.RSAAlgorithm.from_jwk(json.dumps(k)) for k in doc["keys"]}

    def check(self, header, api):
        """None when the Authorization header value is good for the API ("registration" or "query"),
        else why not."""
        if self.refuse_all:
            return "tokens refused by the test"
        if not header or not header.startswith("Bearer "):
            return "no bearer token"
        token = header[7:]
        try:
            kid = jwt.get_unverified_header(token).get("kid")
            if kid not in self.keys or time.monotonic() - self.fetched > 0.5:
                self._fetch()
            key = self.keys.get(kid)
            if key is None:
                return "unknown key"
            claims = jwt.decode(token, key, algorithms=["RS512"], options={"verify_aud": False,
                                                                            "require": ["exp"]})
        except (jwt.PyJWTError, OSError, ValueError, KeyError) as problem:
            return f"bad token: {problem}"
        if claims["exp"] < time.time():
            return "expired"
        if "x-nmos-" + api not in claims:
            return "no x-nmos-" + api + " claim"
        return None
