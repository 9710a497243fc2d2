// The node's DNS-SD face: it advertises the Node API as "_nmos-node._tcp" under the host name, browses
// the registries' Registration and Query APIs and hands those it can use to the registry clients.
#pragma once

#include <avahi-common/strlst.h>

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSBridge;

class IQELMDNSBridge {
public:
  virtual ~IQELMDNSBridge() = default;
  virtual void Destroy() = 0;
  // Publishes (again) the node service under `name` on the bridge's port.
  virtual void SetNodeName(const std::string& name) = 0;
  // The publisher's state: 0 stopped, 1 established, 2 collision, 3 failure, 4 uncommitted, 5 registering.
  virtual uint32_t GetState() = 0;

  static IQELMDNSBridge* Create(IQELNMOSBridge* bridge);
};

// Whether a resolved registry instance may be used, judged by its TXT records as DNS-SD reads them (keys
// without regard to case, only the first record of a key counts): "api_ver" must name v1.2 among its
// comma-separated versions and "api_proto" must be "http" (either may be absent); "pri", when present,
// must be a whole number from 0 to 65535 and gives the priority (0 when absent). A refused instance is
// logged in one line.
bool AcceptRegistryTXT(const char* instance, AvahiStringList* txt, uint16_t& prio);

// A priority as text: decimal digits only, 0 to 65535.
bool ParsePriority(const std::string& text, uint16_t& prio);

// Whether a comma-separated list of versions has `version` as one of its items (blanks around items
// are allowed).
bool NamesVersion(const std::string& list, const std::string& version);

} // namespace Qel_nmos_bridge
