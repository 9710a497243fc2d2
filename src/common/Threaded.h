#pragma once

#include "Threaded_API.h"

#include <vector>

namespace Qel_hosted {

struct THostData;

class TServiceHost : public IServiceHost {
public:
  TServiceHost();
  ~TServiceHost() override;
  TServiceHost(const TServiceHost&) = delete;
  TServiceHost& operator=(const TServiceHost&) = delete;

  void Destroy() override { delete this; }
  // One cycle: a turn for every enabled cyclic service, then one run of the loop that waits for
  // at most CycleWaitMs when nothing is due; a socket event or a timer wakes it at once.
  void DoCycle() override;
  bool Register(IHostedService* svc) override;
  bool Unregister(IHostedService* svc) override;
  uv_loop_t* Loop() override;
  void UpdateStats(const char* name, json& out) override;

  // The longest wait of one cycle when nothing is due; it paces an idle worker.
  static constexpr uint64_t CycleWaitMs = 500;

private:
  THostData* FData;
  uint32_t CycleTime = 0;
};

} // namespace Qel_hosted
