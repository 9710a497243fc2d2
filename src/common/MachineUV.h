// A state machine whose events wait for the next turn of a libuv loop and whose run callback is paced
// by a libuv timer. It belongs to the thread that runs its loop.
#pragma once

#include "Machine.h"

#include <uv.h>

namespace Qel_machine {

struct TUVMachineData;

class TMachineUV : public TMachine {
public:
  TMachineUV(uv_loop_t* loop, void* context, std::string name, const TState* states);
  ~TMachineUV() override;

  // Stores the event as the pending one (replacing an earlier pending event); it is handled on the
  // next loop turn.
  bool SetEvent(int event) override;
  // Runs the active state's run callback every `ms` milliseconds.
  bool SetTimer(time_t ms) override;
  void BeforeStateChange(const TState* from, const TTransition* trans) override;
  void AfterStateChange(const TState* to, const TTransition* trans) override;

  int PendingEvent() const;

private:
  TUVMachineData* MachineData;
};

} // namespace Qel_machine
