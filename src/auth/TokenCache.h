// Tokens whose signature and registered claims have been checked, so that a client that sends the same
// token again (on a kept connection) does not pay the signature check again. Bounded; an entry lasts
// until its token expires, or until the keys, the issuer or the node's identities change (Clear).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace Qel_auth {

struct TCachedToken {
  std::shared_ptr<const nlohmann::json> Claims;
  int64_t Exp = 0;
  int64_t NotBefore = 0;
};

class TTokenCache {
public:
  explicit TTokenCache(size_t capacity = 256) : Capacity(capacity) {}

  // The entry of the token, or none (also once it has expired: it is dropped then).
  const TCachedToken* Find(const std::string& token, int64_t now, int64_t leeway);
  void Add(const std::string& token, TCachedToken entry, int64_t now, int64_t leeway);
  void Clear();
  size_t Size() const { return Entries.size(); }

private:
  struct TEntry {
    TCachedToken Token;
    std::list<std::string>::iterator Age;
  };
  void DropExpired(int64_t now, int64_t leeway);

  size_t Capacity;
  std::unordered_map<std::string, TEntry> Entries;
  std::list<std::string> Order; // oldest first
};

} // namespace Qel_auth
