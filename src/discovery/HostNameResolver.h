// Host names that only multicast DNS knows ("sender-host.local"): the system's resolver on the device
// does not look them up, so the node asks its Avahi client.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Qel_nmos_bridge {

// Whether `host` (as a URL names it) is a multicast DNS name: it ends in ".local" (in any case, with or
// without the final dot), has a label before that and is not an address.
bool IsMulticastDNSHost(const std::string& host);

class IQELHostNameResolver {
public:
  // The IPv4 address in dotted form, "" when the name was not found in time.
  using TDone = std::function<void(const std::string& address)>;

  // Looks a multicast DNS name up; `done` runs later on the service loop, never from inside this call.
  // 0 (and `done` never runs) when no lookup can be made (no Avahi daemon): the caller does without.
  virtual uint64_t ResolveHostName(const std::string& name, TDone done) = 0;
  // Ends a lookup without its `done`.
  virtual void CancelHostName(uint64_t id) = 0;

protected:
  virtual ~IQELHostNameResolver() = default;
};

} // namespace Qel_nmos_bridge
