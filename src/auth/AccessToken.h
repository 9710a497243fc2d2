// The check of an access token (a JSON Web Token signed with RS512) against the keys and the issuer of
// the authorization server and the identities of this node: header, signature, and the registered
// claims iss, aud, exp, nbf and iat. What the token permits is TokenClaims' part.
#pragma once

#include "JWKSet.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace Qel_auth {

enum TTokenVerdict {
  tvValid,
  tvInvalid,       // malformed, badly signed, expired, or from another issuer
  tvOtherAudience, // sound in every other way, but for another audience
  tvUnknownKey,    // signed with a key the set lacks: names another kid, or names none and no key
                   // verifies it (the set may be out of date); refused too
};

struct TTokenExpectations {
  std::string Issuer;                // the authorization server's issuer identifier
  std::vector<std::string> Audience; // the names and addresses this node answers to
  int64_t Now = 0;                   // seconds since the UTC epoch
  int64_t Leeway = 5;                // seconds of clock difference forgiven on exp, nbf and iat
};

struct TVerifiedToken {
  nlohmann::json Claims;
  int64_t Exp = 0;
  int64_t NotBefore = 0; // 0 when the token names none
};

class TAccessTokenChecker {
public:
  // Largest token looked at, in bytes.
  static constexpr size_t MaxTokenSize = 8192;

  // Checks the token; on tvValid, out holds its claims. why says what was wrong (never the token).
  static TTokenVerdict Check(const std::string& token, const TJWKSet& keys, const TTokenExpectations& expect,
                             TVerifiedToken& out, std::string& why);
  // The times of a token already checked, against the clock now: false once it has expired or while it
  // is not yet valid.
  static bool InTime(int64_t exp, int64_t notBefore, int64_t now, int64_t leeway, std::string& why);
  // Whether the token's audience names this node (a name with wild cards, or with a scheme).
  static bool AudienceMatches(const nlohmann::json& aud, const std::vector<std::string>& identities);
};

} // namespace Qel_auth
