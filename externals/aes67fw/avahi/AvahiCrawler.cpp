#include "AvahiCrawler.h"
#include "AvahiClient.h"

#include <algorithm>

TAvahiCrawler::TAvahiCrawler(TAvahiClient* client, unsigned max_resolvers, const std::string& type,
                             const std::string& subtype)
    : TObject(client), update_timer(CreateTimer()), avahi_browser(client, type, subtype) {
  for (unsigned i = 0; i < max_resolvers; ++i) {
    resolvers.push_back(std::make_unique<TAvahiResolver>());
    available_resolvers.push_back(resolvers.back().get());
    resolvers.back()->Resolved.Connect(this, &TAvahiCrawler::OnServiceResolved);
  }
  for (const TAvahiService* s = avahi_browser.ServiceList(); s; s = s->next)
    OnServiceAdded(s);
  avahi_browser.ServiceAdded.Connect(this, &TAvahiCrawler::OnServiceAdded);
  avahi_browser.ServiceRemoved.Connect(this, &TAvahiCrawler::OnServiceRemoved);
}

TAvahiCrawler::~TAvahiCrawler() {
  avahi_browser.ServiceAdded.Disconnect(this);
  avahi_browser.ServiceRemoved.Disconnect(this);
  for (auto& r : resolvers)
    r->Resolved.Disconnect(this);
}

uint64_t TAvahiCrawler::TimerPeriod() const {
  return TimerIsActive(update_timer.get()) ? uv_timer_get_repeat(update_timer.get()) : 0;
}

void TAvahiCrawler::StartResolving(const TAvahiService* s, TAvahiResolver* r) {
  active_resolvers[s] = r;
  r->Resolve(s);
}

void TAvahiCrawler::OnServiceAdded(const TAvahiService* s) {
  if (!available_resolvers.empty()) {
    TAvahiResolver* r = available_resolvers.back();
    available_resolvers.pop_back();
    StartResolving(s, r);
  } else if (!next_to_resolve) {
    next_to_resolve = s; // those after it in the list wait behind it
  }
  UpdateTimer();
  ServiceAdded.Emit(s);
}

void TAvahiCrawler::OnServiceRemoved(const TAvahiService* s) {
  if (next_to_resolve == s) next_to_resolve = s->next;
  auto active = active_resolvers.find(s);
  if (active != active_resolvers.end()) {
    TAvahiResolver* r = active->second;
    active_resolvers.erase(active);
    ResolveNext(r);
  }
  UpdateTimer();
  ServiceRemoved.Emit(s);
}

void TAvahiCrawler::OnServiceResolved(const TAvahiService* s, const TAvahiResolveResult& result) {
  auto active = active_resolvers.find(s);
  if (active == active_resolvers.end()) return;
  TAvahiResolver* r = active->second;
  active_resolvers.erase(active);
  ResolveNext(r);
  if (!result.Address.IsNull()) ServiceResolved.Emit(s, result);
  if (active_resolvers.empty()) AllForNow.Emit();
}

void TAvahiCrawler::ResolveNext(TAvahiResolver* r) {
  r->StopResolving();
  // An instance being resolved already (moved behind the waiting ones by the timer) is passed over.
  while (next_to_resolve && active_resolvers.count(next_to_resolve))
    next_to_resolve = next_to_resolve->next;
  if (const TAvahiService* s = next_to_resolve) {
    next_to_resolve = s->next;
    StartResolving(s, r);
  } else {
    available_resolvers.push_back(r);
  }
}

void TAvahiCrawler::UpdateTimer() {
  const unsigned n = avahi_browser.ServiceCount();
  if (n == 0) {
    StopTimer(update_timer.get());
    return;
  }
  const uint64_t period = std::max<uint64_t>(update_interval_min, update_interval_max / n);
  // A running timer keeps its tick unless that lies further off than the new period: many instances
  // found at once must not wait for the first one's long period.
  if (TimerIsActive(update_timer.get()) && uv_timer_get_due_in(update_timer.get()) <= period)
    SetTimerRepeat(update_timer.get(), period);
  else
    StartTimer(update_timer.get(), period, period);
}

void TAvahiCrawler::HandleTimerEvent(uv_timer_t* timer) {
  if (timer != update_timer.get()) return;
  const TAvahiService* s = avahi_browser.ServiceList();
  if (!s || active_resolvers.count(s)) return; // being resolved: nothing this tick
  avahi_browser.PushService(s);
  if (!available_resolvers.empty()) {
    TAvahiResolver* r = available_resolvers.back();
    available_resolvers.pop_back();
    StartResolving(s, r);
  } else if (!next_to_resolve) {
    next_to_resolve = s;
  }
}
