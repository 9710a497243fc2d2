// Objects bound to the libuv loop of a service host, with owned timers whose expiry arrives as a virtual
// call, and typed signals that an object fires synchronously on its own thread.
#pragma once

#include "Threaded_API.h"
#include "uv_unique_ptr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

using TThread = Qel_hosted::IServiceHost;

class TObject {
public:
  // Runs on the parent's thread; with no parent, on a service host of its own.
  explicit TObject(TObject* parent);
  // Runs on `host`; with no host, on a service host of its own.
  explicit TObject(TThread* host);
  virtual ~TObject();
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;

  virtual void HandleTimerEvent(uv_timer_t* timer) { (void)timer; }

  TThread* Thread() const { return thread; }

  // Timers carry their creating object; every operation but TimerIsActive acts only on own timers.
  uv_timer_ptr CreateTimer();
  void StartTimer(uv_timer_t* timer, uint64_t timeout, uint64_t repeat);
  void StopTimer(uv_timer_t* timer);
  void SetTimerRepeat(uv_timer_t* timer, uint64_t repeat);
  void TimerAgain(uv_timer_t* timer);
  static bool TimerIsActive(uv_timer_t* timer);
  void KillTimer(uv_timer_ptr&& timer);

protected:
  TThread* thread;

private:
  bool Owns(const uv_timer_t* timer) const { return timer && timer->data == this; }
  static void timer_cb(uv_timer_t* handle);

  // A host this object made for itself (no parent, no host given).
  std::unique_ptr<TThread, void (*)(TThread*)> OwnHost{nullptr, [](TThread* h) { h->Destroy(); }};
};

// A typed list of receivers. Connecting or disconnecting from inside a callback is safe: a receiver
// disconnected during an emission is not called any more, one connected during it is called from the
// next emission on.
template <typename... Args> class TSignal {
public:
  template <typename T> void Connect(TObject* target, void (T::*method)(Args...)) {
    connections.push_back(
        {target, [target, method](Args... args) { (static_cast<T*>(target)->*method)(args...); }});
  }

  void Disconnect(TObject* target) {
    for (auto& c : connections)
      if (c.target == target) c.target = nullptr;
    if (emitting == 0) Compact();
  }

  void Emit(Args... args) {
    ++emitting;
    const size_t count = connections.size();
    for (size_t i = 0; i < count; ++i) {
      if (!connections[i].target) continue;
      auto cb = connections[i].cb; // the vector may grow while the callback runs
      cb(args...);
    }
    if (--emitting == 0) Compact();
  }

  size_t Count() const {
    size_t n = 0;
    for (auto& c : connections)
      n += c.target != nullptr;
    return n;
  }

private:
  struct Connection {
    TObject* target;
    std::function<void(Args...)> cb;
  };

  void Compact() {
    std::vector<Connection> kept;
    kept.reserve(connections.size());
    for (auto& c : connections)
      if (c.target) kept.push_back(std::move(c));
    connections.swap(kept);
  }

  std::vector<Connection> connections;
  int emitting = 0;
};

template <> class TSignal<void> : public TSignal<> {};
