// Table-driven finite state machines. A machine is a name, a context pointer and a constant table of
// states; each state has up to three callbacks (enter, leave, run) and up to MaxTransitions transitions keyed
// by event number, each naming its target by state id. TMachine dispatches events synchronously and runs
// the active state's run callback when polled, paced by its own clock when one is set.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace Qel_machine {

class TMachine;
struct TState;

constexpr int NO_EVENTID = 0;
constexpr int NO_STATEID = 0;
constexpr int MaxTransitions = 12;

typedef void (*TMachineEvent)(TMachine* machine, void* context);

struct TTransition {
  const char* Name; // for log lines only
  int Signal;       // event number; 0 ends a transition list
  int Target;       // id of the state it leads to, in the same table
  TMachineEvent OnTrigger;
};

struct TState {
  const char* Name;
  int StateID; // 0 ends a state table
  TMachineEvent OnEnter;
  TMachineEvent OnLeave;
  TMachineEvent OnRun;
  TTransition Trans[MaxTransitions]; // ends at the first slot with signal 0
};

class TMachine {
public:
  TMachine(void* context, std::string name, const TState* states);
  TMachine(void* context, const TMachine& other);
  TMachine(void* context, TMachine&& other);
  TMachine(const TMachine&) = delete;
  TMachine& operator=(const TMachine&) = delete;

  // Raises an event; the base class dispatches at once. Event 0 returns false.
  virtual bool SetEvent(int event);
  // The active state's run callback then runs at most once every `interval`. The base class keeps its
  // clock in whole seconds (the interval is rounded down to them); TMachineUV runs it to the millisecond.
  virtual bool SetTimer(std::chrono::milliseconds interval);
  virtual void BeforeStateChange(const TState* from, const TTransition* trans);
  virtual void AfterStateChange(const TState* to, const TTransition* trans);
  virtual ~TMachine();

  // Event != 0: takes the matching transition of the active state (true) or logs and ignores it (false).
  // Event 0: a poll that runs the active state's run callback, paced by the clock if set; returns false.
  bool Run(int event);

  int GetStateID() const { return ActiveState ? ActiveState->StateID : NO_STATEID; }
  const char* GetStateName() const { return ActiveState ? ActiveState->Name : ""; }
  const std::string& Name() const { return FName; }
  void* GetContext() const { return Context; }

  static const TState* FindState(const TState* table, int id) { return FindStateIn(table, id); }
  static const TTransition* FindTransition(const TTransition* list, int signal);

  // Linear scan that stops at the terminating record; null when nothing matches.
  static constexpr const TState* FindStateIn(const TState* table, int id) {
    for (; table && table->StateID != NO_STATEID; ++table)
      if (table->StateID == id) return table;
    return nullptr;
  }
  // Whether every state id of the table is unique and every transition leads to a state of the table:
  // tables are checked with it where they are defined (static_assert).
  static constexpr bool ValidTable(const TState* table) {
    for (const TState* s = table; s->StateID != NO_STATEID; ++s) {
      if (FindStateIn(table, s->StateID) != s) return false;
      for (int i = 0; i < MaxTransitions && s->Trans[i].Signal != NO_EVENTID; ++i)
        if (!FindStateIn(table, s->Trans[i].Target)) return false;
    }
    return true;
  }

protected:
  // Current second; tests replace it to check the pacing without waiting.
  virtual time_t Now() const;

  void* Context;
  std::string FName;
  const TState* States;
  const TState* ActiveState;
  int NextEventID = NO_EVENTID;
  time_t Timer = 0;
  time_t Interval = 0;
};

} // namespace Qel_machine
