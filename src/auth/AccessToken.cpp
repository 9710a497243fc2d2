#include "AccessToken.h"

#include "Base64URL.h"
#include "WildcardMatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <memory>

namespace Qel_auth {

using json = nlohmann::json;

namespace {

struct TMDCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

bool VerifyRS512(EVP_PKEY* key, const std::string& input, const std::string& signature) {
  std::unique_ptr<EVP_MD_CTX, TMDCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha512(), nullptr, key) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(input.data()),
                          input.size()) == 1;
}

// A NumericDate claim (RFC 7519): a number of seconds; false when absent (present = false) or no
// number.
bool NumericDate(const json& claims, const char* name, int64_t& value, bool& present) {
  auto it = claims.find(name);
  present = it != claims.end();
  if (!present) return true;
  if (!it->is_number()) return false;
  const double d = it->get<double>();
  if (!std::isfinite(d) || d < 0 || d > 1e15) return false;
  value = static_cast<int64_t>(d);
  return true;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsAddress(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// One audience entry against one identity: the entry may carry a scheme ("https://"), never a port,
// path or query; names compare without regard to case and may hold '*' wild cards, addresses only
// compare whole.
bool EntryMatches(std::string entry, const std::string& identity) {
  size_t scheme = entry.find("://");
  if (scheme != std::string::npos) entry = entry.substr(scheme + 3);
  if (entry.empty() || entry.find_first_of("/?#@") != std::string::npos) return false;
  if (std::count(entry.begin(), entry.end(), ':') == 1) return false; // a port
  entry = Lower(entry);
  const std::string id = Lower(identity);
  if (entry == id) return true;
  if (IsAddress(id) || entry.find('*') == std::string::npos) return false;
  return WildcardMatch(entry, id);
}

} // namespace

bool TAccessTokenChecker::AudienceMatches(const json& aud, const std::vector<std::string>& identities) {
  auto matches = [&](const json& entry) {
    if (!entry.is_string()) return false;
    for (const std::string& id : identities)
      if (!id.empty() && EntryMatches(entry.get<std::string>(), id)) return true;
    return false;
  };
  if (aud.is_string()) return matches(aud);
  if (aud.is_array()) return std::any_of(aud.begin(), aud.end(), matches);
  return false;
}

bool TAccessTokenChecker::InTime(int64_t exp, int64_t notBefore, int64_t now, int64_t leeway,
                                 std::string& why) {
  if (now > exp + leeway) return why = "the token has expired", false;
  if (notBefore != 0 && now + leeway < notBefore) return why = "the token is not yet valid", false;
  return true;
}

TTokenVerdict TAccessTokenChecker::Check(const std::string& token, const TJWKSet& keys,
                                         const TTokenExpectations& expect, TVerifiedToken& out,
                                         std::string& why) {
  if (token.empty() || token.size() > MaxTokenSize) return why = "malformed token", tvInvalid;
  const size_t dot1 = token.find('.');
  const size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
  if (dot2 == std::string::npos || token.find('.', dot2 + 1) != std::string::npos)
    return why = "malformed token", tvInvalid;
  std::string headerText, payloadText, signature;
  if (!Base64URLDecode(token.substr(0, dot1), headerText) ||
      !Base64URLDecode(token.substr(dot1 + 1, dot2 - dot1 - 1), payloadText) ||
      !Base64URLDecode(token.substr(dot2 + 1), signature))
    return why = "malformed token", tvInvalid;
  const json header = json::parse(headerText, nullptr, false);
  if (!header.is_object()) return why = "malformed token header", tvInvalid;
  // The algorithm first: nothing but RS512 is looked at further (no "none", no HMAC, no other).
  auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string() || alg->get<std::string>() != "RS512")
    return why = "token algorithm not allowed", tvInvalid;
  if (header.contains("crit")) return why = "token header has critical extensions", tvInvalid;
  if (header.contains("jku") || header.contains("jwk") || header.contains("x5u") || header.contains("x5c"))
    return why = "token header names its own key", tvInvalid;
  if (keys.Empty()) return why = "no keys of the authorization server", tvUnknownKey;
  const std::string input = token.substr(0, dot2);
  bool verified = false;
  auto kid = header.find("kid");
  if (kid != header.end()) {
    if (!kid->is_string()) return why = "malformed token key id", tvInvalid;
    const TJWK* key = keys.Find(kid->get<std::string>());
    if (!key) return why = "token signed with an unknown key", tvUnknownKey;
    verified = VerifyRS512(key->Key.get(), input, signature);
  } else {
    for (const TJWK& key : keys.Keys())
      if ((verified = VerifyRS512(key.Key.get(), input, signature))) break;
    // No key of the set verifies it: it may come from a key published since.
    if (!verified) return why = "bad token signature", tvUnknownKey;
  }
  if (!verified) return why = "bad token signature", tvInvalid;

  json claims = json::parse(payloadText, nullptr, false);
  if (!claims.is_object()) return why = "malformed token claims", tvInvalid;
  auto iss = claims.find("iss");
  if (expect.Issuer.empty() || iss == claims.end() || !iss->is_string() ||
      iss->get<std::string>() != expect.Issuer)
    return why = "token from another issuer", tvInvalid;
  auto aud = claims.find("aud");
  if (aud == claims.end() || !(aud->is_string() || aud->is_array()))
    return why = "token without audience", tvInvalid;
  const bool forThisNode = AudienceMatches(*aud, expect.Audience);
  int64_t exp = 0, nbf = 0, iat = 0;
  bool hasExp = false, hasNbf = false, hasIat = false;
  if (!NumericDate(claims, "exp", exp, hasExp) || !hasExp) return why = "token without expiry", tvInvalid;
  if (!NumericDate(claims, "nbf", nbf, hasNbf) || !NumericDate(claims, "iat", iat, hasIat))
    return why = "malformed token times", tvInvalid;
  if (hasIat && iat > expect.Now + expect.Leeway) return why = "token issued in the future", tvInvalid;
  if (!InTime(exp, hasNbf ? std::max<int64_t>(nbf, 1) : 0, expect.Now, expect.Leeway, why)) return tvInvalid;
  // A sound token for another resource server: it grants nothing here.
  if (!forThisNode) return why = "token for another audience", tvOtherAudience;
  out.Claims = std::move(claims);
  out.Exp = exp;
  out.NotBefore = hasNbf ? std::max<int64_t>(nbf, 1) : 0;
  return tvValid;
}

} // namespace Qel_auth
