// Typed reads of firmware members and small store writes shared by the bridge's resource builders.
#pragma once

#include "NMOSNodeData.h"
#include "Types.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace Qel_nmos_bridge {

// The RTP port of AES67 streams, and what IS-05 makes of a port left "auto".
constexpr int DefaultRTPPort = 5004;

// A text member, or "" when it is missing or of another kind.
inline std::string Text(const json& node, const char* member) {
  return IQELNMOSNodeData::JsonExtract(node, member, json("")).get<std::string>();
}

// A boolean member, or false.
inline bool Flag(const json& node, const char* member) {
  return IQELNMOSNodeData::JsonExtract(node, member, json(false)).get<bool>();
}

// Numbers from the firmware may arrive signed or unsigned; anything else gives the default.
inline int64_t Number(const json& node, const char* member, int64_t def) {
  if (!node.is_object() || !node.contains(member)) return def;
  const json& v = node[member];
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) return static_cast<int64_t>(v.get<double>());
  return def;
}

// A resource's "interface_bindings": the node's interface by name, none while it is not known.
inline json InterfaceBindings(const json& iface) {
  const std::string name = Text(iface, "name");
  return name.empty() ? json::array() : json::array({name});
}

// A store path made of a format with one "%s" and an identifier.
inline std::string Path(const char* format, const std::string& id) {
  char path[256];
  snprintf(path, sizeof path, format, id.c_str());
  return path;
}

// Writes `value` at `path` when it differs from what is stored; returns the patch (empty: unchanged).
// The grandmaster identity of a PTP clock whose grandmaster is not known (yet).
constexpr const char* NoGrandmaster = "00-00-00-00-00-00-00-00";

inline json SetIfChanged(IQELNMOSNodeData& data, const std::string& path, const json& value) {
  json patch = json::diff(data.Get(path.c_str()), value);
  if (!patch.empty()) data.Set(path.c_str(), value);
  return patch;
}

} // namespace Qel_nmos_bridge
