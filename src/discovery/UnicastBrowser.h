// Unicast DNS-SD browsing (RFC 6763 over ordinary DNS) on a libuv loop: for each service type, the
// PTR records of "<type>.<domain>", then the SRV and TXT records of each instance and the IPv4 address
// of the SRV target. Each type is browsed again when its records' TTLs run out (between 10 s and 5
// minutes), so instances appear, change and disappear; a sink per type hears of each.
#pragma once

#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Qel_nmos_bridge {

// One resolved instance.
struct TUnicastService {
  std::string Name;     // the instance's label ("Registry A")
  std::string Type;     // "_nmos-register._tcp"
  std::string Domain;   // "example.com"
  std::string HostName; // the SRV target, without the trailing dot
  std::string Address;  // its IPv4 address, dotted
  uint16_t Port = 0;
  std::vector<std::string> Text; // the TXT records, in order
  bool operator==(const TUnicastService& o) const {
    return Name == o.Name && Type == o.Type && Domain == o.Domain && HostName == o.HostName &&
           Address == o.Address && Port == o.Port && Text == o.Text;
  }
  bool operator!=(const TUnicastService& o) const { return !(*this == o); }
};

// present: the instance was found (or changed); false: it is gone (or no longer resolves).
using TUnicastSink = std::function<void(const TUnicastService& service, bool present)>;

struct TUnicastSettings {
  std::string Domain;     // where to browse
  std::string Server;     // "ADDR[:PORT]" (IPv4); empty: the servers of ResolvConf
  std::string ResolvConf; // the resolver configuration read for servers when none is named
};

class IQELUnicastBrowser {
public:
  virtual ~IQELUnicastBrowser() = default;
  virtual void Destroy() = 0;
  // Starts browsing `type` ("_nmos-register._tcp"); the sink is called on the loop.
  virtual void Browse(const std::string& type, TUnicastSink sink) = 0;

  // Null (and an error line) when the resolver cannot be set up; a named server that cannot be used
  // never makes it fall back to other servers.
  static IQELUnicastBrowser* Create(uv_loop_t* loop, const TUnicastSettings& settings);
};

struct TUnicastBrowserDelete {
  void operator()(IQELUnicastBrowser* b) const {
    if (b) b->Destroy();
  }
};
using TUnicastBrowserPtr = std::unique_ptr<IQELUnicastBrowser, TUnicastBrowserDelete>;

// The next browse of a type, in seconds, from the smallest TTL its last answers carried.
uint32_t BrowsePeriod(uint32_t smallestTTL, bool failed);

// The first search domain of a resolver configuration's text ("search" or "domain"; the last such line
// counts, as the resolver reads it); empty when there is none.
std::string SearchDomainOf(const std::string& resolvConf);

} // namespace Qel_nmos_bridge
