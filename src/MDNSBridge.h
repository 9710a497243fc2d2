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

// Whether a resolved registry instance may be used, judged by its TXT records in the order they come:
// "api_ver" must name v1.2 and "api_proto" must be "http" (either may be absent); "pri" gives the
// priority (0 when absent or not a number, the last one counts). A rejecting record ends the walk.
bool AcceptRegistryTXT(const char* instance, AvahiStringList* txt, uint16_t& prio);

} // namespace Qel_nmos_bridge
