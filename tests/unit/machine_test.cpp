#include "Machine.h"
#include "MachineUV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace Qel_machine;
using namespace std::chrono_literals;

namespace {

// Records the callbacks of the machines below in order.
struct TTrace {
  std::vector<std::string> Calls;
};

void Record(void* ctx, const char* what) {
  static_cast<TTrace*>(ctx)->Calls.push_back(what);
}
void EnterA(TMachine*, void* ctx) {
  Record(ctx, "enterA");
}
void LeaveA(TMachine*, void* ctx) {
  Record(ctx, "leaveA");
}
void RunA(TMachine*, void* ctx) {
  Record(ctx, "runA");
}
void EnterB(TMachine*, void* ctx) {
  Record(ctx, "enterB");
}
void RunB(TMachine*, void* ctx) {
  Record(ctx, "runB");
}
void Trigger(TMachine*, void* ctx) {
  Record(ctx, "trigger");
}

constexpr TState States[] = {
    {"A", 1, EnterA, LeaveA, RunA, {{"toB", 10, 2, Trigger}, {"self", 11, 1, Trigger}}},
    {"B", 2, EnterB, nullptr, RunB, {{"toA", 20, 1, nullptr}}},
    {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
static_assert(TMachine::ValidTable(States), "the test's table is whole");

// A transition to a state the table lacks, and a state id given twice, are caught where the table is
// written.
constexpr TState Dangling[] = {
    {"A", 1, nullptr, nullptr, nullptr, {{"toC", 10, 3, nullptr}}},
    {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
static_assert(!TMachine::ValidTable(Dangling), "a target outside the table is refused");
constexpr TState Twice[] = {
    {"A", 1, nullptr, nullptr, nullptr, {}},
    {"B", 1, nullptr, nullptr, nullptr, {}},
    {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
static_assert(!TMachine::ValidTable(Twice), "a state id given twice is refused");

// A machine whose clock the test sets.
class TClockedMachine : public TMachine {
public:
  using TMachine::TMachine;
  time_t Clock = 100;

protected:
  time_t Now() const override { return Clock; }
};

} // namespace

TEST(Machine, StartsInFirstStateWithoutEntering) {
  TTrace trace;
  TMachine m(&trace, "m", States);
  EXPECT_EQ(m.GetStateID(), 1);
  EXPECT_STREQ(m.GetStateName(), "A");
  EXPECT_TRUE(trace.Calls.empty());
}

TEST(Machine, TransitionRunsLeaveTriggerEnterInOrder) {
  TTrace trace;
  TMachine m(&trace, "m", States);
  EXPECT_TRUE(m.SetEvent(10));
  EXPECT_EQ(m.GetStateID(), 2);
  EXPECT_EQ(trace.Calls, (std::vector<std::string>{"leaveA", "trigger", "enterB"}));
}

TEST(Machine, UnknownEventIsIgnoredAndReportsFalse) {
  TTrace trace;
  TMachine m(&trace, "m", States);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.SetEvent(99));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Machine m State A ignored EventID 99"),
            std::string::npos);
  EXPECT_EQ(m.GetStateID(), 1);
  EXPECT_FALSE(m.SetEvent(NO_EVENTID));
}

TEST(Machine, TransitionToActiveStateCallsNothing) {
  TTrace trace;
  TMachine m(&trace, "m", States);
  EXPECT_TRUE(m.SetEvent(11));
  EXPECT_TRUE(trace.Calls.empty());
}

TEST(Machine, PollRunsActiveStatePacedByItsClock) {
  TTrace trace;
  TClockedMachine m(&trace, "m", States);
  m.Run(0);
  EXPECT_EQ(trace.Calls.size(), 1u); // no clock: every poll runs
  m.SetTimer(5s);                    // at second 100
  trace.Calls.clear();
  for (time_t t = 100; t <= 105; ++t) {
    m.Clock = t;
    m.Run(0);
  }
  EXPECT_TRUE(trace.Calls.empty());
  m.Clock = 106;
  m.Run(0);
  EXPECT_EQ(trace.Calls.size(), 1u);
  m.Clock = 111;
  m.Run(0);
  EXPECT_EQ(trace.Calls.size(), 1u); // next run only after 106 + 5
  m.Clock = 112;
  m.Run(0);
  EXPECT_EQ(trace.Calls.size(), 2u);
}

TEST(Machine, StateChangeCancelsTheClock) {
  TTrace trace;
  TClockedMachine m(&trace, "m", States);
  m.SetTimer(1000s);
  m.SetEvent(10);
  trace.Calls.clear();
  m.Run(0);
  EXPECT_EQ(trace.Calls, (std::vector<std::string>{"runB"}));
}

TEST(Machine, FindStateAndTransitionStopAtTerminator) {
  EXPECT_EQ(TMachine::FindState(States, 2), &States[1]);
  EXPECT_EQ(TMachine::FindState(States, 3), nullptr);
  EXPECT_EQ(TMachine::FindTransition(States[0].Trans, 11), &States[0].Trans[1]);
  EXPECT_EQ(TMachine::FindTransition(States[0].Trans, 20), nullptr);
}

namespace {

struct TLoop {
  uv_loop_t Loop;
  TLoop() { uv_loop_init(&Loop); }
  ~TLoop() {
    uv_run(&Loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_close(&Loop), 0) << "a handle was not closed";
  }
};

} // namespace

TEST(MachineUV, EventsWaitForTheLoopAndAreHandledInTheOrderRaised) {
  TLoop loop;
  TTrace trace;
  {
    TMachineUV m(&loop.Loop, &trace, "uv", States);
    EXPECT_TRUE(m.SetEvent(20)); // not accepted in A
    EXPECT_TRUE(m.SetEvent(10)); // A -> B
    EXPECT_TRUE(m.SetEvent(20)); // B -> A: none of the three is lost
    EXPECT_EQ(m.PendingEvents(), 3u);
    EXPECT_EQ(m.GetStateID(), 1);
    uv_run(&loop.Loop, UV_RUN_NOWAIT);
    EXPECT_EQ(m.GetStateID(), 1);
    EXPECT_EQ(trace.Calls, (std::vector<std::string>{"leaveA", "trigger", "enterB", "enterA"}));
    EXPECT_EQ(m.PendingEvents(), 0u);
  }
}

TEST(MachineUV, TimerRunsStateAndStateChangeStopsIt) {
  TLoop loop;
  TTrace trace;
  {
    TMachineUV m(&loop.Loop, &trace, "uv", States);
    m.SetTimer(1ms);
    // One turn may run a due timer twice (before and after polling), so count at least.
    while (trace.Calls.size() < 3)
      uv_run(&loop.Loop, UV_RUN_ONCE);
    EXPECT_GE(trace.Calls.size(), 3u);
    EXPECT_EQ(std::count(trace.Calls.begin(), trace.Calls.end(), "runA"),
              static_cast<std::ptrdiff_t>(trace.Calls.size()));
    m.SetEvent(10);
    uv_run(&loop.Loop, UV_RUN_NOWAIT);
    trace.Calls.clear();
    // Nothing keeps the loop alive any more: the timer was stopped by the state change.
    EXPECT_EQ(uv_run(&loop.Loop, UV_RUN_NOWAIT), 0);
    EXPECT_TRUE(trace.Calls.empty());
  }
}
