#include "Object.h"

TObject::TObject(TObject* parent) : thread(parent ? parent->Thread() : nullptr) {
  if (!thread) {
    OwnHost.reset(TThread::Self());
    thread = OwnHost.get();
  }
}

TObject::TObject(TThread* host) : thread(host) {
  if (!thread) {
    OwnHost.reset(TThread::Self());
    thread = OwnHost.get();
  }
}

TObject::~TObject() = default;

uv_timer_ptr TObject::CreateTimer() {
  uv_timer_ptr timer(new uv_timer_t);
  uv_timer_init(thread->Loop(), timer.get());
  timer->data = this;
  return timer;
}

void TObject::timer_cb(uv_timer_t* handle) {
  if (auto* self = static_cast<TObject*>(handle->data)) self->HandleTimerEvent(handle);
}

void TObject::StartTimer(uv_timer_t* timer, uint64_t timeout, uint64_t repeat) {
  if (Owns(timer)) uv_timer_start(timer, timer_cb, timeout, repeat);
}

void TObject::StopTimer(uv_timer_t* timer) {
  if (Owns(timer)) uv_timer_stop(timer);
}

void TObject::SetTimerRepeat(uv_timer_t* timer, uint64_t repeat) {
  if (Owns(timer)) uv_timer_set_repeat(timer, repeat);
}

void TObject::TimerAgain(uv_timer_t* timer) {
  if (Owns(timer)) uv_timer_again(timer);
}

bool TObject::TimerIsActive(uv_timer_t* timer) {
  return timer && uv_is_active(reinterpret_cast<uv_handle_t*>(timer));
}

void TObject::KillTimer(uv_timer_ptr&& timer) {
  if (!Owns(timer.get())) return;
  uv_timer_ptr gone(std::move(timer));
}
