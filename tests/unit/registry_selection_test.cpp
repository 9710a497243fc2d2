// Choice of the registry endpoint and the bounds of the registry clients' bookkeeping: which endpoint
// a machine is told to use in each of its states, what counts as a change of registry, and the
// limits of the endpoint list and the action queue.
#include "NMOSBaseClient.h"
#include "NMOSNodeData.h"
#include "Threaded_API.h"
#include "helpers.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;
using Qel_machine::TState;

namespace {

// Just enough of a bridge for a registry client: a loop and a store.
class TBridgeStub : public IQELNMOSBridge {
public:
  TBridgeStub() : Host(Qel_hosted::IServiceHost::Self()), Store() {}
  ~TBridgeStub() override { Host->Destroy(); }
  IQELNMOSNodeData& Data() override { return Store; }
  bool DoCycle() override { return false; }
  void Destroy() override {}
  Qel_hosted::IServiceHost& ServiceHost() override { return *Host; }
  const IQELNMOSConfig* BoxConfig() const override { return nullptr; }
  IQELNMOSRegClient& RegClient() override { throw "unused"; }
  IQELNMOSQueryClient& QueryClient() override { throw "unused"; }
  IQELNMOSRestServer& RestSrv() override { throw "unused"; }
  IQELConnectionActivations& Activations() override { throw "unused"; }
  bool Connect(const std::string&, const json&) override { return false; }
  bool ConnectStream(const std::string&, const std::string&, const std::string&, bool, const json&) override {
    return false;
  }
  bool SetSenderSubscription(const std::string&, const json&) override { return false; }
  void RefreshReceivers() override {}
  void UpdateStats() override {}
  json& GetStats() override { return Stats; }

  Qel_hosted::IServiceHost* Host;
  TQELNMOSNodeData Store;
  json Stats;
};

// A machine that stays in the state it starts in: the events it is sent stay pending.
// clang-format off
const TState Searching[] = {{"searching", 2, nullptr, nullptr, nullptr, {}}, {nullptr, 0, nullptr, nullptr, nullptr, {}}};
const TState Connected[] = {{"connected", 4, nullptr, nullptr, nullptr, {}}, {nullptr, 0, nullptr, nullptr, nullptr, {}}};
const TState Failover[] = {{"failover", 9, nullptr, nullptr, nullptr, {}}, {nullptr, 0, nullptr, nullptr, nullptr, {}}};
// clang-format on

class RegistrySelection : public ::testing::Test {
protected:
  TNMOSStated& Machine(const TState* table) {
    Machines.push_back(std::make_unique<TNMOSStated>(Bridge.Host->Loop(), "/self", table));
    return *Machines.back();
  }
  static int Pending(TNMOSStated& m) { return m.Machine.PendingEvent(); }
  // Selection as the machine's state asks for, made active as the machines do.
  TNMOSAPIInfo* Search(TNMOSStated& m) {
    Client.SearchAPI(&m);
    return Client.GetActiveAPI();
  }

  TBridgeStub Bridge;
  TQELNMOSBaseClient Client{Bridge, "NMOSReg"};
  std::vector<std::unique_ptr<TNMOSStated>> Machines;
};

TEST_F(RegistrySelection, EndpointListKeepsOneEntryPerAddressPortAndPriority) {
  EXPECT_TRUE(Client.AddAPI("10.0.0.1", 80, 0, "/x-nmos/registration", "a"));
  EXPECT_FALSE(Client.AddAPI("10.0.0.1", 80, 0, "/x-nmos/registration", "a"));
  EXPECT_TRUE(Client.AddAPI("10.0.0.1", 81, 0, "/x-nmos/registration", "a")); // same name, new port
  EXPECT_TRUE(Client.DelAPI("a"));
  EXPECT_TRUE(Client.DelAPI("a"));
  EXPECT_FALSE(Client.DelAPI("a"));
  for (int i = 0; i < 100; ++i)
    EXPECT_TRUE(Client.AddAPI("10.0.0.2", static_cast<uint16_t>(1000 + i), 0, "/r", std::to_string(i)));
  EXPECT_FALSE(Client.AddAPI("10.0.0.2", 2000, 0, "/r", "one too many"));
}

TEST_F(RegistrySelection, LowestPriorityWinsThenTheLaterAddedAndTheActiveOneStays) {
  Client.AddAPI("10.0.0.1", 80, 10, "/r", "ten");
  Client.AddAPI("10.0.0.2", 80, 0, "/r", "zero");
  Client.AddAPI("10.0.0.3", 80, 0, "/r", "zero too");
  TNMOSStated& searching = Machine(Searching);
  EXPECT_EQ(Search(searching)->Name, "zero too");
  EXPECT_EQ(Pending(searching), ev_register);

  // Connected: an endpoint of equal priority changes nothing, a lower priority value is a change
  // of registry the machine hears about.
  TNMOSStated& connected = Machine(Connected);
  Client.AddAPI("10.0.0.4", 80, 0, "/r", "zero again");
  EXPECT_EQ(Search(connected)->Name, "zero too");
  EXPECT_EQ(Pending(connected), 0);
}

TEST_F(RegistrySelection, ABetterRegistryIsAnEventAndFailedOnesWaitTheirTurn) {
  Client.AddAPI("10.0.0.1", 80, 10, "/r", "ten");
  TNMOSStated& connected = Machine(Connected);
  EXPECT_EQ(Search(Machine(Searching))->Name, "ten");
  Client.AddAPI("10.0.0.2", 80, 5, "/r", "five");
  EXPECT_EQ(Search(connected)->Name, "five");
  EXPECT_EQ(Pending(connected), ev_betterregfound);

  // The failed registry is ignored: failover takes the other one, and none is left after that.
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  Client.GetActiveAPI()->IgnoreTime = now + 60;
  Client.UnselectAPI();
  TNMOSStated& failover = Machine(Failover);
  EXPECT_EQ(Search(failover)->Name, "ten");
  EXPECT_EQ(Pending(failover), ev_switched);
  Client.GetActiveAPI()->IgnoreTime = now + 30;
  Client.UnselectAPI();
  TNMOSStated& stuck = Machine(Failover);
  EXPECT_EQ(Search(stuck), nullptr);
  EXPECT_EQ(Pending(stuck), 0);
  // Searching with every registry ignored tries the one whose time runs out first.
  TNMOSStated& searching = Machine(Searching);
  EXPECT_FALSE(Client.AnyEligibleAPI());
  EXPECT_EQ(Search(searching)->Name, "ten");
  EXPECT_EQ(Pending(searching), ev_register);
}

TEST_F(RegistrySelection, RemovingTheActiveEndpointSendsTheNodeSearching) {
  Bridge.Store.Set("/self", {{"id", "node"}});
  TNMOSStated* node = new TNMOSStated(Bridge.Host->Loop(), "/self", Connected);
  ASSERT_TRUE(Client.PushMachine("node", node));
  Client.AddAPI("10.0.0.1", 80, 0, "/r", "gone");
  Search(Machine(Searching));
  ASSERT_NE(Client.GetActiveAPI(), nullptr);
  EXPECT_TRUE(Client.DelAPI("gone"));
  EXPECT_EQ(Client.GetActiveAPI(), nullptr);
  EXPECT_EQ(node->Machine.PendingEvent(), ev_search);
}

TEST_F(RegistrySelection, TheActionQueueRefusesTheFiveHundredAndFirstAction) {
  TNMOSStated& m = Machine(Connected);
  for (size_t i = 0; i < TQELNMOSBaseClient::MAX_RUNNING_REG_ACTIONS; ++i)
    ASSERT_TRUE(Client.ActionQueueAdd(Heartbeat, m));
  EXPECT_FALSE(Client.ActionQueueAdd(Heartbeat, m));
  json stats;
  Client.UpdateStats("NMOSReg", stats);
  EXPECT_EQ(stats["NMOSReg"]["ActionQueueSize"], 500);
  EXPECT_EQ(stats["NMOSReg"]["MaxActionQueueSizeReached"], 1);
}

TEST(RegistryAnswers, EveryStatusIsTheEventOfWhatItMeans) {
  EXPECT_EQ(AnswerEvent(200), ev_answer_ok);
  EXPECT_EQ(AnswerEvent(201), ev_answer_created);
  EXPECT_EQ(AnswerEvent(204), ev_answer_deleted);
  EXPECT_EQ(AnswerEvent(404), ev_answer_unknown);
  EXPECT_EQ(AnswerEvent(400), ev_answer_refused);
  EXPECT_EQ(AnswerEvent(409), ev_answer_refused);
  EXPECT_EQ(AnswerEvent(500), ev_answer_failed);
  EXPECT_EQ(AnswerEvent(503), ev_answer_failed);
  EXPECT_EQ(AnswerEvent(302), ev_answer_failed);
}

} // namespace
