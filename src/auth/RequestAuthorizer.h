// The node as resource server: which requests need an access token (those to the protected APIs, but
// the CORS preflight and the open roots), and whether the token given permits the request. A
// refused request gets 401 (no token, or one that is malformed, badly signed, expired or from another
// issuer), 403 (a sound token for another audience, or without the right for the path and method) or 503 (no
// keys of the authorization server yet), with its WWW-Authenticate header. Every refusal and every allowed
// write is written to the audit log, at most a few lines a second; the count of lines left out follows.
#pragma once

#include "AccessToken.h"
#include "AuthServerKeys.h"
#include "TokenCache.h"

#include <nlohmann/json.hpp>
#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Qel_auth {

// APIs: "node", "connection" (the namespace names in the URL).
struct TAuthRequest {
  std::string Method;        // as sent
  std::string Path;          // percent-decoded, without the query
  std::string Authorization; // the header's value, empty when absent
  std::string AccessToken;   // the first "access_token" query parameter, decoded
  bool AuthorizationGiven = false;
  unsigned AccessTokens = 0; // "access_token" query parameters given
  std::string Peer;
};

struct TAuthDecision {
  int Status = 0; // 0: allowed; else the status of the refusal
  std::string Debug;
  std::vector<std::pair<std::string, std::string>> Headers;
  bool Allowed() const { return Status == 0; }
};

class TRequestAuthorizer {
public:
  static constexpr int64_t Leeway = 5;
  // Audit lines written in one window at most.
  static constexpr unsigned AuditLinesPerWindow = 20;
  static constexpr int64_t AuditWindowSeconds = 10;

  // apis: the namespace names protected; identities: the names and addresses the node answers to
  // (asked again whenever the cache is cold).
  TRequestAuthorizer(uv_loop_t* loop, std::vector<std::string> apis, const std::string& server,
                     std::function<std::vector<std::string>()> identities);

  void Start() { Keys.Start(); }
  bool Enabled() const { return !APIs.empty(); }
  TAuthServerKeys& Server() { return Keys; }

  TAuthDecision Check(const TAuthRequest& request);
  // Whether a request to the path needs a token at all.
  bool Protects(const std::string& path) const;
  void UpdateStats(nlohmann::json& stats) const;

  // The clock, seconds since the UTC epoch (a test sets another).
  std::function<int64_t()> Clock;

private:
  TAuthDecision Refuse(const TAuthRequest& request, int status, const char* error, const std::string& why,
                       const nlohmann::json* claims);
  void Audit(const TAuthRequest& request, const char* outcome, const std::string& detail,
             const nlohmann::json* claims);
  std::string Realm();

  std::vector<std::string> APIs;
  TAuthServerKeys Keys;
  std::function<std::vector<std::string>()> Identities;
  TTokenCache Cache;
  uint64_t CacheGeneration = 0;
  std::vector<std::string> CachedIdentities;
  // Audit rate limit.
  int64_t WindowStart = 0;
  unsigned WindowLines = 0;
  uint64_t LeftOut = 0;
  uint64_t Allowed = 0, Refused = 0, Verified = 0;
};

} // namespace Qel_auth
