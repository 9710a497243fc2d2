// The public keys of an authorization server, read from its JSON Web Key Set (RFC 7517): RSA signing
// keys only, since access tokens are signed with RS512 and nothing else.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace Qel_auth {

struct TPKeyFree {
  void operator()(EVP_PKEY* key) const;
};
using TPKey = std::unique_ptr<EVP_PKEY, TPKeyFree>;

struct TJWK {
  std::string Kid; // empty when the key names none
  TPKey Key;
};

class TJWKSet {
public:
  // Smallest RSA modulus taken, in bits.
  static constexpr int MinModulusBits = 2048;
  // Keys taken from one set at most.
  static constexpr size_t MaxKeys = 16;

  // Reads the set's keys; a key that is not an RSA key for signatures with RS512 (a key of another
  // type, for encryption, for another algorithm, with a short or malformed modulus or exponent, or
  // with private parts) is left out and its reason added to skipped. False when the document is no
  // key set.
  bool Parse(const nlohmann::json& set, std::vector<std::string>* skipped = nullptr);

  const std::vector<TJWK>& Keys() const { return FKeys; }
  bool Empty() const { return FKeys.empty(); }
  // The key named kid, or none.
  const TJWK* Find(const std::string& kid) const;

private:
  std::vector<TJWK> FKeys;
};

// The RSA public key of modulus n and exponent e (big-endian bytes), or none.
TPKey MakeRSAPublicKey(const std::string& n, const std::string& e);

} // namespace Qel_auth
