// The IS-04 version spoken with each registry, choice of the registry endpoint and the bounds of the registry
// clients' bookkeeping: which endpoint each request of a machine picks, what counts as a change of registry,
// and the limits of the endpoint list and the action queue.
#include "NMOSBaseClient.h"
#include "NMOSNodeData.h"
#include "RegistryVersions.h"
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
  IQELSystemClient& SystemClient() override { throw "unused"; }
  IQELConnectionActivations& Activations() override { throw "unused"; }
  bool Connect(const std::string&, const json&) override { return false; }
  bool ConnectStream(const std::string&, const std::string&, const std::string&, bool, const json&) override {
    return false;
  }
  bool SetSenderSubscription(const std::string&, const json&) override { return false; }
  void RefreshReceivers() override {}
  void UpdateStats() override {}
  json& GetStats() override { return Stats; }
  json StatusReport() override { return json::object(); }

  Qel_hosted::IServiceHost* Host;
  TQELNMOSNodeData Store;
  json Stats;
};

// A machine that stays in the state it starts in: the events it is sent stay pending.
const TState Idle[] = {{"idle", 1, nullptr, nullptr, nullptr, {}},
                       {nullptr, 0, nullptr, nullptr, nullptr, {}}};

class RegistrySelection : public ::testing::Test {
protected:
  TNMOSStated& Machine() {
    Machines.push_back(std::make_unique<TNMOSStated>(Bridge.Host->Loop(), "/self", Idle));
    return *Machines.back();
  }
  // The endpoint active after a search with the choice; `picked` tells whether the choice picked one
  // (the machine then moves on).
  TNMOSAPIInfo* Search(TAPIChoice choice, bool picked) {
    EXPECT_EQ(Client.SearchAPI(choice), picked);
    return Client.GetActiveAPI();
  }

  TBridgeStub Bridge;
  TQELNMOSBaseClient Client{Bridge, "NMOSReg"};
  std::vector<std::unique_ptr<TNMOSStated>> Machines;
};

TEST_F(RegistrySelection, EndpointListKeepsOneEntryPerAddressPortAndPriority) {
  EXPECT_TRUE(Client.AddAPI("10.0.0.1", 80, 0, "/x-nmos/registration", "a", "v1.3"));
  EXPECT_FALSE(Client.AddAPI("10.0.0.1", 80, 0, "/x-nmos/registration", "a", "v1.3"));
  EXPECT_TRUE(Client.AddAPI("10.0.0.1", 81, 0, "/x-nmos/registration", "a", "v1.3")); // same name, new port
  EXPECT_TRUE(Client.DelAPI("a"));
  EXPECT_TRUE(Client.DelAPI("a"));
  EXPECT_FALSE(Client.DelAPI("a"));
  for (int i = 0; i < 100; ++i)
    EXPECT_TRUE(
        Client.AddAPI("10.0.0.2", static_cast<uint16_t>(1000 + i), 0, "/r", std::to_string(i), "v1.3"));
  EXPECT_FALSE(Client.AddAPI("10.0.0.2", 2000, 0, "/r", "one too many", "v1.3"));
}

TEST_F(RegistrySelection, LowestPriorityWinsThenTheLaterAddedAndTheActiveOneStays) {
  Client.AddAPI("10.0.0.1", 80, 10, "/r", "ten", "v1.3");
  Client.AddAPI("10.0.0.2", 80, 0, "/r", "zero", "v1.3");
  Client.AddAPI("10.0.0.3", 80, 0, "/r", "zero too", "v1.3");
  EXPECT_EQ(Search(TAPIChoice::First, true)->Name, "zero too");

  // Connected: an endpoint of equal priority changes nothing, and keeping changes nothing at all.
  Client.AddAPI("10.0.0.4", 80, 0, "/r", "zero again", "v1.3");
  EXPECT_EQ(Search(TAPIChoice::Better, false)->Name, "zero too");
  Client.AddAPI("10.0.0.5", 80, 0, "/r", "zero once more", "v1.3");
  EXPECT_EQ(Search(TAPIChoice::Keep, false)->Name, "zero too");
  EXPECT_EQ(Client.SelectAPI(TAPIChoice::Keep), nullptr);
}

TEST_F(RegistrySelection, ABetterRegistryIsAnEventAndFailedOnesWaitTheirTurn) {
  Client.AddAPI("10.0.0.1", 80, 10, "/r", "ten", "v1.3");
  EXPECT_EQ(Search(TAPIChoice::First, true)->Name, "ten");
  Client.AddAPI("10.0.0.2", 80, 5, "/r", "five", "v1.3");
  EXPECT_EQ(Search(TAPIChoice::Better, true)->Name, "five");
  EXPECT_EQ(Search(TAPIChoice::Next, false)->Name, "five"); // nothing failed: no other is wanted

  // The failed registry is ignored: failover takes the other one, and none is left after that.
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  Client.GetActiveAPI()->IgnoreTime = now + 60;
  Client.UnselectAPI();
  EXPECT_EQ(Search(TAPIChoice::Next, true)->Name, "ten");
  Client.GetActiveAPI()->IgnoreTime = now + 30;
  Client.UnselectAPI();
  EXPECT_EQ(Search(TAPIChoice::Next, false), nullptr);
  EXPECT_EQ(Search(TAPIChoice::Better, false), nullptr);
  // Searching with every registry ignored tries the one whose time runs out first.
  EXPECT_FALSE(Client.AnyEligibleAPI());
  EXPECT_EQ(Search(TAPIChoice::First, true)->Name, "ten");
}

TEST_F(RegistrySelection, RemovingTheActiveEndpointSendsTheNodeSearching) {
  Bridge.Store.Set("/self", {{"id", "node"}});
  TNMOSStated* node = new TNMOSStated(Bridge.Host->Loop(), "/self", Idle);
  ASSERT_TRUE(Client.PushMachine("node", node));
  Client.AddAPI("10.0.0.1", 80, 0, "/r", "gone", "v1.3");
  Search(TAPIChoice::First, true);
  ASSERT_NE(Client.GetActiveAPI(), nullptr);
  EXPECT_TRUE(Client.DelAPI("gone"));
  EXPECT_EQ(Client.GetActiveAPI(), nullptr);
  EXPECT_EQ(node->Machine.PendingEvent(), ev_search);
}

TEST_F(RegistrySelection, TheActionQueueRefusesTheFiveHundredAndFirstAction) {
  TNMOSStated& m = Machine();
  for (size_t i = 0; i < TQELNMOSBaseClient::MAX_RUNNING_REG_ACTIONS; ++i)
    ASSERT_TRUE(Client.ActionQueueAdd(Heartbeat, m));
  EXPECT_FALSE(Client.ActionQueueAdd(Heartbeat, m));
  json stats;
  Client.UpdateStats("NMOSReg", stats);
  EXPECT_EQ(stats["NMOSReg"]["ActionQueueSize"], 500);
  EXPECT_EQ(stats["NMOSReg"]["MaxActionQueueSizeReached"], 1);
}

TEST(RegistryVersion, TheNewestVersionBothServeIsChosenFromTheAdvertisedList) {
  struct Case {
    const char* List;
    const char* Chosen; // null: none in common
  } cases[] = {
      {"v1.0,v1.1,v1.2,v1.3", "v1.3"},
      {"v1.3,v1.2,v1.0", "v1.3"}, // in any order
      {"v1.2", "v1.2"},
      {"v1.0", "v1.0"},
      {"v1.0,v1.1", "v1.0"},
      {" v1.2 , v1.3 ", "v1.3"},  // blanks around items
      {"v1.2,v1.2,v1.2", "v1.2"}, // duplicates
      {"v1.3,v1.3,v1.0", "v1.3"},
      {"v1.10", nullptr}, // not v1.1 nor v1.0, and newer than any: none of the node's
      {"v1.10,v1.2", "v1.2"},
      {"v1.2,v1.10,v2.0", "v1.2"},
      {"v1.1", nullptr},
      {"v2.0", nullptr},
      {"v1.20", nullptr},
      {"v1.2x", nullptr},
      {"xv1.2", nullptr},
      {"V1.2", nullptr},
      {"1.2", nullptr},
      {"v1.2;v1.3", nullptr}, // one item that is no version
      {"v1.2 v1.3", nullptr},
      {",,v1.0,,", "v1.0"},
      {",", nullptr},
      {"", nullptr},
      {"v1.3/", nullptr},
  };
  for (const Case& c : cases) {
    std::string chosen = "untouched";
    const bool found = ChooseIS04Version(c.List, chosen);
    EXPECT_EQ(found, c.Chosen != nullptr) << c.List;
    if (found && c.Chosen) {
      EXPECT_EQ(chosen, c.Chosen) << c.List;
    }
  }
  // A list with a NUL byte inside is read whole: the item "v1.3\0" is no version.
  std::string chosen;
  EXPECT_FALSE(ChooseIS04Version(std::string("v1.3\0", 5), chosen));
  EXPECT_TRUE(ChooseIS04Version(std::string("v1.0,v1.3\0", 10), chosen));
  EXPECT_EQ(chosen, "v1.0");
}

TEST(RegistryVersion, ARegistryAskedListsItsVersionsAsItsAPIBaseDoes) {
  std::string chosen;
  EXPECT_TRUE(ChooseIS04VersionFromListing(json::parse(R"(["v1.0/","v1.2/","v1.3/"])"), chosen));
  EXPECT_EQ(chosen, "v1.3");
  EXPECT_TRUE(ChooseIS04VersionFromListing(json::parse(R"(["v1.2/","v1.1/",5,null,"v1.10/"])"), chosen));
  EXPECT_EQ(chosen, "v1.2");
  EXPECT_TRUE(ChooseIS04VersionFromListing(json::parse(R"(["v1.0"])"), chosen)); // without the slash
  EXPECT_EQ(chosen, "v1.0");
  for (const char* text :
       {R"(["v1.1/","v2.0/"])", "[]", R"({"v1.3/":1})", R"("v1.3/")", "null", R"(["v1.3//"])"})
    EXPECT_FALSE(ChooseIS04VersionFromListing(json::parse(text), chosen)) << text;
}

TEST(RegistryVersion, OnlyARegistryThatNeedsNoAuthorizationIsUsable) {
  EXPECT_FALSE(RequiresAuthorization("false"));
  EXPECT_FALSE(RequiresAuthorization("true,false"));
  EXPECT_FALSE(RequiresAuthorization(" false "));
  EXPECT_TRUE(RequiresAuthorization("true"));
  EXPECT_TRUE(RequiresAuthorization("TRUE"));
  EXPECT_TRUE(RequiresAuthorization("False")); // values are read exactly, as api_proto's
  EXPECT_TRUE(RequiresAuthorization("no"));
  EXPECT_TRUE(RequiresAuthorization(""));
}

TEST_F(RegistrySelection, ARegistryWhoseVersionIsUnknownIsNeverChosenAndTheURLsCarryTheVersion) {
  // Named on the command line: its versions are asked (on loopback, where nothing answers, and only
  // once the loop turns, which it does not here).
  Client.AddAPI("127.0.0.1", 9, 0, "/x-nmos/registration", "127.0.0.1:9", "");
  EXPECT_FALSE(Client.AnyEligibleAPI());
  EXPECT_EQ(Search(TAPIChoice::First, false), nullptr);
  Client.AddAPI("10.0.0.1", 80, 10, "/x-nmos/registration", "old", "v1.0");
  EXPECT_EQ(Search(TAPIChoice::First, true)->ToString(), "http://10.0.0.1:80/x-nmos/registration/v1.0");
  json stats;
  Client.UpdateStats("NMOSReg", stats);
  EXPECT_EQ(stats["NMOSReg"]["KnownAPIs"],
            json({"http://127.0.0.1:9/x-nmos/registration", "http://10.0.0.1:80/x-nmos/registration/v1.0"}));
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
