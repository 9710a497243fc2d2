#include "DiscoverySources.h"

namespace Qel_nmos_bridge {

const char* SourceText(TDiscoverySource source) {
  return source == SourceUnicast ? "unicast DNS-SD" : "multicast DNS";
}

TDiscoverySource TAPIInstances::InUse(TDNSSDMode mode) const {
  if (mode == TDNSSDMode::Multicast) return SourceMulticast;
  if (mode == TDNSSDMode::Unicast) return SourceUnicast;
  for (const auto& entry : Found[SourceUnicast])
    if (entry.second.Wanted()) return SourceUnicast;
  return SourceMulticast;
}

std::map<std::string, TOffer> TAPIInstances::Wanted(TDNSSDMode mode) const {
  std::map<std::string, TOffer> wanted;
  for (const auto& entry : Found[InUse(mode)])
    if (const std::optional<TOffer>& offer = entry.second.Wanted()) wanted.emplace(entry.first, *offer);
  return wanted;
}

} // namespace Qel_nmos_bridge
