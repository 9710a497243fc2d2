// Which sender built the flow of each firmware stream index. The firmware numbers its streams itself,
// so a stream's index need not be its place in the list: a stream that leaves, moves to another index
// or is disabled must take the flow it built with it, and never the flow another stream built since.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace Qel_nmos_bridge {

class TFlowOwners {
public:
  // Sender `sender` has built the flow of index n. A sender that built it before no longer owns it,
  // but may still name it until it is built again: the index is then shared.
  void Built(const std::string& sender, int n) {
    if (const auto old = BySender.find(sender); old != BySender.end() && old->second != n) Forget(sender);
    const auto owner = ByIndex.find(n);
    if (owner != ByIndex.end() && owner->second != sender) {
      BySender.erase(owner->second);
      Shared.insert(n);
    }
    ByIndex[n] = sender;
    BySender[sender] = n;
  }

  // The index of the flow the sender owns, if it owns one.
  std::optional<int> IndexOf(const std::string& sender) const {
    const auto it = BySender.find(sender);
    return it == BySender.end() ? std::nullopt : std::optional<int>(it->second);
  }

  // The sender gives its flow up: its index, if it owned one, which is forgotten.
  std::optional<int> Release(const std::string& sender) {
    const std::optional<int> n = IndexOf(sender);
    if (n) Forget(sender);
    return n;
  }

  // Whether another sender may still name the flow of index n (it built it before the owner did).
  bool IsShared(int n) const { return Shared.count(n) != 0; }

private:
  void Forget(const std::string& sender) {
    const int n = BySender[sender];
    BySender.erase(sender);
    ByIndex.erase(n);
    Shared.erase(n);
  }

  std::unordered_map<std::string, int> BySender;
  std::unordered_map<int, std::string> ByIndex;
  std::unordered_set<int> Shared;
};

} // namespace Qel_nmos_bridge
