// Thousands of damaged firmware documents through the real bridge: nothing crashes, and the store
// stays a valid JSON document whose published resources keep their identity.
#include "AES67FWClient.h"
#include "BridgeScenario.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace Qel_nmos_bridge;

namespace {

// One random change somewhere in the document: a member gets another type, vanishes, or grows.
void Mutate(json& doc, std::mt19937& rng) {
  json* node = &doc;
  for (int depth = 0; depth < 4 && (node->is_object() || node->is_array()) && !node->empty(); ++depth) {
    auto it = node->begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, node->size() - 1)(rng));
    if (rng() % 3 == 0) break;
    node = &*it;
  }
  switch (rng() % 8) {
  case 0:
    *node = nullptr;
    break;
  case 1:
    *node = static_cast<int64_t>(rng()) - (1LL << 31);
    break;
  case 2:
    *node = "\xff\xfe not utf-8";
    break;
  case 3:
    *node = json::array({1, "x", json::object()});
    break;
  case 4:
    *node = json::object({{"id", 7}});
    break;
  case 5:
    *node = -1.5e300;
    break;
  case 6:
    if (node->is_object() && !node->empty()) node->erase(node->begin());
    break;
  default:
    if (node->is_array()) node->push_back(*node == json::array() ? json(1) : (*node)[0]);
  }
}

// Every published resource is an object carrying the id it is stored under.
void ExpectConsistent(IQELNMOSNodeData& data) {
  TNodeDBReadLocker lock(data);
  const json& root = data.Get("");
  ASSERT_TRUE(root.is_object());
  EXPECT_NO_THROW((void)root.dump(-1, ' ', false, json::error_handler_t::strict));
  for (const char* collection : {"/senders", "/receivers", "/sources", "/flows"}) {
    const json& resources = data.Get(collection);
    ASSERT_TRUE(resources.is_object()) << collection;
    for (auto it = resources.begin(); it != resources.end(); ++it) {
      ASSERT_TRUE(it->is_object()) << collection << "/" << it.key();
      EXPECT_EQ(it->value("id", ""), it.key()) << collection;
    }
  }
}

} // namespace

TEST(BridgeFuzz, DamagedFirmwareDocumentsLeaveTheStoreConsistent) {
  char* argv[] = {const_cast<char*>("nmos-bridge"), const_cast<char*>("/box"),
                  const_cast<char*>("127.0.0.1:1")};
  TQELNMOSConfig config(3, argv);
  TQELNMOSBridge* bridge = new TQELNMOSBridge(&config, GetLWSSetup());
  auto& fw = bridge->AESFWClient();
  const json config0 = Scenario(6, false), state0 = Scenario(6, true);
  fw.HandleJSON(config0.dump().c_str());
  fw.HandleJSON(state0.dump().c_str());
  ExpectConsistent(bridge->Data());
  EXPECT_EQ(bridge->Data().Get("/senders").size(), 6u);

  std::mt19937 rng(20261207);
  for (int round = 0; round < 2000; ++round) {
    json doc = rng() % 2 ? config0 : state0;
    for (int changes = 1 + static_cast<int>(rng() % 3); changes > 0; --changes)
      Mutate(doc, rng);
    std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    if (rng() % 10 == 0) text.resize(rng() % (text.size() + 1)); // cut short
    fw.HandleJSON(text.c_str());
    if (round % 100 == 0) ExpectConsistent(bridge->Data());
  }
  // The undamaged documents bring the node back.
  fw.HandleJSON(config0.dump().c_str());
  fw.HandleJSON(state0.dump().c_str());
  ExpectConsistent(bridge->Data());
  EXPECT_EQ(bridge->Data().Get("/self/label"), "fuzz");
  EXPECT_EQ(bridge->Data().Get("/receivers").size(), 6u);
  bridge->Destroy();
}
