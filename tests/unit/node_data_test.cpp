#include "NMOSNodeData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

const char* const SenderUUID = "5c2a8d3e-8f3b-4a6e-9b1c-2f6d7e8a9b01";
const char* const SenderPath = "/senders/5c2a8d3e-8f3b-4a6e-9b1c-2f6d7e8a9b01";

// Decimal digits without a leading zero.
bool IsDecimal(const std::string& Text) {
  return !Text.empty() && Text.find_first_not_of("0123456789") == std::string::npos &&
         (Text.size() == 1 || Text[0] != '0');
}

// Seconds, a colon, nanoseconds.
bool IsVersionStamp(const json& Value) {
  if (!Value.is_string()) return false;
  const std::string text = Value.get<std::string>();
  const size_t colon = text.find(':');
  return colon != std::string::npos && IsDecimal(text.substr(0, colon)) &&
         IsDecimal(text.substr(colon + 1)) && std::stol(text.substr(colon + 1)) < 1000000000;
}

// 36 characters: lower-case hexadecimal in groups of 8-4-4-4-12, joined by hyphens.
bool IsUUIDText(const std::string& Text) {
  if (Text.size() != 36) return false;
  for (size_t i = 0; i < Text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen != (Text[i] == '-')) return false;
    if (!hyphen && std::string("0123456789abcdef").find(Text[i]) == std::string::npos) return false;
  }
  return true;
}

long long StampSeconds(const json& Value) {
  return std::stoll(Value.get<std::string>());
}

// A stamp as (seconds, nanoseconds), for ordering.
std::pair<long long, long long> Stamp(const json& Value) {
  const std::string text = Value.get<std::string>();
  return {std::stoll(text), std::stoll(text.substr(text.find(':') + 1))};
}

class NodeData : public ::testing::Test {
protected:
  TQELNMOSNodeData Store;

  // Runs Action and returns what it printed (only error and warning lines are printed).
  template <typename TAction> std::string Printed(TAction Action) {
    testing::internal::CaptureStdout();
    Action();
    return testing::internal::GetCapturedStdout();
  }
};

// ---- Layout and reads ----

TEST_F(NodeData, FreshStoreHoldsNodeBookkeepingAndEmptyCollectionsInCreationOrder) {
  const json expected = json::parse(R"({
    "self": {"version": null},
    "intern": {"tx-channels": [], "senders": {}, "receivers": {}},
    "devices": {}, "senders": {}, "receivers": {}, "sources": {}, "flows": {}})");
  EXPECT_EQ(Store.Root().dump(), expected.dump());
}

TEST_F(NodeData, ReadingACollectionGivesItsObject) {
  EXPECT_EQ(Store.Get("/senders"), json::object());
}

TEST_F(NodeData, ReadingAMissingOrMalformedPathGivesTheSharedNull) {
  EXPECT_EQ(&Store.Get("/senders/unknown"), &IQELNMOSNodeData::GetEmptyJSON());
  EXPECT_EQ(&Store.Get("senders"), &IQELNMOSNodeData::GetEmptyJSON());
  EXPECT_EQ(&Store.Get("/intern/tx-channels/x"), &IQELNMOSNodeData::GetEmptyJSON());
  EXPECT_TRUE(Store.Get(nullptr).is_null());
}

TEST_F(NodeData, DumpPrintsTheIndentedDocumentBetweenMarkers) {
  const std::string out = Printed([&] { Store.Dump(); });
  EXPECT_EQ(out.rfind("DUMP *****\n{\n  \"devices\"", 0), 0u);
  EXPECT_NE(out.find("\n*****\n"), std::string::npos);
}

// ---- Writes ----

TEST_F(NodeData, WritingANewUUIDBelowSendersCreatesTheMemberAndReturnsIt) {
  const json& written = Store.Set(SenderPath, {{"id", SenderUUID}, {"label", "TX1"}});
  EXPECT_EQ(&written, &Store.Get(SenderPath));
  EXPECT_EQ(Store.Get("/senders").size(), 1u);
  EXPECT_EQ(Store.Get(SenderPath)["label"], "TX1");
}

TEST_F(NodeData, WritingAnExistingMemberReplacesItWhole) {
  Store.Set(SenderPath, {{"label", "old"}, {"extra", 1}});
  Store.Set(SenderPath, {{"label", "new"}});
  EXPECT_EQ(Store.Get(SenderPath), json({{"label", "new"}}));
}

TEST_F(NodeData, WritingBelowAMissingParentFailsWithLogAndLeavesTheDocument) {
  const json before = Store.Root();
  const json* result = nullptr;
  const std::string out = Printed([&] { result = &Store.Set("/nothere/x", {{"a", 1}}); });
  EXPECT_EQ(result, &IQELNMOSNodeData::GetEmptyJSON());
  EXPECT_NE(out.find("WRITE failed: "), std::string::npos);
  EXPECT_NE(out.find(", Path : /nothere/x, Value {\"a\":1}"), std::string::npos);
  EXPECT_EQ(Store.Root(), before);
}

TEST_F(NodeData, PathsThatAreNoJsonPointerAreLoggedFailuresNotExceptions) {
  const json before = Store.Root();
  for (const char* path : {"senders/x", "/senders/bad~2escape", "/senders/~"}) {
    const std::string out = Printed([&] { EXPECT_TRUE(Store.Set(path, 1).is_null()) << path; });
    EXPECT_NE(out.find("WRITE failed: "), std::string::npos) << path;
  }
  Printed([&] { EXPECT_TRUE(Store.SetWithTimeStamp(nullptr, json::object()).is_null()); });
  EXPECT_EQ(Store.Root(), before);
}

TEST_F(NodeData, PatchTextInAPathNamesAMemberAndCannotInjectAnotherOperation) {
  Store.Set(R"(/senders/x", "value": 1}, {"op": "remove", "path": "~1self)", "v");
  EXPECT_TRUE(Store.Root().contains("self"));
  ASSERT_EQ(Store.Get("/senders").size(), 1u);
  EXPECT_EQ(Store.Get("/senders").begin().key(), R"(x", "value": 1}, {"op": "remove", "path": "/self)");
}

TEST_F(NodeData, PatchTextWithASlashInAPathIsADeeperPathAndFails) {
  const json before = Store.Root();
  Printed([&] { EXPECT_TRUE(Store.Set(R"(/senders/x"}, {"op": "remove", "path": "/self)", "v").is_null()); });
  EXPECT_EQ(Store.Root(), before);
}

TEST_F(NodeData, EscapedSlashAndTildeInAPathNameOneMember) {
  Store.Set("/intern/senders/a~1b~0c", 7);
  EXPECT_EQ(Store.Root()["intern"]["senders"]["a/b~c"], 7);
}

TEST_F(NodeData, SetWithTimeStampGivesTheNodeATaiVersionStamp) {
  timespec now{};
  clock_gettime(CLOCK_TAI, &now);
  const json& sender = Store.SetWithTimeStamp(SenderPath, {{"id", SenderUUID}});
  ASSERT_TRUE(IsVersionStamp(sender["version"])) << sender.dump();
  EXPECT_GE(StampSeconds(sender["version"]), now.tv_sec);
  EXPECT_LE(StampSeconds(sender["version"]), now.tv_sec + 5);
}

TEST_F(NodeData, VersionsOnlyIncreaseAndEveryChangeInsideAResourceGivesANewOne) {
  std::pair<long long, long long> last{0, 0};
  for (int i = 0; i < 1000; ++i) { // faster than the clock's resolution: still one apart
    const std::pair<long long, long long> now =
        Stamp(Store.SetWithTimeStamp(SenderPath, json::object())["version"]);
    ASSERT_LT(last, now) << i;
    last = now;
  }
  Store.Set("/self",
            {{"id", SenderUUID}, {"clocks", {{{"name", "clk0"}}, {{"name", "clk1"}}}}, {"version", "1:0"}});
  Store.Set("/self/clocks/0", {{"name", "clk0"}, {"ref_type", "internal"}});
  const auto changed = Stamp(Store.Get("/self/version"));
  EXPECT_LT(last, changed);
  Store.Del("/self/clocks/1");
  EXPECT_LT(changed, Stamp(Store.Get("/self/version")));
  Store.Set((std::string(SenderPath) + "/label").c_str(), "renamed");
  EXPECT_LT(changed, Stamp(Store.Get(SenderPath)["version"]));
  // Bookkeeping beside the resources has no version.
  Store.Set("/intern/sync", {{"fs", 48000}});
  EXPECT_FALSE(Store.Get("/intern").contains("version"));
}

TEST_F(NodeData, SetLeavesTheVersionAsTheCallerWroteIt) {
  EXPECT_EQ(Store.Set(SenderPath, {{"version", "1:2"}})["version"], "1:2");
}

TEST_F(NodeData, SetWithTimeStampOfAScalarFailsWithoutWriting) {
  Printed([&] { EXPECT_TRUE(Store.SetWithTimeStamp(SenderPath, "text").is_null()); });
  EXPECT_TRUE(Store.Get("/senders").empty());
}

TEST_F(NodeData, ReplacingTheWholeDocumentWithAnEmptyValueIsAFailureNotAnException) {
  const json before = Store.Root();
  const std::string out = Printed([&] { EXPECT_TRUE(Store.Set("", json::object()).is_null()); });
  EXPECT_NE(out.find("WRITE failed: Modification failed!"), std::string::npos);
  EXPECT_EQ(Store.Root(), before);
}

TEST_F(NodeData, TextThatIsNotUTF8IsRefusedBecauseTheDocumentCouldNoLongerBeServed) {
  Printed([&] { EXPECT_TRUE(Store.Set(SenderPath, {{"label", "Caf\xe9"}}).is_null()); });
  EXPECT_TRUE(Store.Get("/senders").empty());
  EXPECT_FALSE(Store.Set(SenderPath, {{"label", "Caf\xc3\xa9"}}).is_null());
  EXPECT_NO_THROW(Store.Root().dump());
}

// ---- Arrays ----

TEST_F(NodeData, SetAtAnArrayIndexInsertsBeforeItAndDashAppends) {
  Store.Set("/intern/tx-channels/-", "a");
  Store.Set("/intern/tx-channels/-", "c");
  Store.Set("/intern/tx-channels/1", "b");
  Store.Set("/intern/tx-channels/3", "d");
  EXPECT_EQ(Store.Get("/intern/tx-channels"), json({"a", "b", "c", "d"}));
}

TEST_F(NodeData, ArrayIndicesBeyondTheEndOrWithLeadingZerosFail) {
  Store.Set("/intern/tx-channels/-", "a");
  Printed([&] {
    EXPECT_TRUE(Store.Set("/intern/tx-channels/2", "x").is_null());
    EXPECT_TRUE(Store.Set("/intern/tx-channels/01", "x").is_null());
    EXPECT_TRUE(Store.Set("/intern/tx-channels/name", "x").is_null());
  });
  EXPECT_EQ(Store.Get("/intern/tx-channels"), json({"a"}));
}

// ---- Removal ----

TEST_F(NodeData, DelRemovesAMemberAndShiftsArrayElements) {
  Store.Set(SenderPath, json::object());
  Store.Set("/intern/tx-channels/-", "a");
  Store.Set("/intern/tx-channels/-", "b");
  EXPECT_TRUE(Store.Del(SenderPath));
  EXPECT_TRUE(Store.Del("/intern/tx-channels/0"));
  EXPECT_TRUE(Store.Get("/senders").empty());
  EXPECT_EQ(Store.Get("/intern/tx-channels"), json({"b"}));
}

TEST_F(NodeData, DelOfAMissingPathIsLoggedAndLeavesTheDocument) {
  const json before = Store.Root();
  bool removed = true;
  const std::string out = Printed([&] { removed = Store.Del("/senders/unknown"); });
  EXPECT_FALSE(removed);
  EXPECT_NE(out.find("DEL failed: "), std::string::npos);
  EXPECT_NE(out.find(", Path : /senders/unknown"), std::string::npos);
  Printed([&] {
    EXPECT_FALSE(Store.Del(""));
    EXPECT_FALSE(Store.Del("no pointer"));
  });
  EXPECT_EQ(Store.Root(), before);
}

TEST_F(NodeData, RemovingTheLastTopLevelMemberIsRefused) {
  for (const char* member : {"/intern", "/devices", "/senders", "/receivers", "/sources", "/flows"})
    ASSERT_TRUE(Store.Del(member));
  Printed([&] { EXPECT_FALSE(Store.Del("/self")); });
  EXPECT_TRUE(Store.Root().contains("self"));
}

// ---- Write sections and the generation ----

TEST_F(NodeData, NestedWriteSectionsChangeTheGenerationOnceAtTheOutermostEnd) {
  const uint64_t first = Store.Generation();
  EXPECT_EQ(Store.BeginUpdate(), 1u);
  EXPECT_EQ(Store.BeginUpdate(), 2u);
  EXPECT_EQ(Store.EndUpdate(), 1u);
  EXPECT_EQ(Store.Generation(), first);
  EXPECT_EQ(Store.EndUpdate(), 0u);
  EXPECT_NE(Store.Generation(), first);
  EXPECT_NE(Store.Generation(), TQELNMOSNodeData().Generation());
}

TEST_F(NodeData, AnUnmatchedEndUpdateIsLoggedAndChangesNothing) {
  const std::string out = Printed([&] { EXPECT_EQ(Store.EndUpdate(), 0u); });
  EXPECT_NE(out.find("EndUpdate without BeginUpdate"), std::string::npos);
  EXPECT_EQ(Store.BeginUpdate(), 1u);
  EXPECT_EQ(Store.EndUpdate(), 0u);
}

TEST_F(NodeData, WritesInsideAWriteSectionUseTheSameRecursiveLock) {
  TNodeDBWriteLocker section(Store);
  Store.Set(SenderPath, json::object());
  TNodeDBReadLocker read(Store);
  EXPECT_TRUE(Store.Get(SenderPath).is_object());
}

// ---- Side tables ----

TEST_F(NodeData, FakeIDIsStableUntilReleased) {
  const std::string first = Store.FakeID("/fake/flows", 3);
  EXPECT_TRUE(IsUUIDText(first)) << first;
  EXPECT_EQ(Store.FakeID("/fake/flows", 3), first);
  EXPECT_NE(Store.FakeID("/fake/flows", 4), first);
  EXPECT_TRUE(Store.DelFakeID("/fake/flows", 3));
  EXPECT_FALSE(Store.DelFakeID("/fake/flows", 3));
  EXPECT_NE(Store.FakeID("/fake/flows", 3), first);
}

TEST_F(NodeData, NameTableBindsBothDirectionsAndReportsOnlyChanges) {
  EXPECT_TRUE(Store.SetNameFromUUID("senders", "u1", "Stream A"));
  EXPECT_FALSE(Store.SetNameFromUUID("senders", "u1", "Stream A"));
  EXPECT_EQ(Store.GetNameFromUUID("senders", "u1"), "Stream A");
  EXPECT_EQ(Store.GetUUIDFromName("senders", "Stream A"), "u1");
  EXPECT_EQ(Store.GetUUIDFromName("receivers", "Stream A"), "");
}

TEST_F(NodeData, RemovingANameBindingRemovesBothDirections) {
  Store.SetNameFromUUID("senders", "u1", "Stream A");
  EXPECT_TRUE(Store.SetNameFromUUID("senders", "u1", ""));
  EXPECT_EQ(Store.GetNameFromUUID("senders", "u1"), "");
  EXPECT_EQ(Store.GetUUIDFromName("senders", "Stream A"), "");
  EXPECT_FALSE(Store.SetNameFromUUID("senders", "u1", ""));
  json stats;
  Store.UpdateStats("Database", stats);
  EXPECT_FALSE(stats["Database"]["ObjectNames"].contains("senders"));
}

TEST_F(NodeData, ARenamedSenderIsNoLongerFoundUnderItsOldName) {
  Store.SetNameFromUUID("senders", "u1", "Old");
  EXPECT_TRUE(Store.SetNameFromUUID("senders", "u1", "New"));
  EXPECT_EQ(Store.GetUUIDFromName("senders", "New"), "u1");
  EXPECT_EQ(Store.GetUUIDFromName("senders", "Old"), "");
}

TEST_F(NodeData, ANameTakenOverByAnotherUUIDLeadsToTheNewOne) {
  Store.SetNameFromUUID("senders", "u1", "Shared");
  Store.SetNameFromUUID("senders", "u2", "Shared");
  EXPECT_EQ(Store.GetUUIDFromName("senders", "Shared"), "u2");
  EXPECT_TRUE(Store.SetNameFromUUID("senders", "", "Shared"));
  EXPECT_EQ(Store.GetNameFromUUID("senders", "u2"), "");
  EXPECT_EQ(Store.GetNameFromUUID("senders", "u1"), "Shared");
}

TEST_F(NodeData, IndexBindingKeepsTheFirstIndexUntilRemoved) {
  EXPECT_TRUE(Store.SetIndexFromUUID("senders", "u1", 2));
  EXPECT_FALSE(Store.SetIndexFromUUID("senders", "u1", 5));
  EXPECT_EQ(Store.GetIndexFromUUID("senders", "u1"), 2);
  std::string uuid;
  EXPECT_TRUE(Store.GetUUIDFromIndex("senders", 2, uuid));
  EXPECT_EQ(uuid, "u1");
  EXPECT_FALSE(Store.GetUUIDFromIndex("senders", 5, uuid));
  EXPECT_FALSE(Store.GetUUIDFromIndex("senders", -1, uuid));
  EXPECT_FALSE(Store.SetIndexFromUUID("senders", "", 1));
}

TEST_F(NodeData, RemovingTheLastIndexBindingDropsTheType) {
  Store.SetIndexFromUUID("senders", "u1", 2);
  EXPECT_TRUE(Store.SetIndexFromUUID("senders", "u1", -1));
  EXPECT_FALSE(Store.SetIndexFromUUID("senders", "u1", -1));
  std::string uuid;
  EXPECT_FALSE(Store.GetUUIDFromIndex("senders", 2, uuid));
  json stats;
  Store.UpdateStats("Database", stats);
  EXPECT_FALSE(stats["Database"]["ObjectIndices"].contains("senders"));
}

TEST_F(NodeData, AskingAnUnknownTypeForAnIndexListsItInTheStatisticsWithNoEntries) {
  EXPECT_EQ(Store.GetIndexFromUUID("flows", "u1"), -1);
  EXPECT_EQ(Store.GetIndexFromUUID("flows", ""), -1);
  json stats;
  Store.UpdateStats("Database", stats);
  EXPECT_EQ(stats["Database"]["ObjectIndices"], json({{"flows", 0}}));
}

TEST_F(NodeData, StatisticsCountTableEntriesAndTopLevelMembers) {
  Store.SetNameFromUUID("senders", "u1", "A");
  Store.SetIndexFromUUID("receivers", "u2", 0);
  Store.Set(SenderPath, json::object());
  json stats = {{"Other", 1}};
  Store.UpdateStats("Database", stats);
  EXPECT_EQ(stats["Other"], 1);
  const json& db = stats["Database"];
  EXPECT_EQ(db["ObjectNames"], json({{"senders", 2}}));
  EXPECT_EQ(db["ObjectIndices"], json({{"receivers", 1}}));
  EXPECT_EQ(db["Database"].dump(),
            R"({"devices":0,"flows":0,"intern":3,"receivers":0,"self":1,"senders":1,"sources":0})");
}

// ---- Two threads ----

TEST_F(NodeData, AWriterWaitsWhileAnotherThreadHoldsAReadSection) {
  Store.Set(SenderPath, {{"label", "before"}});
  std::atomic<bool> written{false};
  std::thread writer;
  {
    TNodeDBReadLocker read(Store);
    const json& held = Store.Get(SenderPath);
    writer = std::thread([&] {
      Store.SetWithTimeStamp(SenderPath, {{"label", "after"}});
      written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(written);
    EXPECT_EQ(held["label"], "before");
  }
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(Store.Get(SenderPath)["label"], "after");
}

TEST_F(NodeData, WriteSectionsOfTwoThreadsDoNotInterleave) {
  constexpr int rounds = 300;
  auto worker = [&](const std::string& prefix) {
    for (int i = 0; i < rounds; ++i) {
      TNodeDBWriteLocker section(Store);
      const std::string path = "/senders/" + prefix + std::to_string(i);
      Store.SetWithTimeStamp(path.c_str(), {{"id", prefix}});
      Store.Set("/intern/last", prefix);
      // Nobody else may write between our two writes.
      EXPECT_EQ(Store.Get("/intern/last"), prefix);
      EXPECT_EQ(Store.Get(path.c_str())["id"], prefix);
    }
  };
  std::thread a(worker, "a"), b(worker, "b");
  a.join();
  b.join();
  EXPECT_EQ(Store.Get("/senders").size(), 2u * rounds);
  TNodeDBReadLocker read(Store);
  for (const auto& sender : Store.Get("/senders"))
    EXPECT_TRUE(IsVersionStamp(sender["version"]));
}

// ---- JsonExtract ----

TEST(JsonExtract, AMemberOfTheDefaultsKindIsReturned) {
  const json node = json::parse(R"({"a": 5, "name": "TX", "on": true})");
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "a", json(0u)), 5);
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "name", ""), "TX");
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "on", false), true);
}

TEST(JsonExtract, IntegersOfEitherSignednessAreAcceptedWhenTheyFit) {
  const json node = json::parse(R"({"port": 5006, "neg": -1, "rate": 48000})");
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "port", 5004), 5006);
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "rate", 0.0), 48000);
  testing::internal::CaptureStdout();
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "neg", json(7u)), 7u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("JSON Node Type mismatch: expected(6) vs is(5)"),
            std::string::npos);
}

TEST(JsonExtract, AMemberOfAnotherKindIsLoggedAndGivesTheDefault) {
  const json node = json::parse(R"({"a": "5", "f": 1.5})");
  testing::internal::CaptureStdout();
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "a", 0), 0);
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(node, "f", 2), 2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("JSON Node Type mismatch: expected(5) vs is(3)"), std::string::npos);
  EXPECT_NE(out.find("JSON Node Type mismatch: expected(5) vs is(7)"), std::string::npos);
}

TEST(JsonExtract, AMissingMemberOrANonObjectGivesTheDefaultSilently) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(json::object(), "a", "d"), "d");
  EXPECT_EQ(IQELNMOSNodeData::JsonExtract(json::array({1}), "a", 3), 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ResType, KindsHaveTheirResourceTypeTexts) {
  EXPECT_STREQ(ResTypeToString(Node), "node");
  EXPECT_STREQ(ResTypeToString(Flow), "flow");
  EXPECT_STREQ(ResTypeToString(static_cast<TNMOS_ResType>(6)), "");
}

} // namespace
