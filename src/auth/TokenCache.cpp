#include "TokenCache.h"

namespace Qel_auth {

const TCachedToken* TTokenCache::Find(const std::string& token, int64_t now, int64_t leeway) {
  auto it = Entries.find(token);
  if (it == Entries.end()) return nullptr;
  if (now > it->second.Token.Exp + leeway) {
    Order.erase(it->second.Age);
    Entries.erase(it);
    return nullptr;
  }
  return &it->second.Token;
}

void TTokenCache::DropExpired(int64_t now, int64_t leeway) {
  for (auto it = Order.begin(); it != Order.end();) {
    auto entry = Entries.find(*it);
    if (entry != Entries.end() && now > entry->second.Token.Exp + leeway) {
      Entries.erase(entry);
      it = Order.erase(it);
    } else {
      ++it;
    }
  }
}

void TTokenCache::Add(const std::string& token, TCachedToken entry, int64_t now, int64_t leeway) {
  if (Capacity == 0 || Entries.count(token)) return;
  if (Entries.size() >= Capacity) DropExpired(now, leeway);
  while (Entries.size() >= Capacity) {
    Entries.erase(Order.front());
    Order.pop_front();
  }
  Order.push_back(token);
  Entries.emplace(token, TEntry{std::move(entry), std::prev(Order.end())});
}

void TTokenCache::Clear() {
  Entries.clear();
  Order.clear();
}

} // namespace Qel_auth
