#include "Object.h"
#include "Threaded.h"

#include <gtest/gtest.h>

using namespace Qel_hosted;

namespace {

class TCountingService : public IHostedService {
public:
  TCountingService(const char* name, THostedServiceDriveType type) : Info{name, type} {}
  bool Enabled() override { return IsEnabled; }
  void DoCycle() override {
    ++Cycles;
    if (OnCycle) OnCycle();
  }
  const TServiceInfo& GetInfo() override { return Info; }
  void UpdateStats(const char* name, json& out) override { out[name] = Cycles; }
  uint32_t& GetCycleTime() override { return CycleTime; }

  TServiceInfo Info;
  bool IsEnabled = true;
  int Cycles = 0;
  uint32_t CycleTime = 12345;
  std::function<void()> OnCycle;
};

struct THost {
  IServiceHost* Host = IServiceHost::Self();
  ~THost() { Host->Destroy(); }
  IServiceHost* operator->() { return Host; }
};

} // namespace

TEST(ServiceHost, RegisteredTwiceIsCalledOncePerCycle) {
  THost host;
  TCountingService svc("svc", sdtCyclic);
  EXPECT_TRUE(host->Register(&svc));
  EXPECT_FALSE(host->Register(&svc));
  host->DoCycle();
  EXPECT_EQ(svc.Cycles, 1);
  EXPECT_TRUE(host->Unregister(&svc));
  EXPECT_FALSE(host->Unregister(&svc));
  host->DoCycle();
  EXPECT_EQ(svc.Cycles, 1);
}

TEST(ServiceHost, EventDrivenAndDisabledServicesAreSkippedButReport) {
  THost host;
  TCountingService events("events", sdtEvents);
  TCountingService disabled("disabled", sdtCyclic);
  disabled.IsEnabled = false;
  host->Register(&events);
  host->Register(&disabled);
  host->DoCycle();
  EXPECT_EQ(events.Cycles, 0);
  EXPECT_EQ(disabled.Cycles, 0);
  EXPECT_EQ(disabled.CycleTime, 12345u); // not measured either
  json stats;
  host->UpdateStats("HostedServices", stats);
  EXPECT_EQ(stats["HostedServices"]["events"], 0);
  EXPECT_EQ(stats["HostedServices"]["disabled"], 0);
  EXPECT_TRUE(stats["HostedServices"].contains("CycleTime"));
  host->Unregister(&events);
  host->Unregister(&disabled);
}

TEST(ServiceHost, ServicesMayComeAndGoDuringACycle) {
  THost host;
  TCountingService a("a", sdtCyclic), b("b", sdtCyclic), c("c", sdtCyclic);
  host->Register(&a);
  host->Register(&b);
  a.OnCycle = [&] {
    host->Unregister(&b); // b is skipped in this very cycle
    host->Register(&c);   // c joins and gets its turn
  };
  host->DoCycle();
  EXPECT_EQ(b.Cycles, 0);
  EXPECT_EQ(c.Cycles, 1);
  a.OnCycle = nullptr;
  host->DoCycle();
  EXPECT_EQ(a.Cycles, 2);
  EXPECT_EQ(c.Cycles, 2);
  host->Unregister(&a);
  host->Unregister(&c);
}

TEST(ServiceHost, IdleCycleWaitsForTheCapNotLonger) {
  THost host;
  auto start = uv_hrtime();
  host->DoCycle();
  auto ms = (uv_hrtime() - start) / 1000000;
  EXPECT_GE(ms, 15u); // it waited instead of spinning
}

namespace {

class TTimerObject : public TObject {
public:
  using TObject::TObject;
  void HandleTimerEvent(uv_timer_t* timer) override { Fired.push_back(timer); }
  std::vector<uv_timer_t*> Fired;
};

class TReceiver : public TObject {
public:
  TReceiver(TObject* parent, std::vector<int>* log, int id) : TObject(parent), Log(log), Id(id) {}
  void Got(int v) { Log->push_back(Id * 100 + v); }
  void DisconnectSelf(int) { Signal->Disconnect(this); }
  std::vector<int>* Log;
  int Id;
  TSignal<int>* Signal = nullptr;
};

} // namespace

TEST(Object, TimersFireAsVirtualCallsAndForeignTimersAreLeftAlone) {
  TTimerObject owner(static_cast<TThread*>(nullptr));
  TTimerObject other(&owner);
  EXPECT_EQ(owner.Thread(), other.Thread());
  uv_timer_ptr t = owner.CreateTimer();
  other.StartTimer(t.get(), 0, 0); // not its timer: nothing happens
  EXPECT_FALSE(TObject::TimerIsActive(t.get()));
  owner.StartTimer(t.get(), 0, 0);
  EXPECT_TRUE(TObject::TimerIsActive(t.get()));
  uv_run(owner.Thread()->Loop(), UV_RUN_NOWAIT);
  ASSERT_EQ(owner.Fired.size(), 1u);
  EXPECT_EQ(owner.Fired[0], t.get());
  other.KillTimer(std::move(t)); // not its timer: the pointer stays with the caller
  EXPECT_NE(t.get(), nullptr);
  owner.KillTimer(std::move(t));
  EXPECT_EQ(t.get(), nullptr);
}

TEST(Signal, EmitsInOrderAndDisconnectRemovesEveryConnectionOfATarget) {
  TObject root(static_cast<TThread*>(nullptr));
  std::vector<int> log;
  TReceiver r1(&root, &log, 1), r2(&root, &log, 2), r3(&root, &log, 3);
  TSignal<int> sig;
  sig.Emit(7); // no connections: nothing
  sig.Connect(&r1, &TReceiver::Got);
  sig.Connect(&r2, &TReceiver::Got);
  sig.Connect(&r1, &TReceiver::Got);
  sig.Connect(&r3, &TReceiver::Got);
  sig.Emit(1);
  EXPECT_EQ(log, (std::vector<int>{101, 201, 101, 301}));
  sig.Disconnect(&r1);
  log.clear();
  sig.Emit(2);
  EXPECT_EQ(log, (std::vector<int>{202, 302}));
}

namespace {

// Disconnects a victim from the signal and connects many newcomers while the signal runs.
struct TRewirer : TObject {
  TRewirer(TObject* parent, TSignal<int>* sig, TReceiver* newcomer, TReceiver* victim)
      : TObject(parent), Sig(sig), Newcomer(newcomer), Victim(victim) {}
  void Rewire(int) {
    Sig->Disconnect(Victim);
    for (int i = 0; i < 100; ++i)
      Sig->Connect(Newcomer, &TReceiver::Got);
  }
  TSignal<int>* Sig;
  TReceiver* Newcomer;
  TReceiver* Victim;
};

} // namespace

TEST(Signal, ConnectingAndDisconnectingDuringEmissionIsSafe) {
  TObject root(static_cast<TThread*>(nullptr));
  std::vector<int> log;
  TReceiver victim(&root, &log, 1), newcomer(&root, &log, 2);
  TSignal<int> sig;
  TRewirer rewirer(&root, &sig, &newcomer, &victim);
  sig.Connect(&rewirer, &TRewirer::Rewire);
  sig.Connect(&victim, &TReceiver::Got);
  sig.Emit(5);
  EXPECT_TRUE(log.empty()); // the victim went before its turn; newcomers wait for the next emission
  sig.Emit(6);
  EXPECT_EQ(log, std::vector<int>(100, 206));

  TReceiver quitter(&root, &log, 3);
  TSignal<int> own;
  quitter.Signal = &own;
  own.Connect(&quitter, &TReceiver::DisconnectSelf);
  own.Connect(&newcomer, &TReceiver::Got);
  log.clear();
  own.Emit(7);
  EXPECT_EQ(log, std::vector<int>{207});
  EXPECT_EQ(own.Count(), 1u);
}
