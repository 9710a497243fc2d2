#include "MachineUV.h"

#include <deque>

namespace Qel_machine {

struct TUVHandleInfo {
  TMachineUV* Machine;
  std::deque<int> Events; // raised and not yet handled, oldest first
};

struct TUVMachineData {
  TUVHandleInfo HandleInfo;
  uv_loop_t* UVLoop;
  // Allocated apart: they are freed by their close callbacks after the machine is gone.
  uv_idle_t* UVHandle;
  uv_timer_t* UVTimer;
};

namespace {

// Handles, in the order they were raised, the events pending when the loop turned; events raised
// meanwhile wait for the next turn. A machine destroyed by one of its own callbacks has cleared the
// handle's data and is not touched again.
void OnIdle(uv_idle_t* handle) {
  auto* data = static_cast<TUVMachineData*>(handle->data);
  uv_idle_stop(handle);
  std::deque<int> events;
  events.swap(data->HandleInfo.Events);
  for (int event : events) {
    data->HandleInfo.Machine->Run(event);
    if (!handle->data) return;
  }
}

void OnTimer(uv_timer_t* handle) {
  auto* data = static_cast<TUVMachineData*>(handle->data);
  data->HandleInfo.Machine->Run(NO_EVENTID);
}

template <typename H> void CloseAndFree(H* handle) {
  handle->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(handle), [](uv_handle_t* h) { delete reinterpret_cast<H*>(h); });
}

} // namespace

TMachineUV::TMachineUV(uv_loop_t* loop, void* context, std::string name, const TState* states)
    : TMachine(context, std::move(name), states), MachineData(new TUVMachineData) {
  MachineData->HandleInfo.Machine = this;
  MachineData->UVLoop = loop;
  MachineData->UVHandle = new uv_idle_t;
  MachineData->UVTimer = new uv_timer_t;
  uv_idle_init(loop, MachineData->UVHandle);
  uv_timer_init(loop, MachineData->UVTimer);
  MachineData->UVHandle->data = MachineData;
  MachineData->UVTimer->data = MachineData;
}

TMachineUV::~TMachineUV() {
  uv_idle_stop(MachineData->UVHandle);
  uv_timer_stop(MachineData->UVTimer);
  CloseAndFree(MachineData->UVHandle);
  CloseAndFree(MachineData->UVTimer);
  delete MachineData;
}

bool TMachineUV::SetEvent(int event) {
  if (event == NO_EVENTID) return false;
  MachineData->HandleInfo.Events.push_back(event);
  uv_idle_start(MachineData->UVHandle, OnIdle);
  return true;
}

bool TMachineUV::SetTimer(std::chrono::milliseconds interval) {
  const auto ms = static_cast<uint64_t>(interval.count() > 0 ? interval.count() : 0);
  uv_timer_start(MachineData->UVTimer, OnTimer, ms, ms);
  return true;
}

void TMachineUV::StopTimer() {
  uv_timer_stop(MachineData->UVTimer);
}

void TMachineUV::BeforeStateChange(const TState*, const TTransition*) {
  uv_timer_stop(MachineData->UVTimer);
}

void TMachineUV::AfterStateChange(const TState*, const TTransition*) {}

int TMachineUV::PendingEvent() const {
  const std::deque<int>& events = MachineData->HandleInfo.Events;
  return events.empty() ? NO_EVENTID : events.back();
}

size_t TMachineUV::PendingEvents() const {
  return MachineData->HandleInfo.Events.size();
}

} // namespace Qel_machine
