#include "AvahiHostResolver.h"
#include "AvahiApi.h"
#include "AvahiClient.h"

TAvahiHostResolver::TAvahiHostResolver(TAvahiClient* c, uint64_t timeout_ms)
    : TObject(c->Thread()), client(c), timeout(timeout_ms) {
  client->Register(this);
}

TAvahiHostResolver::~TAvahiHostResolver() {
  client->Unregister(this);
  auto running = std::move(lookups);
  lookups.clear();
  for (auto& [id, lookup] : running)
    Release(*lookup);
}

uint64_t TAvahiHostResolver::Resolve(const std::string& name, TDone done) {
  if (client->Status() != TAvahiClient::Running || !client->Handle() || name.empty()) return 0;
  auto lookup = std::make_unique<TLookup>();
  lookup->owner = this;
  lookup->id = next_id++;
  lookup->name = name;
  lookup->done = std::move(done);
  lookup->timer = CreateTimer();
  uint64_t wait = 0; // too many at once: fails on the next loop turn
  if (lookups.size() < max_running) {
    lookup->handle = AvahiApi().host_name_resolver_new(
        client->Handle(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, name.c_str(), AVAHI_PROTO_INET,
        static_cast<AvahiLookupFlags>(0), resolve_cb, lookup.get());
    if (lookup->handle) wait = timeout;
  }
  StartTimer(lookup->timer.get(), wait, 0);
  const uint64_t id = lookup->id;
  lookups[id] = std::move(lookup);
  return id;
}

void TAvahiHostResolver::Cancel(uint64_t id) {
  auto it = lookups.find(id);
  if (it == lookups.end()) return;
  std::unique_ptr<TLookup> lookup = std::move(it->second);
  lookups.erase(it);
  Release(*lookup);
}

void TAvahiHostResolver::Reset() {
  while (!lookups.empty())
    Finish(lookups.begin()->first, THostAddress());
}

void TAvahiHostResolver::Release(TLookup& lookup) {
  if (lookup.handle) AvahiApi().host_name_resolver_free(lookup.handle);
  lookup.handle = nullptr;
  if (lookup.timer) KillTimer(std::move(lookup.timer));
}

void TAvahiHostResolver::Finish(uint64_t id, const THostAddress& address) {
  auto it = lookups.find(id);
  if (it == lookups.end()) return;
  std::unique_ptr<TLookup> lookup = std::move(it->second);
  lookups.erase(it);
  Release(*lookup);
  // Last: `done` may start or cancel other lookups, or end this resolver.
  TDone done = std::move(lookup->done);
  lookup.reset();
  if (done) done(address);
}

void TAvahiHostResolver::HandleTimerEvent(uv_timer_t* timer) {
  for (auto& [id, lookup] : lookups)
    if (lookup->timer.get() == timer) {
      Finish(id, THostAddress());
      return;
    }
}

void TAvahiHostResolver::resolve_cb(AvahiHostNameResolver*, AvahiIfIndex, AvahiProtocol,
                                    AvahiResolverEvent event, const char*, const AvahiAddress* a,
                                    AvahiLookupResultFlags, void* userdata) {
  auto* lookup = static_cast<TLookup*>(userdata);
  THostAddress address;
  if (event == AVAHI_RESOLVER_FOUND && a && a->proto == AVAHI_PROTO_INET) {
    in_addr ip;
    ip.s_addr = a->data.ipv4.address;
    address = THostAddress(ip);
  }
  lookup->owner->Finish(lookup->id, address);
}
