#include "Machine.h"

#include "helpers.h"

namespace Qel_machine {

time_t TMachine::Now() const {
  return static_cast<time_t>(MonotonicSeconds());
}

TMachine::TMachine(void* context, std::string name, const TState* states)
    : Context(context), FName(std::move(name)), States(states), ActiveState(states) {
  lws_log(QLLL_MACHINE_BASE, "Machine %s Created", FName.c_str());
}

TMachine::TMachine(void* context, const TMachine& other)
    : Context(context), FName(other.FName), States(other.States), ActiveState(other.ActiveState),
      Timer(other.Timer), Interval(other.Interval) {}

TMachine::TMachine(void* context, TMachine&& other)
    : Context(context), FName(std::move(other.FName)), States(other.States), ActiveState(other.ActiveState),
      Timer(other.Timer), Interval(other.Interval) {}

TMachine::~TMachine() {
  lws_log(QLLL_MACHINE_BASE, "Machine %s Destroyed", FName.c_str());
}

bool TMachine::SetEvent(int event) {
  if (event == NO_EVENTID) return false;
  return Run(event);
}

bool TMachine::SetTimer(std::chrono::milliseconds interval) {
  Interval = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(interval).count());
  Timer = Now() + Interval;
  return true;
}

void TMachine::BeforeStateChange(const TState*, const TTransition*) {
  Timer = 0;
  Interval = 0;
}

void TMachine::AfterStateChange(const TState*, const TTransition*) {}

const TTransition* TMachine::FindTransition(const TTransition* list, int signal) {
  for (int i = 0; list && i < MaxTransitions && list[i].Signal != NO_EVENTID; ++i)
    if (list[i].Signal == signal) return &list[i];
  return nullptr;
}

bool TMachine::Run(int event) {
  if (event == NO_EVENTID) {
    if (!ActiveState || !ActiveState->OnRun) return false;
    if (Timer != 0) {
      time_t now = Now();
      if (Timer >= now) return false;
      Timer = now + Interval;
    }
    ActiveState->OnRun(this, Context);
    return false;
  }

  const TTransition* trans = ActiveState ? FindTransition(ActiveState->Trans, event) : nullptr;
  if (!trans) {
    if (ActiveState)
      lws_log(QLLL_WARN, "Machine %s State %s ignored EventID %d", FName.c_str(), ActiveState->Name, event);
    return false;
  }
  const TState* target = FindState(States, trans->Target);
  if (target == ActiveState) return true;

  const TState* from = ActiveState;
  BeforeStateChange(from, trans);
  lws_log(QLLL_MACHINE_BASE, "Machine %s switching %s->%s-> %s", FName.c_str(), from->Name, trans->Name,
          target ? target->Name : "");
  if (from->OnLeave) {
    lws_log(QLLL_MACHINE_BASE, "Machine %s %s::OnLeave()", FName.c_str(), from->Name);
    from->OnLeave(this, Context);
  }
  ActiveState = nullptr;
  if (trans->OnTrigger) trans->OnTrigger(this, Context);
  ActiveState = target;
  if (ActiveState && ActiveState->OnEnter) {
    lws_log(QLLL_MACHINE_BASE, "Machine %s %s::OnEnter()", FName.c_str(), ActiveState->Name);
    ActiveState->OnEnter(this, Context);
  }
  AfterStateChange(ActiveState, trans);
  return true;
}

} // namespace Qel_machine
