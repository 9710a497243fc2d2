// The lifetime of the node's resources in the real bridge, driven as its worker would drive it: the
// firmware's documents go straight to the firmware client, the loop is turned on this thread (no
// registry is reachable, so every deregistration ends by its deadline), and the Node API is asked
// through the route table.
#include "AES67FWClient.h"
#include "BridgeScenario.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "RESTServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>

using namespace Qel_nmos_bridge;

namespace {

const std::string NodeAPI = "/x-nmos/node/v1.2";

class BridgeLifetime : public testing::Test {
protected:
  void SetUp() override { Bridge = new TQELNMOSBridge(&Config, GetLWSSetup()); }
  void TearDown() override { Bridge->Destroy(); }

  void Feed(const json& doc) { Bridge->AESFWClient().HandleJSON(doc.dump().c_str()); }
  void Feed(const json& config, const json& state) {
    Feed(config);
    Feed(state);
  }

  // Turns the worker's cycle for a while: long enough for every deregistration to reach its deadline.
  void Cycle(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end)
      Bridge->ServiceHost().DoCycle();
  }

  // A GET through the route table: the status, and the body in `body`.
  int Get(const std::string& uri, json* body = nullptr) {
    Qel_rest_srv::TRESTRequestData request;
    request.URI = uri;
    if (!Bridge->RestSrv().HandleRequest(request)) return 404;
    if (body) *body = json::parse(request.Result.Body, nullptr, false);
    return request.Result.HTTPResult;
  }

  std::set<std::string> Ids(const std::string& collection) {
    json list;
    EXPECT_EQ(Get(NodeAPI + "/" + collection, &list), 200) << collection;
    std::set<std::string> ids;
    for (const json& resource : list)
      ids.insert(resource.value("id", ""));
    return ids;
  }

  // The node serves exactly what the configuration describes: every resource listed, each under its
  // own URL, and nothing else.
  void ExpectExactly(const json& config) {
    std::set<std::string> senders, receivers, sources;
    for (const json& stream : config["tx-streams"]) {
      senders.insert(stream["id"].get<std::string>());
      if (stream["enabled"]) sources.insert(stream["source_id"].get<std::string>());
    }
    for (const json& stream : config["rx-streams"])
      receivers.insert(stream["id"].get<std::string>());
    EXPECT_EQ(Ids("senders"), senders);
    EXPECT_EQ(Ids("receivers"), receivers);
    EXPECT_EQ(Ids("sources"), sources);
    EXPECT_EQ(Ids("flows").size(), sources.size());
    for (const char* collection : {"senders", "receivers", "sources", "flows"})
      for (const std::string& id : Ids(collection)) {
        json doc;
        EXPECT_EQ(Get(NodeAPI + "/" + collection + "/" + id, &doc), 200) << collection << " " << id;
        EXPECT_EQ(doc.value("id", ""), id);
        EXPECT_EQ(doc["device_id"], config["device_id"]) << collection << " " << id;
      }
    for (const json& stream : config["tx-streams"]) {
      json sender;
      Get(NodeAPI + "/senders/" + stream["id"].get<std::string>(), &sender);
      if (!stream["enabled"]) continue;
      json flow;
      ASSERT_TRUE(sender["flow_id"].is_string()) << sender.dump();
      EXPECT_EQ(Get(NodeAPI + "/flows/" + sender["flow_id"].get<std::string>(), &flow), 200);
      EXPECT_EQ(flow["source_id"], stream["source_id"]);
    }
  }

  char* Argv[3] = {const_cast<char*>("nmos-bridge"), const_cast<char*>("/box"),
                   const_cast<char*>("127.0.0.1:1")};
  TQELNMOSConfig Config{3, Argv};
  TQELNMOSBridge* Bridge = nullptr;
};

// "<seconds>:<nanoseconds>" as a pair that orders as the stamps do.
std::pair<long long, long long> Version(const json& doc) {
  const std::string text = doc.value("version", "0:0");
  return {std::stoll(text), std::stoll(text.substr(text.find(':') + 1))};
}

} // namespace

TEST_F(BridgeLifetime, StreamsRemovedAndAddedAgainComeBackWhileTheirDeregistrationRuns) {
  const json config = Scenario(4, false), state = Scenario(4, true);
  Feed(config, state);
  Cycle(0.3);
  ExpectExactly(config);

  json fewer = config;
  fewer["tx-streams"].erase(3);
  fewer["rx-streams"].erase(3);
  const std::string sender = config["tx-streams"][3]["id"], receiver = config["rx-streams"][3]["id"];
  // A removal ends the resources at once: their URLs and their list entries go together.
  Feed(fewer);
  EXPECT_EQ(Get(NodeAPI + "/senders/" + sender), 404);
  EXPECT_EQ(Ids("receivers").count(receiver), 0u);
  // Back before the loop turns: the record gets "delete" and "update" in one turn.
  Feed(config);
  Cycle(3);
  ExpectExactly(config);

  // Back half a second later, while the deregistration waits for its answer.
  Feed(fewer);
  Cycle(0.5);
  ExpectExactly(fewer);
  Feed(config);
  Cycle(3);
  ExpectExactly(config);
}

// The firmware numbers its streams itself: a stream that leaves the middle of the list, or moves to
// another index, takes its own flow and source along and leaves every other stream's alone.
TEST_F(BridgeLifetime, StreamsKeepTheirOwnFlowsWhateverTheirPlaceInTheList) {
  json config = Scenario(6, false), state = Scenario(6, true);
  Feed(config, state);
  Cycle(0.3);
  auto flowOf = [&](int slot) {
    json sender;
    Get(NodeAPI + "/senders/" + config["tx-streams"][slot]["id"].get<std::string>(), &sender);
    return sender["flow_id"];
  };
  const json kept = flowOf(4);

  for (json* doc : {&config, &state})
    (*doc)["tx-streams"].erase(1);
  Feed(config, state);
  Cycle(0.3);
  ExpectExactly(config);
  EXPECT_EQ(flowOf(3), kept);

  for (json* doc : {&config, &state})
    (*doc)["tx-streams"][1]["index"] = 9;
  Feed(config, state);
  Cycle(0.3);
  ExpectExactly(config);
  EXPECT_EQ(flowOf(3), kept);

  // Another device id: every resource belongs to the new device.
  config["device_id"] = "5a2b3c4d-0000-4000-8000-0000000000ff";
  Feed(config, state);
  Cycle(0.3);
  ExpectExactly(config);
}

TEST_F(BridgeLifetime, AFaultyFirmwareDocumentLeavesNoTraceOnceCorrectOnesReturn) {
  const json config = Scenario(4, false), state = Scenario(4, true);
  Feed(config, state);
  Cycle(0.3);

  // One pair of documents in which a receive stream carries a transmit stream's UUID and a transmit
  // stream names a source that is no UUID.
  json faulty = config, faultyState = state;
  for (json* doc : {&faulty, &faultyState}) {
    (*doc)["rx-streams"][2]["id"] = config["tx-streams"][1]["id"];
    (*doc)["tx-streams"][2]["source_id"] = "not a uuid";
  }
  Feed(faulty, faultyState);
  Cycle(0.5);
  json sender;
  EXPECT_EQ(Get(NodeAPI + "/senders/" + config["tx-streams"][1]["id"].get<std::string>(), &sender), 200);
  EXPECT_EQ(sender.value("resource_type", ""), "sender");
  // Of the two enabled streams only stream 1 keeps a source; stream 2's has ended.
  EXPECT_EQ(Ids("sources"), std::set<std::string>{config["tx-streams"][1]["source_id"].get<std::string>()});
  EXPECT_EQ(Ids("flows").size(), 1u);
  EXPECT_EQ(Ids("receivers").count(config["rx-streams"][2]["id"].get<std::string>()), 0u);

  Feed(config, state);
  Cycle(3);
  ExpectExactly(config);

  // A configuration that drops transmit stream 3 and gives its UUID to receive stream 3; the correct
  // one that follows adds the sender before it gives the receiver its own UUID back.
  faulty = config;
  faulty["tx-streams"].erase(3);
  faulty["rx-streams"][3]["id"] = config["tx-streams"][3]["id"];
  Feed(faulty);
  Feed(config);
  Cycle(3);
  ExpectExactly(config);
}

TEST_F(BridgeLifetime, TheNodeGetsANewVersionWhenItsInterfaceOrClocksChange) {
  json state = Scenario(2, true);
  state.erase("syncState");
  Feed(Scenario(2, false), state);
  json node;
  ASSERT_EQ(Get(NodeAPI + "/self", &node), 200);
  const auto first = Version(node);

  state["mac"] = "02:00:00:00:00:02";
  Feed(state);
  ASSERT_EQ(Get(NodeAPI + "/self", &node), 200);
  EXPECT_EQ(node["interfaces"][0]["port_id"], "02-00-00-00-00-02");
  const auto second = Version(node);
  EXPECT_LT(first, second);

  state["syncState"] = {"Slave", "Locked"};
  Feed(state);
  ASSERT_EQ(Get(NodeAPI + "/self", &node), 200);
  EXPECT_EQ(node["clocks"].size(), 2u);
  EXPECT_LT(second, Version(node));
}
