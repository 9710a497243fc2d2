// Which registries the node is offered when both unicast DNS-SD and multicast DNS find them: those of
// unicast DNS-SD when it finds any usable instance of the API, else those of multicast DNS (or only the
// one source "/dns-sd" names).
#pragma once

#include "NMOSBridgeConfig.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace Qel_nmos_bridge {

enum TDiscoverySource { SourceMulticast = 0, SourceUnicast = 1 };
const char* SourceText(TDiscoverySource source);

// What an instance offers a registry client.
struct TOffer {
  std::string Addr;
  uint16_t Port = 0;
  uint16_t Prio = 0;
  std::string Version;
  std::string Host; // the name its URLs carry, pinned to Addr; empty: Addr
  bool operator==(const TOffer& o) const {
    return Addr == o.Addr && Port == o.Port && Prio == o.Prio && Version == o.Version && Host == o.Host;
  }
  bool operator!=(const TOffer& o) const { return !(*this == o); }
};

// One instance name of one API as seen under its service names (a registry advertises its
// Registration API under both; index 0 is the newer name).
struct TSeenInstance {
  std::optional<TOffer> Seen[2];
  std::string Refusal[2]; // the last reason told in the log
  // What the newer name advertises, else what the older one does.
  const std::optional<TOffer>& Wanted() const { return Seen[0] ? Seen[0] : Seen[1]; }
  bool Empty() const { return !Seen[0] && !Seen[1] && Refusal[0].empty() && Refusal[1].empty(); }
};

// The instances of one API that each source found, by instance name.
struct TAPIInstances {
  std::map<std::string, TSeenInstance> Found[2];

  // The source whose instances are offered.
  TDiscoverySource InUse(TDNSSDMode mode) const;
  // What is to be offered, by instance name.
  std::map<std::string, TOffer> Wanted(TDNSSDMode mode) const;
};

} // namespace Qel_nmos_bridge
