#include "MachineUV.h"

namespace Qel_machine {

struct TUVHandleInfo {
  TMachineUV* Machine;
  int NextEvent;
};

struct TUVMachineData {
  TUVHandleInfo HandleInfo;
  uv_loop_t* UVLoop;
  // Allocated apart: they are freed by their close callbacks after the machine is gone.
  uv_idle_t* UVHandle;
  uv_timer_t* UVTimer;
};

namespace {

void OnIdle(uv_idle_t* handle) {
  auto* data = static_cast<TUVMachineData*>(handle->data);
  uv_idle_stop(handle);
  int event = data->HandleInfo.NextEvent;
  data->HandleInfo.NextEvent = NO_EVENTID;
  data->HandleInfo.Machine->Run(event);
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
  MachineData->HandleInfo = {this, NO_EVENTID};
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
  MachineData->HandleInfo.NextEvent = event;
  uv_idle_start(MachineData->UVHandle, OnIdle);
  return true;
}

bool TMachineUV::SetTimer(time_t ms) {
  uv_timer_start(MachineData->UVTimer, OnTimer, static_cast<uint64_t>(ms), static_cast<uint64_t>(ms));
  return true;
}

void TMachineUV::BeforeStateChange(const TState*, const TTransition*) {
  uv_timer_stop(MachineData->UVTimer);
}

void TMachineUV::AfterStateChange(const TState*, const TTransition*) {}

int TMachineUV::PendingEvent() const {
  return MachineData->HandleInfo.NextEvent;
}

} // namespace Qel_machine
