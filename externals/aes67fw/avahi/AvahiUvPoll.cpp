#include "AvahiUvPoll.h"

#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>

struct AvahiWatch {
  uv_poll_t poll; // first: the handle's address is the watch's
  AvahiWatchEvent events;
  AvahiWatchCallback callback;
  void* userdata;
};

struct AvahiTimeout {
  uv_timer_t timer; // first: the handle's address is the timeout's
  AvahiTimeoutCallback callback;
  void* userdata;
};

namespace {

int ToUvEvents(AvahiWatchEvent events) {
  int uv = 0;
  if (events & AVAHI_WATCH_IN) uv |= UV_READABLE;
  if (events & AVAHI_WATCH_OUT) uv |= UV_WRITABLE;
  if (events & AVAHI_WATCH_HUP) uv |= UV_DISCONNECT;
  return uv; // AVAHI_WATCH_ERR has no counterpart
}

AvahiWatchEvent ToAvahiEvents(int uv) {
  int events = 0;
  if (uv & UV_READABLE) events |= AVAHI_WATCH_IN;
  if (uv & UV_WRITABLE) events |= AVAHI_WATCH_OUT;
  if (uv & UV_DISCONNECT) events |= AVAHI_WATCH_HUP;
  return static_cast<AvahiWatchEvent>(events);
}

TAvahiUvPoll* Adapter(const AvahiPoll* api) {
  return static_cast<TAvahiUvPoll*>(api->userdata);
}

void avhi_uv_poll_watch_callback(uv_poll_t* handle, int status, int events) {
  (void)status;
  auto* w = reinterpret_cast<AvahiWatch*>(handle);
  w->events = ToAvahiEvents(events);
  uv_os_fd_t fd = -1;
  uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd);
  w->callback(w, fd, w->events, w->userdata);
}

AvahiWatch* avhi_uv_poll_watch_new(const AvahiPoll* api, int fd, AvahiWatchEvent event,
                                   AvahiWatchCallback callback, void* userdata) {
  auto* w = avahi_new0(AvahiWatch, 1);
  if (!w) return nullptr;
  w->callback = callback;
  w->userdata = userdata;
  if (uv_poll_init(Adapter(api)->uv_loop, &w->poll, fd) != 0) {
    avahi_free(w);
    return nullptr;
  }
  w->poll.data = w;
  uv_poll_start(&w->poll, ToUvEvents(event), avhi_uv_poll_watch_callback);
  return w;
}

void avhi_uv_poll_watch_update(AvahiWatch* w, AvahiWatchEvent event) {
  uv_poll_start(&w->poll, ToUvEvents(event), avhi_uv_poll_watch_callback);
}

AvahiWatchEvent avhi_uv_poll_watch_get_events(AvahiWatch* w) {
  return w->events;
}

void avhi_uv_poll_watch_free(AvahiWatch* w) {
  uv_poll_stop(&w->poll);
  uv_close(reinterpret_cast<uv_handle_t*>(&w->poll), [](uv_handle_t* h) { avahi_free(h); });
}

void avhi_uv_poll_timer_callback(uv_timer_t* handle) {
  auto* t = reinterpret_cast<AvahiTimeout*>(handle);
  t->callback(t, t->userdata);
}

void avhi_uv_poll_timeout_update(AvahiTimeout* t, const struct timeval* tv) {
  uv_timer_stop(&t->timer);
  if (!tv) return; // disabled
  // avahi_age: how far tv lies in the past, in microseconds. Round up what remains, so the timeout
  // never fires before it is due.
  const AvahiUsec age = avahi_age(tv);
  const uint64_t delay = age >= 0 ? 0 : static_cast<uint64_t>((-age + 999) / 1000);
  uv_timer_start(&t->timer, avhi_uv_poll_timer_callback, delay, 0);
}

AvahiTimeout* avhi_uv_poll_timeout_new(const AvahiPoll* api, const struct timeval* tv,
                                       AvahiTimeoutCallback callback, void* userdata) {
  auto* t = avahi_new0(AvahiTimeout, 1);
  if (!t) return nullptr;
  t->callback = callback;
  t->userdata = userdata;
  uv_timer_init(Adapter(api)->uv_loop, &t->timer);
  t->timer.data = t;
  avhi_uv_poll_timeout_update(t, tv);
  return t;
}

void avhi_uv_poll_timeout_free(AvahiTimeout* t) {
  uv_timer_stop(&t->timer);
  uv_close(reinterpret_cast<uv_handle_t*>(&t->timer), [](uv_handle_t* h) { avahi_free(h); });
}

} // namespace

TAvahiUvPoll* avahi_uv_poll_new(uv_loop_t* loop) {
  auto* p = avahi_new0(TAvahiUvPoll, 1);
  if (!p) return nullptr;
  p->uv_loop = loop;
  p->poll_api.userdata = p;
  p->poll_api.watch_new = avhi_uv_poll_watch_new;
  p->poll_api.watch_update = avhi_uv_poll_watch_update;
  p->poll_api.watch_get_events = avhi_uv_poll_watch_get_events;
  p->poll_api.watch_free = avhi_uv_poll_watch_free;
  p->poll_api.timeout_new = avhi_uv_poll_timeout_new;
  p->poll_api.timeout_update = avhi_uv_poll_timeout_update;
  p->poll_api.timeout_free = avhi_uv_poll_timeout_free;
  return p;
}

void avahi_uv_poll_free(TAvahiUvPoll* poll) {
  avahi_free(poll);
}
