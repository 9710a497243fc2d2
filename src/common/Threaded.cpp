#include "Threaded.h"

#include "helpers.h"

#include <algorithm>

namespace Qel_hosted {

namespace {
// Bounds the loop turns given at the end to handles still closing.
constexpr int ClosingTurns = 1000;
} // namespace

struct THostData {
  uv_loop_t UVLoop;
  // The cap timer bounds the loop's wait so that every cyclic service gets its turn at least every
  // CycleWaitMs; while it runs it also keeps an otherwise empty loop waiting instead of spinning.
  uv_timer_t CapTimer;
  // Registration order; removal during a cycle leaves a hole that the cycle skips and compacts after.
  std::vector<IHostedService*> ServiceList;
  bool Cycling = false;
};

IServiceHost* IServiceHost::Self() {
  return new TServiceHost();
}

TServiceHost::TServiceHost() : FData(new THostData) {
  uv_loop_init(&FData->UVLoop);
  uv_timer_init(&FData->UVLoop, &FData->CapTimer);
}

TServiceHost::~TServiceHost() {
  uv_close(reinterpret_cast<uv_handle_t*>(&FData->CapTimer), nullptr);
  // Let every handle still closing (timers given back by their owners, websocket contexts closing over a
  // few turns) finish, then close the loop.
  for (int turn = 0; turn < ClosingTurns && uv_run(&FData->UVLoop, UV_RUN_NOWAIT); ++turn) {
  }
  uv_loop_close(&FData->UVLoop);
  delete FData;
}

uv_loop_t* TServiceHost::Loop() {
  return &FData->UVLoop;
}

bool TServiceHost::Register(IHostedService* svc) {
  auto& list = FData->ServiceList;
  if (!svc || std::find(list.begin(), list.end(), svc) != list.end()) return false;
  list.push_back(svc);
  return true;
}

bool TServiceHost::Unregister(IHostedService* svc) {
  auto& list = FData->ServiceList;
  auto it = std::find(list.begin(), list.end(), svc);
  if (!svc || it == list.end()) return false;
  if (FData->Cycling)
    *it = nullptr; // the running cycle skips it and compacts the list when it ends
  else
    list.erase(it);
  return true;
}

void TServiceHost::DoCycle() {
  {
    TMeassureCycle measure(CycleTime);
    FData->Cycling = true;
    // Index loop: services registered during the cycle are appended and get their turn too.
    for (size_t i = 0; i < FData->ServiceList.size(); ++i) {
      IHostedService* svc = FData->ServiceList[i];
      if (!svc || svc->GetInfo().DriveType != sdtCyclic || !svc->Enabled()) continue;
      TMeassureCycle svcMeasure(svc->GetCycleTime());
      svc->DoCycle();
    }
    FData->Cycling = false;
    auto& list = FData->ServiceList;
    list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
  }
  uv_timer_start(
      &FData->CapTimer, [](uv_timer_t*) {}, CycleWaitMs, 0);
  uv_run(&FData->UVLoop, UV_RUN_ONCE);
  uv_timer_stop(&FData->CapTimer);
}

void TServiceHost::UpdateStats(const char* name, json& out) {
  json j;
  for (IHostedService* svc : FData->ServiceList)
    if (svc) svc->UpdateStats(svc->GetInfo().Name, j);
  out[name] = j;
  out[name]["CycleTime"] = CycleTime;
}

} // namespace Qel_hosted
