// Types shared by every part of nmos-bridge: the JSON document type and the NMOS resource kinds.
#pragma once

#include <nlohmann/json.hpp>

namespace Qel_nmos_bridge {

// Objects keep their members in key order (a sorted map), so documents and lists read back sorted.
using json = nlohmann::json;

// IS-04 resource kinds; the numbers are fixed because tables are indexed by them.
enum TNMOS_ResType : int { Node = 0, Device = 1, Sender = 2, Receiver = 3, Source = 4, Flow = 5 };

// The "resource_type" text of a kind; an empty text for a value outside the kinds.
inline const char* ResTypeToString(TNMOS_ResType Type) {
  static const char* const Names[] = {"node", "device", "sender", "receiver", "source", "flow"};
  const int index = static_cast<int>(Type);
  return index >= 0 && index <= Flow ? Names[index] : "";
}

} // namespace Qel_nmos_bridge
