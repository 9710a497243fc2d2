// Resolution of multicast DNS host names ("sender-host.local") into IPv4 addresses: several at a time,
// each one answered once, on the client's loop, and given up after a timeout.
#pragma once

#include "HostAddress.h"
#include "Object.h"

#include <avahi-client/lookup.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class TAvahiClient;

class TAvahiHostResolver : public TObject {
public:
  // The address found; a null one when the name was not found in time (or the daemon went away).
  using TDone = std::function<void(const THostAddress& address)>;

  static constexpr uint64_t default_timeout = 5000; // ms
  // At most this many names are looked up at once; a request beyond fails on the next loop turn.
  static constexpr size_t max_running = 16;

  explicit TAvahiHostResolver(TAvahiClient* client, uint64_t timeout_ms = default_timeout);
  // Ends every lookup; no `done` runs any more.
  ~TAvahiHostResolver() override;
  TAvahiHostResolver(const TAvahiHostResolver&) = delete;
  TAvahiHostResolver& operator=(const TAvahiHostResolver&) = delete;

  // Looks `name` up; `done` runs later on the loop, never from inside this call. 0 (and `done` never
  // runs) when the client is not connected to a running daemon: the name cannot be looked up here.
  uint64_t Resolve(const std::string& name, TDone done);
  // Ends the lookup `id` without its `done`; unknown ids are ignored.
  void Cancel(uint64_t id);
  // The daemon went away: every lookup fails now (their `done` runs with the null address).
  void Reset();
  size_t Running() const { return lookups.size(); }

  void HandleTimerEvent(uv_timer_t* timer) override;

private:
  struct TLookup {
    TAvahiHostResolver* owner = nullptr;
    uint64_t id = 0;
    std::string name;
    TDone done;
    AvahiHostNameResolver* handle = nullptr;
    uv_timer_ptr timer;
  };

  // Takes the lookup out, frees its library object and timer, then runs its `done`.
  void Finish(uint64_t id, const THostAddress& address);
  void Release(TLookup& lookup);
  static void resolve_cb(AvahiHostNameResolver* r, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiResolverEvent event, const char* name, const AvahiAddress* a,
                         AvahiLookupResultFlags flags, void* userdata);

  TAvahiClient* client;
  uint64_t timeout;
  uint64_t next_id = 1;
  std::map<uint64_t, std::unique_ptr<TLookup>> lookups;
};
