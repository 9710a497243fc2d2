// Access tokens as clients present them. An input without a NUL byte is the token itself, as sent; an
// input "HEADER\0CLAIMS" is made a token signed with the key the node trusts, so that what follows the
// signature is reached: the header's and the claims' checks, then the claims' rights over the APIs.
// What must hold: a token is valid only when it is signed, in time, for this node and from the issuer;
// its claims are then those signed; the rights never reach beyond the APIs the claims name.
#include "AccessToken.h"
#include "Base64URL.h"
#include "JWKSet.h"
#include "TokenClaims.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Qel_auth;
using nlohmann::json;

namespace {

[[noreturn]] void Broken(const std::string& why) {
  fprintf(stderr, "%s\n", why.c_str());
  abort();
}

std::string Bytes(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  std::string out(static_cast<size_t>(BN_num_bytes(bn)), '\0');
  BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&out[0]));
  BN_free(bn);
  return out;
}

struct TKey {
  TPKey Key{EVP_RSA_gen(2048)};
  TJWKSet Set;
  TKey() {
    const json jwk = {{"kty", "RSA"},
                      {"use", "sig"},
                      {"alg", "RS512"},
                      {"kid", "k1"},
                      {"n", Base64URLEncode(Bytes(Key.get(), OSSL_PKEY_PARAM_RSA_N))},
                      {"e", Base64URLEncode(Bytes(Key.get(), OSSL_PKEY_PARAM_RSA_E))}};
    if (!Set.Parse(json{{"keys", json::array({jwk})}}) || Set.Empty()) Broken("the key set is refused");
  }
  std::string Sign(const std::string& header, const std::string& claims) const {
    const std::string input = Base64URLEncode(header) + "." + Base64URLEncode(claims);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha512(), nullptr, Key.get());
    EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size());
    std::string sig(len, '\0');
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &len,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return input + "." + Base64URLEncode(sig);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TKey key;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const bool signedHere = nul != std::string::npos;
  const std::string token = signedHere ? key.Sign(input.substr(0, nul), input.substr(nul + 1)) : input;

  TTokenExpectations expect;
  expect.Issuer = "https://auth.example";
  expect.Audience = {"node.example", "127.0.0.1"};
  expect.Now = 1700000000;
  TVerifiedToken out;
  std::string why;
  const TTokenVerdict verdict = TAccessTokenChecker::Check(token, key.Set, expect, out, why);
  if (verdict != tvValid) return 0;
  if (!signedHere) Broken("a token not signed here was taken");
  const json claims = json::parse(input.substr(nul + 1), nullptr, false);
  if (claims.is_discarded() || out.Claims != claims) Broken("the claims taken are not the claims signed");
  if (claims.value("iss", json()) != expect.Issuer) Broken("a token of another issuer was taken");
  if (!TAccessTokenChecker::InTime(out.Exp, out.NotBefore, expect.Now, expect.Leeway, why))
    Broken("a token out of time was taken: " + why);

  // The rights the claims give: nothing in an API that they do not name.
  for (const char* path : {"/x-nmos/connection/v1.1/single/receivers/x/staged", "/x-nmos/node/v1.3/self",
                           "/x-nmos/connection/v1.1/bulk/receivers", "/x-nmos/connection", "/x-nmos"}) {
    const TAPIPath api = SplitAPIPath(path);
    for (TAccessKind access : {akRead, akWrite}) {
      const bool permitted = ClaimsPermit(out.Claims, api, access);
      if (permitted && api.Level == TAPIPath::plBelowVersion && !out.Claims.contains("x-nmos-" + api.API))
        Broken(std::string("claims without x-nmos-") + api.API + " permit " + path);
    }
  }
  return 0;
}
