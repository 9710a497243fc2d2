// Grains of a registry's Query API through the real bridge: the names of other nodes' senders and
// receivers follow the grains' changes, additions and removals; the receivers are refreshed when (and
// only when) a name changed; damaged grains and items are skipped without harm to the rest; the node's
// own names are never touched by a registry, nor lost with its websocket.
#include "AES67FWClient.h"
#include "BridgeScenario.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSQueryClient.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

using namespace Qel_nmos_bridge;

namespace {

const std::string RemoteA = "6a000000-0000-4000-8000-00000000000a";
const std::string RemoteB = "6a000000-0000-4000-8000-00000000000b";
const std::string RemoteRx = "6a000000-0000-4000-8000-0000000000cc";
const std::string OwnTx0 = "1a2b3c4d-0000-4000-8000-000000000000";
const std::string OwnName = "TX0@fuzz"; // its stream name, as the node makes it
const std::string FollowingRx = "3a2b3c4d-0000-4000-8000-000000000001"; // firmware slot 1

json Item(const std::string& path, const json& pre, const json& post) {
  json item = {{"path", path}};
  if (!pre.is_null()) item["pre"] = pre;
  if (!post.is_null()) item["post"] = post;
  return item;
}

json Doc(const std::string& id, const std::string& label) {
  return {{"id", id}, {"label", label}};
}

class QueryGrains : public ::testing::Test {
protected:
  void SetUp() override {
    Bridge = new TQELNMOSBridge(&Config, GetLWSSetup());
    // Firmware slot 1 receives the stream named "Remote Feed".
    json config = Scenario(4, false), state = Scenario(4, true);
    for (json* doc : {&config, &state}) {
      (*doc)["rx-streams"][1]["source"] = "Remote Feed";
      (*doc)["rx-streams"][1]["enabled"] = true;
    }
    Bridge->AESFWClient().HandleJSON(config.dump().c_str());
    Bridge->AESFWClient().HandleJSON(state.dump().c_str());
    Client = dynamic_cast<TQELNMOSQueryClient*>(&Bridge->QueryClient());
    ASSERT_NE(Client, nullptr);
    ASSERT_EQ(Name("senders", OwnTx0), OwnName);
  }
  void TearDown() override { Bridge->Destroy(); }

  // A grain arrives; the receivers are refreshed at the end of the loop turn that brought it.
  void Receive(const std::string& text) {
    Client->QueryAPIReceivedText(nullptr, text.data(), int(text.size()));
    Turn();
  }
  void Turn() { uv_run(Bridge->ServiceHost().Loop(), UV_RUN_NOWAIT); }
  void Grain(const char* topic, std::initializer_list<json> items) {
    json data = json::array();
    for (const json& item : items)
      data.push_back(item);
    Receive(json({{"grain_type", "event"}, {"grain", {{"topic", topic}, {"data", data}}}}).dump());
  }

  std::string Name(const char* type, const std::string& id) {
    return Bridge->Data().GetNameFromUUID(type, id);
  }
  json Followed() {
    return Bridge->Data().Get(("/receivers/" + FollowingRx + "/subscription/sender_id").c_str());
  }
  // A refresh rewrites the receiver from the firmware's documents: a label changed behind the bridge's
  // back shows whether one ran.
  void MarkReceiver() { Bridge->Data().Set(("/receivers/" + FollowingRx + "/label").c_str(), "marked"); }
  bool Refreshed() {
    return Bridge->Data().Get(("/receivers/" + FollowingRx + "/label").c_str()) != "marked";
  }

  char Arg0[12] = "nmos-bridge", Arg1[5] = "/box", Arg2[12] = "127.0.0.1:1";
  char* Argv[3] = {Arg0, Arg1, Arg2};
  TQELNMOSConfig Config{3, Argv};
  TQELNMOSBridge* Bridge = nullptr;
  TQELNMOSQueryClient* Client = nullptr;
};

} // namespace

TEST_F(QueryGrains, ChangesAdditionsAndRemovalsRefreshTheReceiversOnlyWhenANameChanged) {
  EXPECT_TRUE(Followed().is_null());
  // The sync grain: everything held, pre and post alike; a remote receiver is named too.
  Grain("/senders/", {Item(RemoteA, Doc(RemoteA, "Studio Feed"), Doc(RemoteA, "Studio Feed"))});
  Grain("/receivers/", {Item(RemoteRx, nullptr, Doc(RemoteRx, "Far Input"))});
  EXPECT_EQ(Name("senders", RemoteA), "Studio Feed");
  EXPECT_EQ(Name("receivers", RemoteRx), "Far Input");
  EXPECT_TRUE(Followed().is_null());

  // A rename to the name the firmware follows: the receiver shows that sender.
  MarkReceiver();
  Grain("/senders/", {Item(RemoteA, Doc(RemoteA, "Studio Feed"), Doc(RemoteA, "Remote Feed"))});
  EXPECT_EQ(Followed(), RemoteA);
  EXPECT_EQ(Bridge->Data().GetUUIDFromName("senders", "Studio Feed"), "");

  // The same grain again, and a removal of an id never heard of: nothing changes, nothing is refreshed.
  MarkReceiver();
  Grain("/senders/", {Item(RemoteA, Doc(RemoteA, "Studio Feed"), Doc(RemoteA, "Remote Feed"))});
  Grain("/senders/", {Item(RemoteB, Doc(RemoteB, "Ghost"), nullptr)});
  EXPECT_FALSE(Refreshed());

  // Removed: the name goes and the receiver follows nobody it knows.
  Grain("/senders/", {Item(RemoteA, Doc(RemoteA, "Remote Feed"), nullptr)});
  EXPECT_EQ(Name("senders", RemoteA), "");
  EXPECT_TRUE(Followed().is_null());
  // Added again (post only), and another sender takes over the name from it.
  Grain("/senders/", {Item(RemoteA, nullptr, Doc(RemoteA, "Remote Feed"))});
  EXPECT_EQ(Followed(), RemoteA);
  Grain("/senders/", {Item(RemoteB, nullptr, Doc(RemoteB, "Remote Feed"))});
  EXPECT_EQ(Followed(), RemoteB);
}

TEST_F(QueryGrains, DamagedGrainsAndItemsAreSkippedAndTheRestIsApplied) {
  MarkReceiver();
  for (const char* text : {"{not json", "[]", "{\"grain\": 5}", "{\"grain\": {\"topic\": \"/senders/\"}}",
                           "{\"grain\": {\"topic\": \"/senders/\", \"data\": {\"path\": 1}}}"})
    Receive(text);
  EXPECT_FALSE(Refreshed());
  Grain("/senders/", {"not an item",
                      {{"path", 5}, {"post", {{"label", "x"}}}},
                      Item("not-a-uuid", nullptr, Doc("", "Remote Feed")),
                      Item("", nullptr, Doc("", OwnName)), // would unbind the node's own name
                      Item(RemoteB, nullptr, {{"id", RemoteB}}),
                      Item(RemoteB, nullptr, json({{"id", RemoteB}, {"label", 7}})),
                      Item(RemoteB, nullptr, Doc(RemoteB, OwnTx0)),  // a label that reads as an id
                      Item(RemoteB, json::object(), json::object()), // neither: nothing
                      Item(RemoteA, nullptr, Doc(RemoteA, "Remote Feed"))});
  EXPECT_EQ(Name("senders", RemoteA), "Remote Feed");
  EXPECT_EQ(Name("senders", RemoteB), "");
  EXPECT_EQ(Name("senders", OwnTx0), OwnName);
  EXPECT_EQ(Bridge->Data().GetUUIDFromName("senders", OwnName), OwnTx0);
  EXPECT_EQ(Followed(), RemoteA);
  // A topic whose names are not kept.
  Grain("/flows/", {Item(RemoteB, nullptr, Doc(RemoteB, "Flow"))});
  EXPECT_EQ(Name("flows", RemoteB), "");
}

TEST_F(QueryGrains, OwnNamesStayWhateverTheRegistrySaysAndWhenItsWebsocketIsLost) {
  // A registry's word on the node's own sender (a stale label, a removal) changes nothing.
  Grain("/senders/",
        {Item(OwnTx0, nullptr, Doc(OwnTx0, "Stale")), Item(OwnTx0, Doc(OwnTx0, OwnName), nullptr)});
  EXPECT_EQ(Name("senders", OwnTx0), OwnName);
  Grain("/senders/", {Item(RemoteA, nullptr, Doc(RemoteA, "Remote Feed"))});
  Grain("/receivers/", {Item(RemoteRx, nullptr, Doc(RemoteRx, "Far Input"))});
  ASSERT_EQ(Followed(), RemoteA);

  // The websocket goes: what the registry told is forgotten and the receivers show it; the node's own
  // names stay.
  Client->QueryAPIConnectLost(nullptr);
  Turn();
  EXPECT_EQ(Name("senders", RemoteA), "");
  EXPECT_EQ(Name("receivers", RemoteRx), "");
  EXPECT_TRUE(Followed().is_null());
  EXPECT_EQ(Name("senders", OwnTx0), OwnName);
  EXPECT_EQ(Bridge->Data().GetUUIDFromName("senders", OwnName), OwnTx0);
  EXPECT_EQ(Name("receivers", FollowingRx), Bridge->Data().GetNameFromUUID("receivers", FollowingRx));
}
