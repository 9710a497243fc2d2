// Learns, from the LLDP frames the switch sends, which switch port the node's host interface is plugged
// into. A raw packet socket bound to that interface is polled on the service host's loop; the neighbour
// holds for the TTL its frames give and goes when it runs out (or at once with a TTL of 0).
#pragma once

#include "LLDPFrame.h"

#include <functional>
#include <string>

namespace Qel_hosted {
class IServiceHost;
}

namespace Qel_nmos_bridge {

class ILLDPListener {
public:
  virtual ~ILLDPListener() = default;
  virtual void Destroy() = 0;
  // The host interface it listens on.
  virtual const std::string& Interface() const = 0;
  // That interface's hardware address, "xx-xx-xx-xx-xx-xx"; "" until the socket is open.
  virtual const std::string& InterfaceMAC() const = 0;
  // The neighbour learnt, null while none is known.
  virtual const TLLDPNeighbour* Neighbour() const = 0;

  // Listens on `ifname` from now on. `changed` runs on the loop after the neighbour changed (a new one, a
  // withdrawn or expired one), at most once a second however fast frames come. A socket that cannot be
  // opened (no such interface, no CAP_NET_RAW) is logged in one warning and tried again every 10 s.
  // Statistics under the service name "LLDP".
  static ILLDPListener* Create(Qel_hosted::IServiceHost& host, const std::string& ifname,
                               std::function<void()> changed);
};

} // namespace Qel_nmos_bridge
