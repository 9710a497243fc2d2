#include "AttachedDevice.h"

namespace Qel_nmos_bridge {

namespace {

const char* const Member = "attached_network_device";

std::string TextOf(const nlohmann::json& entry, const char* key) {
  if (!entry.is_object()) return "";
  const auto it = entry.find(key);
  return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

int AttachedInterface(const nlohmann::json& interfaces, const std::string& ifname, const std::string& mac) {
  if (!interfaces.is_array()) return -1;
  for (size_t i = 0; i < interfaces.size(); ++i)
    if (!ifname.empty() && TextOf(interfaces[i], "name") == ifname) return static_cast<int>(i);
  for (size_t i = 0; i < interfaces.size(); ++i)
    if (!mac.empty() && TextOf(interfaces[i], "port_id") == mac) return static_cast<int>(i);
  return interfaces.size() == 1 && interfaces[0].is_object() ? 0 : -1;
}

bool AttachNeighbour(nlohmann::json& interfaces, const std::string& ifname, const std::string& mac,
                     const TLLDPNeighbour* neighbour) {
  if (!interfaces.is_array()) return false;
  const int target = neighbour ? AttachedInterface(interfaces, ifname, mac) : -1;
  bool changed = false;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    nlohmann::json& entry = interfaces[i];
    if (!entry.is_object()) continue;
    if (static_cast<int>(i) == target) {
      const nlohmann::json attached = {{"chassis_id", neighbour->ChassisId}, {"port_id", neighbour->PortId}};
      const auto it = entry.find(Member);
      if (it != entry.end() && *it == attached) continue;
      entry[Member] = attached;
      changed = true;
    } else if (entry.erase(Member) > 0) {
      changed = true;
    }
  }
  return changed;
}

} // namespace Qel_nmos_bridge
