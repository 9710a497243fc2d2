// Resolution of one service instance at a time into address, port and TXT records.
#pragma once

#include "HostAddress.h"
#include "Object.h"

#include <avahi-client/lookup.h>

class TAvahiClient;
struct TAvahiService;

// What a resolution yields; the texts point into the library's data and are valid only during the
// notification. The empty result (a failed resolution) has a null address, port 0 and null texts.
struct TAvahiResolveResult {
  THostAddress Address;
  uint16_t Port = 0;
  AvahiProtocol Protocol = AVAHI_PROTO_UNSPEC;
  AvahiIfIndex InterfaceIndex = AVAHI_IF_UNSPEC;
  const char* Name = nullptr;
  const char* Type = nullptr;
  const char* Domain = nullptr;
  const char* HostName = nullptr;
  AvahiStringList* Text = nullptr;
};

class TAvahiResolver {
public:
  TAvahiResolver() = default;
  ~TAvahiResolver();
  TAvahiResolver(const TAvahiResolver&) = delete;
  TAvahiResolver& operator=(const TAvahiResolver&) = delete;

  TSignal<const TAvahiService*, const TAvahiResolveResult&> Resolved;

  // Ignored while a resolution runs.
  void Resolve(const TAvahiService* s);
  void StopResolving();
  // Ends the library's resolution; a service still waiting for it gets the empty result.
  void Reset();
  const TAvahiService* Service() const { return resolved_service; }

private:
  static void resolve_cb(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                         const char* host_name, const AvahiAddress* a, uint16_t port, AvahiStringList* txt,
                         AvahiLookupResultFlags flags, void* userdata);

  AvahiServiceResolver* resolver = nullptr;
  const TAvahiService* resolved_service = nullptr;
  TAvahiClient* client = nullptr; // the client the running resolution is registered with
};
