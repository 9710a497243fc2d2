// One browser with a small pool of resolvers: every instance is resolved when it appears, and again in
// turn so that changes of address, port or TXT records are seen (a full round takes about ten minutes,
// at least one second per instance).
#pragma once

#include "AvahiBrowser.h"
#include "AvahiResolver.h"

#include <memory>
#include <unordered_map>
#include <vector>

class TAvahiCrawler : public TObject {
public:
  static constexpr uint64_t update_interval_min = 1000;   // ms
  static constexpr uint64_t update_interval_max = 600000; // ms

  TAvahiCrawler(TAvahiClient* client, unsigned max_resolvers, const std::string& type,
                const std::string& subtype);
  ~TAvahiCrawler() override;

  TSignal<const TAvahiService*> ServiceAdded;
  TSignal<const TAvahiService*> ServiceRemoved;
  TSignal<const TAvahiService*, const TAvahiResolveResult&> ServiceResolved; // successful ones only
  TSignal<> AllForNow;                                                       // no resolution runs any more

  const TAvahiBrowser& Browser() const { return avahi_browser; }
  // The re-resolve period in ms, 0 while the timer is stopped.
  uint64_t TimerPeriod() const;
  unsigned ActiveResolutions() const { return static_cast<unsigned>(active_resolvers.size()); }
  const TAvahiService* NextToResolve() const { return next_to_resolve; }

  void HandleTimerEvent(uv_timer_t* timer) override;

private:
  void OnServiceAdded(const TAvahiService* s);
  void OnServiceRemoved(const TAvahiService* s);
  void OnServiceResolved(const TAvahiService* s, const TAvahiResolveResult& result);
  void ResolveNext(TAvahiResolver* r);
  void UpdateTimer();
  void StartResolving(const TAvahiService* s, TAvahiResolver* r);

  uv_timer_ptr update_timer;
  std::vector<std::unique_ptr<TAvahiResolver>> resolvers;
  std::vector<TAvahiResolver*> available_resolvers; // a stack: the last one goes first
  std::unordered_map<const TAvahiService*, TAvahiResolver*> active_resolvers;
  const TAvahiService* next_to_resolve = nullptr;
  TAvahiBrowser avahi_browser;
};
