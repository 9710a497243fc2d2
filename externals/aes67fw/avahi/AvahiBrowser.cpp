#include "AvahiBrowser.h"
#include "AvahiApi.h"
#include "AvahiClient.h"
#include "helpers.h"

#include <avahi-common/error.h>

#include <cstdio>

TAvahiBrowser::TAvahiBrowser(TAvahiClient* c, const std::string& service_type,
                             const std::string& service_subtype)
    : TObject(c), client(c), type(service_type), subtype(service_subtype) {
  client->Register(this);
  Browse();
}

TAvahiBrowser::~TAvahiBrowser() {
  client->Unregister(this);
  Reset();
}

void TAvahiBrowser::Browse() {
  Reset();
  if (client->Status() != TAvahiClient::Running) return; // the client browses again once it runs
  browser = AvahiApi().service_browser_new(client->Handle(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                           subtype.empty() ? type.c_str() : subtype.c_str(), nullptr,
                                           static_cast<AvahiLookupFlags>(0), browse_cb, this);
  if (!browser)
    lws_log(QLLL_ERR | QLLL_AVAHI, "Avahi: failed to create service browser for %s: %s", type.c_str(),
            avahi_strerror(AvahiApi().client_errno(client->Handle())));
}

void TAvahiBrowser::Reset() {
  while (first_service)
    Remove(first_service);
  services.clear();
  if (browser) AvahiApi().service_browser_free(browser);
  browser = nullptr;
}

TAvahiService* TAvahiBrowser::Find(const char* name, AvahiIfIndex ifindex) {
  auto set = services.find(ifindex);
  if (set == services.end()) return nullptr;
  auto found = set->second.find(name);
  return found == set->second.end() ? nullptr : found->second.get();
}

void TAvahiBrowser::Link(TAvahiService* s) {
  s->prev = last_service;
  s->next = nullptr;
  if (last_service)
    last_service->next = s;
  else
    first_service = s;
  last_service = s;
}

void TAvahiBrowser::Unlink(TAvahiService* s) {
  if (s->prev)
    s->prev->next = s->next;
  else
    first_service = s->next;
  if (s->next)
    s->next->prev = s->prev;
  else
    last_service = s->prev;
  s->prev = s->next = nullptr;
}

void TAvahiBrowser::Remove(TAvahiService* s) {
  --cnt;
  ServiceRemoved.Emit(s);
  Unlink(s);
  auto set = services.find(s->ifindex);
  set->second.erase(s->name); // the instance's destructor reports it removed
  if (set->second.empty()) services.erase(set);
}

void TAvahiBrowser::PushService(const TAvahiService* s) {
  if (!s || s->browser != this || s == last_service) return;
  auto* own = const_cast<TAvahiService*>(s);
  Unlink(own);
  Link(own);
}

void TAvahiBrowser::browse_cb(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                              AvahiBrowserEvent event, const char* name, const char*, const char*,
                              AvahiLookupResultFlags flags, void* userdata) {
  auto* self = static_cast<TAvahiBrowser*>(userdata);
  if (event == AVAHI_BROWSER_FAILURE) {
    lws_log(QLLL_ERR | QLLL_AVAHI, "Avahi: browser failure for %s", self->type.c_str());
    return;
  }
  if (protocol != AVAHI_PROTO_INET || !name) return;
  if (event == AVAHI_BROWSER_NEW) {
    if (self->Find(name, interface)) return; // announced again
    auto s = std::make_unique<TAvahiService>(name, interface, (flags & AVAHI_LOOKUP_RESULT_LOCAL) != 0, self);
    TAvahiService* stored = s.get();
    self->services[interface].emplace(stored->name, std::move(s));
    ++self->cnt;
    self->Link(stored);
    self->ServiceAdded.Emit(stored);
  } else if (event == AVAHI_BROWSER_REMOVE) {
    if (TAvahiService* s = self->Find(name, interface)) self->Remove(s);
  }
}
