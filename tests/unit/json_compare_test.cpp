#include "JsonCompare.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

struct TCall {
  std::string Kind;
  NodeInfoType Type;
  std::string Path;
  std::string Name;
  uint32_t Index;
  json J1;
  json J2;
};

using TCalls = std::vector<TCall>;

void Record(const char* Kind, void* Context, const TJsonNodeInfo& Info, const json& J1, const json& J2) {
  TCall call{Kind, Info.Type, Info.Path, "", 0, J1, J2};
  if (Info.Type == nitNamed) call.Name = Info.Name;
  if (Info.Type == nitIndexed) call.Index = Info.Index;
  static_cast<TCalls*>(Context)->push_back(call);
}

void Added(void* C, const TJsonNodeInfo& I, const json& J1, const json& J2) {
  Record("added", C, I, J1, J2);
}
void Changed(void* C, const TJsonNodeInfo& I, const json& J1, const json& J2) {
  Record("changed", C, I, J1, J2);
}
void Removed(void* C, const TJsonNodeInfo& I, const json& J1, const json& J2) {
  Record("removed", C, I, J1, J2);
}
void Throws(void*, const TJsonNodeInfo&, const json&, const json&) {
  throw std::runtime_error("handler broke");
}

const TJsonDiffActions Recorded = {Added, Changed, Removed, nullptr};
const TJsonDiffActions Broken = {Throws, Throws, Throws, nullptr};

TCalls CompareAndRecord(const TJsonCompareDef* Table, const json& Before, const json& After) {
  TCalls calls;
  TJsonCompare(Table).Compare(&calls, Before, After, nullptr);
  return calls;
}

json Streams(int Count) {
  json streams = json::array();
  for (int i = 0; i < Count; ++i)
    streams.push_back({{"id", "uuid-" + std::to_string(i)}, {"name", "TX" + std::to_string(i)}});
  return streams;
}

const TJsonCompareDef TxTable[] = {{"/tx-streams/*", Recorded}, {nullptr, {}}};

// ---- Table ----

TEST(JsonCompare, TheTableIsReadUpToTheEntryWithoutPathKeepingDuplicatesInOrder) {
  const TJsonCompareDef table[] = {
      {"/ip", Recorded}, {"/a/*", Recorded}, {"/ip", Broken}, {nullptr, {}}, {"/x", Recorded}};
  const TJsonCompare compare(table);
  ASSERT_EQ(compare.Entries().size(), 3u);
  EXPECT_EQ(compare.Entries()[2].first, "/ip");
  EXPECT_EQ(compare.Entries()[2].second.OnAdded, &Throws);
  EXPECT_TRUE(TJsonCompare(nullptr).Entries().empty());
}

TEST(JsonCompare, EqualDocumentsCallNothing) {
  const json doc = {{"ip", "10.0.0.1"}, {"tx-streams", Streams(4)}};
  EXPECT_TRUE(CompareAndRecord(TxTable, doc, doc).empty());
}

// ---- Pattern rules ----

TEST(JsonCompare, AMemberChangeInsideAStreamReportsTheWholeNewStreamByIndex) {
  const json before = {{"tx-streams", Streams(4)}};
  json after = before;
  after["tx-streams"][3]["name"] = "Renamed";
  const TCalls calls = CompareAndRecord(TxTable, before, after);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "changed");
  EXPECT_EQ(calls[0].Type, nitIndexed);
  EXPECT_EQ(calls[0].Index, 3u);
  EXPECT_EQ(calls[0].Path, "/tx-streams/3");
  EXPECT_TRUE(calls[0].J1.is_null());
  EXPECT_EQ(calls[0].J2, after["tx-streams"][3]);
}

TEST(JsonCompare, AnExactPatternFiresOnlyForExactlyThatPath) {
  const TJsonCompareDef table[] = {{"/ip", Recorded}, {nullptr, {}}};
  const json before = {{"ip", "10.0.0.1"}, {"ipv6", "::1"}};
  const TCalls unrelated = CompareAndRecord(table, before, {{"ip", "10.0.0.1"}, {"ipv6", "::2"}});
  EXPECT_TRUE(unrelated.empty());
  const TCalls calls = CompareAndRecord(table, before, {{"ip", "10.0.0.2"}, {"ipv6", "::1"}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "changed");
  EXPECT_EQ(calls[0].Type, nitSelf);
  EXPECT_EQ(calls[0].Path, "/ip");
  EXPECT_EQ(calls[0].J2, "10.0.0.2");
}

TEST(JsonCompare, AWildcardPrefixMustStartTheChangedPath) {
  const json before = {{"rx-streams", {{{"tx-streams", {1}}}}}};
  const json after = {{"rx-streams", {{{"tx-streams", {2}}}}}};
  EXPECT_TRUE(CompareAndRecord(TxTable, before, after).empty());
}

TEST(JsonCompare, AWholeCollectionAppearingFiresTheExactEntryNotTheWildcard) {
  const TJsonCompareDef table[] = {{"/tx-streams", Recorded}, {"/tx-streams/*", Recorded}, {nullptr, {}}};
  const TCalls calls = CompareAndRecord(table, json::object(), {{"tx-streams", Streams(2)}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "added");
  EXPECT_EQ(calls[0].Path, "/tx-streams");
  EXPECT_EQ(calls[0].J2, Streams(2));
}

TEST(JsonCompare, ATextComponentWhereTheStarStandsNamesTheElement) {
  const TJsonCompareDef table[] = {{"/TXTB/*", Recorded}, {nullptr, {}}};
  const json before = {{"TXTB", {{"Ch A", {{"n", 1}}}, {"a/b", 1}}}};
  const json after = {{"TXTB", {{"Ch A", {{"n", 2}}}, {"a/b", 2}}}};
  const TCalls calls = CompareAndRecord(table, before, after);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Type, nitNamed);
  EXPECT_EQ(calls[0].Name, "Ch A");
  EXPECT_EQ(calls[0].Path, "/TXTB/Ch A");
  EXPECT_EQ(calls[0].J2, json({{"n", 2}}));
  EXPECT_EQ(calls[1].Name, "a/b");
  EXPECT_EQ(calls[1].Path, "/TXTB/a~1b");
}

TEST(JsonCompare, OnlyAPlainDecimalComponentCountsAsAnIndex) {
  const TJsonCompareDef table[] = {{"/TXTB/*", Recorded}, {nullptr, {}}};
  const TCalls calls =
      CompareAndRecord(table, {{"TXTB", {{"-1", 0}, {"3x", 0}}}}, {{"TXTB", {{"-1", 1}, {"3x", 1}}}});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Type, nitNamed);
  EXPECT_EQ(calls[0].Name, "-1");
  EXPECT_EQ(calls[1].Type, nitNamed);
  EXPECT_EQ(calls[1].Name, "3x");
}

// ---- Which changes are reported ----

TEST(JsonCompare, EachChangedElementIsReportedOncePerEntryWithItsFirstOperation) {
  const TJsonCompareDef table[] = {{"/tx-streams/*", Recorded}, {"/tx-streams/*", Recorded}, {nullptr, {}}};
  const json before = {{"tx-streams", Streams(4)}};
  json after = before;
  after["tx-streams"][1]["name"] = "One";
  after["tx-streams"][1]["id"] = "uuid-new";
  after["tx-streams"][3]["name"] = "Three";
  const TCalls calls = CompareAndRecord(table, before, after);
  ASSERT_EQ(calls.size(), 4u);
  for (size_t entry = 0; entry < 2; ++entry) {
    EXPECT_EQ(calls[2 * entry].Index, 1u);
    EXPECT_EQ(calls[2 * entry].J2, after["tx-streams"][1]);
    EXPECT_EQ(calls[2 * entry + 1].Index, 3u);
  }
}

TEST(JsonCompare, AnAppendedElementArrivesAsAddedWithTheWholeElement) {
  const TJsonCompareDef table[] = {{"/rx-streams/*", Recorded}, {nullptr, {}}};
  const TCalls calls = CompareAndRecord(table, {{"rx-streams", Streams(1)}}, {{"rx-streams", Streams(2)}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "added");
  EXPECT_EQ(calls[0].Index, 1u);
  EXPECT_EQ(calls[0].J2, Streams(2)[1]);
}

TEST(JsonCompare, SeveralAppendedElementsArriveEachWithItsOwnPosition) {
  const TJsonCompareDef table[] = {{"/rx-streams/*", Recorded}, {nullptr, {}}};
  const TCalls calls = CompareAndRecord(table, {{"rx-streams", Streams(1)}}, {{"rx-streams", Streams(3)}});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Path, "/rx-streams/1");
  EXPECT_EQ(calls[1].Index, 2u);
  EXPECT_EQ(calls[1].J2, Streams(3)[2]);
}

TEST(JsonCompare, ARemovedTrailingElementArrivesAsRemovedWithNullValues) {
  const TJsonCompareDef table[] = {{"/rx-streams/*", Recorded}, {nullptr, {}}};
  const TCalls calls = CompareAndRecord(table, {{"rx-streams", Streams(2)}}, {{"rx-streams", Streams(1)}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "removed");
  EXPECT_EQ(calls[0].Index, 1u);
  EXPECT_TRUE(calls[0].J1.is_null());
  EXPECT_TRUE(calls[0].J2.is_null());
}

TEST(JsonCompare, AMemberAddedOrRemovedInsideAnElementReportsTheElementChanged) {
  const json before = {{"tx-streams", Streams(2)}};
  json after = before;
  after["tx-streams"][0]["codec"] = "L24";
  after["tx-streams"][1].erase("name");
  const TCalls calls = CompareAndRecord(TxTable, before, after);
  ASSERT_EQ(calls.size(), 2u);
  for (const TCall& call : calls)
    EXPECT_EQ(call.Kind, "changed");
  EXPECT_EQ(calls[0].J2, after["tx-streams"][0]);
  EXPECT_EQ(calls[1].J2, after["tx-streams"][1]);
}

TEST(JsonCompare, AnElementReplacedByAnotherKindOfValueReportsTheNewValue) {
  const TCalls calls = CompareAndRecord(TxTable, {{"tx-streams", Streams(1)}}, {{"tx-streams", {"off"}}});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, "changed");
  EXPECT_EQ(calls[0].J2, "off");
}

// ---- Failures ----

TEST(JsonCompare, AFailingHandlerIsLoggedAndTheNextEntriesStillRun) {
  const TJsonCompareDef table[] = {{"/ip", Broken}, {"/name", Recorded}, {nullptr, {}}};
  testing::internal::CaptureStdout();
  const TCalls calls = CompareAndRecord(table, {{"ip", "a"}, {"name", "x"}}, {{"ip", "b"}, {"name", "y"}});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("JSON Handle Diff error handler broke at /ip, OP = {"), std::string::npos);
  EXPECT_NE(out.find("}  while processing {"), std::string::npos);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Path, "/name");
}

TEST(JsonCompare, AnEntryWithoutAHandlerForAKindOfChangeIsSkipped) {
  const TJsonCompareDef table[] = {{"/sync", {Added, nullptr, Removed, nullptr}}, {nullptr, {}}};
  EXPECT_TRUE(CompareAndRecord(table, {{"sync", 1}}, {{"sync", 2}}).empty());
}

} // namespace
