// A state machine whose events wait for the next turn of a libuv loop and whose run callback is paced
// by a libuv timer. It belongs to the thread that runs its loop.
#pragma once

#include "Machine.h"

#include <uv.h>

#include <cstddef>

namespace Qel_machine {

struct TUVMachineData;

class TMachineUV : public TMachine {
public:
  TMachineUV(uv_loop_t* loop, void* context, std::string name, const TState* states);
  ~TMachineUV() override;

  // Queues the event behind those already pending; the next loop turn handles them in order. No event
  // is lost, however many are raised before the loop turns.
  bool SetEvent(int event) override;
  // Runs the active state's run callback every `interval`.
  bool SetTimer(std::chrono::milliseconds interval) override;
  // The run callback is no longer called until the next SetTimer.
  void StopTimer();
  void BeforeStateChange(const TState* from, const TTransition* trans) override;
  void AfterStateChange(const TState* to, const TTransition* trans) override;

  // The last event raised and not yet handled (0 when none), and how many are pending.
  int PendingEvent() const;
  size_t PendingEvents() const;

private:
  TUVMachineData* MachineData;
};

} // namespace Qel_machine
