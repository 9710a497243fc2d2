// The node's DNS-SD face: it advertises the Node API as "_nmos-node._tcp" under the host name, browses
// the registries' Registration APIs (under both of their service names) and Query APIs and hands those
// it can use to the registry clients, each with the IS-04 version to speak there.
#pragma once

#include "HostNameResolver.h"

#include <avahi-common/strlst.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Qel_nmos_bridge {

class IQELNMOSBridge;

// It also looks up multicast DNS host names for the node (IPv4, given up after 5 s).
class IQELMDNSBridge : public IQELHostNameResolver {
public:
  ~IQELMDNSBridge() override = default;
  virtual void Destroy() = 0;
  // Publishes (again) the node service under `name` on the bridge's port.
  virtual void SetNodeName(const std::string& name) = 0;
  // The publisher's state: 0 stopped, 1 established, 2 collision, 3 failure, 4 uncommitted, 5 registering.
  virtual uint32_t GetState() = 0;

  static IQELMDNSBridge* Create(IQELNMOSBridge* bridge);
};

// What the TXT records of a resolved registry instance say, read as DNS-SD reads them (keys without
// regard to case, only the first record of a key counts):
// - "api_ver": the comma-separated versions it serves; the newest the node also serves is used, and an
//   instance that names none of them is not usable. Without the record (registries before the record
//   existed) the registry is asked which versions it serves.
// - "api_proto": the protocol the node speaks, "https" when it is secure (TLS on every API), else "http"
//   (which an absent record stands for); any other protocol makes it unusable.
// - "api_auth": "false" (or absent); a registry that requires authorization is not usable.
// - "pri": the priority, a whole number from 0 to 65535 (0 when absent); any other value makes it
//   unusable.
// The first record that makes the instance unusable says why.
struct TRegistryTXT {
  bool Usable = true;
  uint16_t Prio = 0;
  std::string Version; // empty: no "api_ver", the registry is to be asked
  std::string Refusal; // why it is not usable
};
// secure: the node uses https only; tokens: it sends access tokens to registries, so one that requires
// authorization is usable.
TRegistryTXT ReadRegistryTXT(AvahiStringList* txt, bool secure, bool tokens = false);

// A priority as text: decimal digits only, 0 to 65535.
bool ParsePriority(const std::string& text, uint16_t& prio);

// The TXT records the node advertises itself with (its APIs served over https when `secure`, asking for
// tokens when `authorized`).
std::vector<std::string> NodeTXTRecords(bool secure, bool authorized);

// What the TXT records of an authorization server ("_nmos-auth._tcp") say: usable when api_proto is
// https (or http, on a node that is not secure itself), api_ver names v1.0 and pri is a number.
struct TAuthTXT {
  bool Usable = true;
  std::string Refusal;
  std::string Proto;
  std::string Selector; // "/<api_selector>" or empty
  uint16_t Prio = 0;
};
TAuthTXT ReadAuthTXT(AvahiStringList* txt, bool secure);

// What the TXT records of a System API ("_nmos-system._tcp", IS-09) say: usable when api_ver names v1.0,
// api_proto is the node's protocol ("https" when it is secure, else "http"), pri is a whole number from
// 0 to 65535 and api_auth is not "true" (the node sends the System API no tokens). All three of
// api_ver, api_proto and pri must be there; only the first record of a key counts.
struct TSystemTXT {
  bool Usable = true;
  uint16_t Prio = 0;
  std::string Refusal;
};
TSystemTXT ReadSystemTXT(AvahiStringList* txt, bool secure);

// The SRV target of a resolved service as its URLs name it: without the trailing dot, in lower case.
// Empty when it is not a host name made of letters, digits, '-' and '.' labels (at most 253 characters,
// labels of 1 to 63): the service is then reached by its address.
std::string UsableHostName(const std::string& srvTarget);

} // namespace Qel_nmos_bridge
