#include "AvahiResolver.h"
#include "AvahiApi.h"
#include "AvahiBrowser.h"
#include "AvahiClient.h"

TAvahiResolver::~TAvahiResolver() {
  StopResolving();
}

void TAvahiResolver::Resolve(const TAvahiService* s) {
  if (resolver || !s) return;
  resolved_service = s;
  TAvahiClient* c = s->browser->Client();
  if (c->Status() != TAvahiClient::Running) return;
  resolver = AvahiApi().service_resolver_new(
      c->Handle(), s->ifindex, AVAHI_PROTO_INET, s->name.c_str(), s->browser->Type().c_str(),
      s->browser->Domain().c_str(), AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), resolve_cb, this);
  if (resolver) {
    client = c;
    client->Register(this);
  }
}

void TAvahiResolver::StopResolving() {
  if (client) client->Unregister(this);
  client = nullptr;
  resolved_service = nullptr;
  Reset();
}

void TAvahiResolver::Reset() {
  if (!resolver) return;
  AvahiServiceResolver* running = resolver;
  resolver = nullptr; // a receiver of the empty result may start the next resolution at once
  if (const TAvahiService* s = resolved_service) {
    resolved_service = nullptr;
    Resolved.Emit(s, TAvahiResolveResult());
  }
  AvahiApi().service_resolver_free(running);
}

void TAvahiResolver::resolve_cb(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol protocol,
                                AvahiResolverEvent event, const char* name, const char* type,
                                const char* domain, const char* host_name, const AvahiAddress* a,
                                uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
  auto* self = static_cast<TAvahiResolver*>(userdata);
  const TAvahiService* s = self->resolved_service;
  if (!s) return;
  TAvahiResolveResult result;
  if (event == AVAHI_RESOLVER_FOUND && a && a->proto == AVAHI_PROTO_INET) {
    in_addr ip;
    ip.s_addr = a->data.ipv4.address;
    result.Address = THostAddress(ip);
    result.Port = port;
    result.Protocol = protocol;
    result.InterfaceIndex = interface;
    result.Name = name;
    result.Type = type;
    result.Domain = domain;
    result.HostName = host_name;
    result.Text = txt;
  }
  self->Resolved.Emit(s, result);
}
