#include "RequestAuthorizer.h"

#include "TokenClaims.h"
#include "helpers.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace Qel_auth {

using json = nlohmann::json;

namespace {

int64_t SystemNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

// RFC 6750's b64token characters, looked up per character of every token.
struct TB64TokenChars {
  bool Allowed[256] = {};
  TB64TokenChars() {
    for (const char* c = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~+/="; *c; ++c)
      Allowed[static_cast<unsigned char>(*c)] = true;
  }
};
const TB64TokenChars B64TokenChars;

// The token of "Bearer <token>"; false when the header holds no bearer token.
bool BearerToken(const std::string& header, std::string& token) {
  const std::string scheme = "bearer";
  if (header.size() <= scheme.size() || !std::isspace(static_cast<unsigned char>(header[scheme.size()])))
    return false;
  for (size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return false;
  size_t start = header.find_first_not_of(" \t", scheme.size());
  if (start == std::string::npos) return false;
  token = header.substr(start);
  return true;
}

bool WellFormed(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token)
    if (!B64TokenChars.Allowed[static_cast<unsigned char>(c)]) return false;
  return true;
}

// A text from a token made fit for a log line and bounded.
std::string Printable(const json& claims, const char* name) {
  auto it = claims.find(name);
  if (it == claims.end() || !it->is_string()) return "-";
  std::string text = it->get<std::string>().substr(0, 64);
  for (char& c : text)
    if (c < 0x21 || c > 0x7e) c = '?';
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '"' && c != '\\' && c >= 0x20 && c < 0x7f) out.push_back(c);
  return out;
}

} // namespace

TRequestAuthorizer::TRequestAuthorizer(uv_loop_t* loop, std::vector<std::string> apis,
                                       const std::string& server,
                                       std::function<std::vector<std::string>()> identities)
    : Clock(SystemNow), APIs(std::move(apis)), Keys(loop, server), Identities(std::move(identities)) {}

bool TRequestAuthorizer::Protects(const std::string& path) const {
  const TAPIPath where = SplitAPIPath(path);
  if (where.Level == TAPIPath::plOpen || where.Level == TAPIPath::plOther) return false;
  return std::find(APIs.begin(), APIs.end(), where.API) != APIs.end();
}

std::string TRequestAuthorizer::Realm() {
  if (CachedIdentities.empty() && Identities) CachedIdentities = Identities();
  return CachedIdentities.empty() ? std::string("nmos") : CachedIdentities.front();
}

void TRequestAuthorizer::Audit(const TAuthRequest& request, const char* outcome, const std::string& detail,
                               const json* claims) {
  const int64_t now = Clock();
  if (now - WindowStart >= AuditWindowSeconds) {
    if (LeftOut > 0)
      lws_log(QLLL_WARN, "Auth audit: %llu lines left out", static_cast<unsigned long long>(LeftOut));
    WindowStart = now;
    WindowLines = 0;
    LeftOut = 0;
  }
  if (WindowLines >= AuditLinesPerWindow) {
    ++LeftOut;
    return;
  }
  ++WindowLines;
  std::string path = request.Path.substr(0, 256);
  for (char& c : path)
    if (c < 0x21 || c > 0x7e) c = '?';
  const std::string method = request.Method.substr(0, 16);
  lws_log(QLLL_WARN, "Auth audit: %s %s %s from %s: %s (sub %s, client %s, iss %s)", outcome, method.c_str(),
          path.c_str(), request.Peer.c_str(), detail.c_str(),
          claims ? Printable(*claims, "sub").c_str() : "-",
          claims ? Printable(*claims, claims->contains("client_id") ? "client_id" : "azp").c_str() : "-",
          claims ? Printable(*claims, "iss").c_str() : "-");
}

TAuthDecision TRequestAuthorizer::Refuse(const TAuthRequest& request, int status, const char* error,
                                         const std::string& why, const json* claims) {
  ++Refused;
  TAuthDecision d;
  d.Status = status;
  d.Debug = why;
  // Parameters joined by a bare comma and the error code as a plain token (RFC 7235 allows both): some
  // clients split the header on commas and compare the parts as they are.
  std::string challenge = "Bearer realm=\"" + Quoted(Realm()) + "\"";
  if (error) challenge += ",error=" + std::string(error) + ",error_description=\"" + Quoted(why) + "\"";
  d.Headers.emplace_back("WWW-Authenticate", challenge);
  if (status == 503) d.Headers.emplace_back("Retry-After", "5");
  Audit(request, "refused", std::to_string(status) + " " + why, claims);
  return d;
}

TAuthDecision TRequestAuthorizer::Check(const TAuthRequest& request) {
  if (!Protects(request.Path)) return {};
  const TAccessKind access = AccessOf(request.Method);
  std::string token;
  if ((request.AuthorizationGiven ? 1 : 0) + request.AccessTokens > 1)
    return Refuse(request, 400, "invalid_request", "more than one token", nullptr);
  if (request.AccessTokens) {
    // The query parameter is for clients that cannot set a header (websocket handshakes): reads only.
    if (access != akRead)
      return Refuse(request, 401, "invalid_request", "token in the query of a write", nullptr);
    token = request.AccessToken;
  } else if (!request.AuthorizationGiven || !BearerToken(request.Authorization, token)) {
    return Refuse(request, 401, nullptr, "no bearer token", nullptr);
  }
  if (!WellFormed(token)) return Refuse(request, 401, "invalid_token", "malformed token", nullptr);

  const int64_t now = Clock();
  if (CacheGeneration != Keys.Generation()) {
    Cache.Clear();
    CachedIdentities.clear();
    CacheGeneration = Keys.Generation();
  }
  std::shared_ptr<const json> claims;
  std::string why;
  if (const TCachedToken* hit = Cache.Find(token, now, Leeway)) {
    if (!TAccessTokenChecker::InTime(hit->Exp, hit->NotBefore, now, Leeway, why))
      return Refuse(request, 401, "invalid_token", why, hit->Claims.get());
    claims = hit->Claims;
  } else {
    std::shared_ptr<const TJWKSet> keys = Keys.Keys();
    if (!keys || keys->Empty()) {
      Keys.RequestRefresh();
      return Refuse(request, 503, nullptr, "no keys of the authorization server", nullptr);
    }
    if (Identities) CachedIdentities = Identities();
    TTokenExpectations expect;
    expect.Issuer = Keys.Issuer();
    expect.Audience = CachedIdentities;
    expect.Now = now;
    expect.Leeway = Leeway;
    TVerifiedToken verified;
    const TTokenVerdict verdict = TAccessTokenChecker::Check(token, *keys, expect, verified, why);
    if (verdict == tvUnknownKey) Keys.RequestRefresh();
    // RFC 6750: a sound token that grants nothing here lacks scope (403); any other is invalid (401).
    if (verdict == tvOtherAudience) return Refuse(request, 403, "insufficient_scope", why, nullptr);
    if (verdict != tvValid) return Refuse(request, 401, "invalid_token", why, nullptr);
    ++Verified;
    claims = std::make_shared<const json>(std::move(verified.Claims));
    Cache.Add(token, {claims, verified.Exp, verified.NotBefore}, now, Leeway);
  }
  if (!ClaimsPermit(*claims, SplitAPIPath(request.Path), access))
    return Refuse(request, 403, "insufficient_scope", "the token does not permit this request", claims.get());
  ++Allowed;
  if (access == akWrite) Audit(request, "allowed", "write", claims.get());
  return {};
}

void TRequestAuthorizer::UpdateStats(json& stats) const {
  stats = {{"Allowed", Allowed},
           {"Refused", Refused},
           {"Verified", Verified},
           {"CachedTokens", Cache.Size()},
           {"Keys", Keys.Keys() ? Keys.Keys()->Keys().size() : 0},
           {"Issuer", Keys.Issuer()}};
}

} // namespace Qel_auth
