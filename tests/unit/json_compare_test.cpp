#include "JsonCompare.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

// Tags of the test tables.
enum { tagA = 1, tagB = 2 };

TJsonChanges Changes(const TJsonCompareDef* Table, const json& Before, const json& After) {
  return TJsonCompare(Table).Compare(Before, After);
}

json Streams(int Count) {
  json streams = json::array();
  for (int i = 0; i < Count; ++i)
    streams.push_back({{"id", "uuid-" + std::to_string(i)}, {"name", "TX" + std::to_string(i)}});
  return streams;
}

const TJsonCompareDef TxTable[] = {{"/tx-streams/*", tagA}, {nullptr, 0}};

// ---- Table ----

TEST(JsonCompare, TheTableIsReadUpToTheEntryWithoutPathKeepingDuplicatesInOrder) {
  const TJsonCompareDef table[] = {{"/ip", tagA}, {"/a/*", tagA}, {"/ip", tagB}, {nullptr, 0}, {"/x", tagA}};
  // Every entry reports on its own, with its own tag, in table order; "/x" is past the end.
  const TJsonChanges changes = Changes(table, {{"ip", "a"}, {"x", 1}}, {{"ip", "b"}, {"x", 2}});
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].Tag, tagA);
  EXPECT_EQ(changes[1].Tag, tagB);
  EXPECT_TRUE(TJsonCompare(nullptr).Compare({{"ip", "a"}}, {{"ip", "b"}}).empty());
}

TEST(JsonCompare, EqualDocumentsChangeNothing) {
  const json doc = {{"ip", "10.0.0.1"}, {"tx-streams", Streams(4)}};
  EXPECT_TRUE(Changes(TxTable, doc, doc).empty());
}

// ---- Pattern rules ----

TEST(JsonCompare, AMemberChangeInsideAStreamReportsTheWholeNewStreamByIndex) {
  const json before = {{"tx-streams", Streams(4)}};
  json after = before;
  after["tx-streams"][3]["name"] = "Renamed";
  const TJsonChanges changes = Changes(TxTable, before, after);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Tag, tagA);
  EXPECT_EQ(changes[0].Kind, jckChanged);
  EXPECT_EQ(changes[0].Type, nitIndexed);
  EXPECT_EQ(changes[0].Index, 3u);
  EXPECT_EQ(changes[0].Path, "/tx-streams/3");
  EXPECT_EQ(changes[0].Value, after["tx-streams"][3]);
}

TEST(JsonCompare, AnExactPatternFiresOnlyForExactlyThatPath) {
  const TJsonCompareDef table[] = {{"/ip", tagA}, {nullptr, 0}};
  const json before = {{"ip", "10.0.0.1"}, {"ipv6", "::1"}};
  EXPECT_TRUE(Changes(table, before, {{"ip", "10.0.0.1"}, {"ipv6", "::2"}}).empty());
  const TJsonChanges changes = Changes(table, before, {{"ip", "10.0.0.2"}, {"ipv6", "::1"}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Kind, jckChanged);
  EXPECT_EQ(changes[0].Type, nitSelf);
  EXPECT_EQ(changes[0].Path, "/ip");
  EXPECT_EQ(changes[0].Value, "10.0.0.2");
}

TEST(JsonCompare, AWildcardPrefixMustStartTheChangedPath) {
  const json before = {{"rx-streams", {{{"tx-streams", {1}}}}}};
  const json after = {{"rx-streams", {{{"tx-streams", {2}}}}}};
  EXPECT_TRUE(Changes(TxTable, before, after).empty());
}

TEST(JsonCompare, AWholeCollectionAppearingFiresTheExactEntryNotTheWildcard) {
  const TJsonCompareDef table[] = {{"/tx-streams", tagA}, {"/tx-streams/*", tagB}, {nullptr, 0}};
  const TJsonChanges changes = Changes(table, json::object(), {{"tx-streams", Streams(2)}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Tag, tagA);
  EXPECT_EQ(changes[0].Kind, jckAdded);
  EXPECT_EQ(changes[0].Path, "/tx-streams");
  EXPECT_EQ(changes[0].Value, Streams(2));
}

TEST(JsonCompare, ATextComponentWhereTheStarStandsNamesTheElement) {
  const TJsonCompareDef table[] = {{"/TXTB/*", tagA}, {nullptr, 0}};
  const json before = {{"TXTB", {{"Ch A", {{"n", 1}}}, {"a/b", 1}}}};
  const json after = {{"TXTB", {{"Ch A", {{"n", 2}}}, {"a/b", 2}}}};
  const TJsonChanges changes = Changes(table, before, after);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].Type, nitNamed);
  EXPECT_EQ(changes[0].Name, "Ch A");
  EXPECT_EQ(changes[0].Path, "/TXTB/Ch A");
  EXPECT_EQ(changes[0].Value, json({{"n", 2}}));
  EXPECT_EQ(changes[1].Name, "a/b");
  EXPECT_EQ(changes[1].Path, "/TXTB/a~1b");
}

TEST(JsonCompare, OnlyAPlainDecimalComponentCountsAsAnIndex) {
  const TJsonCompareDef table[] = {{"/TXTB/*", tagA}, {nullptr, 0}};
  const TJsonChanges changes = Changes(table, {{"TXTB", {{"-1", 0}, {"3x", 0}, {"4294967296", 0}}}},
                                       {{"TXTB", {{"-1", 1}, {"3x", 1}, {"4294967296", 1}}}});
  ASSERT_EQ(changes.size(), 3u);
  for (const TJsonChange& change : changes)
    EXPECT_EQ(change.Type, nitNamed) << change.Name;
  EXPECT_EQ(changes[0].Name, "-1");
  EXPECT_EQ(changes[1].Name, "3x");
}

// ---- Which changes are reported ----

TEST(JsonCompare, EachChangedElementIsReportedOncePerEntryWithItsFirstOperation) {
  const TJsonCompareDef table[] = {{"/tx-streams/*", tagA}, {"/tx-streams/*", tagB}, {nullptr, 0}};
  const json before = {{"tx-streams", Streams(4)}};
  json after = before;
  after["tx-streams"][1]["name"] = "One";
  after["tx-streams"][1]["id"] = "uuid-new";
  after["tx-streams"][3]["name"] = "Three";
  const TJsonChanges changes = Changes(table, before, after);
  ASSERT_EQ(changes.size(), 4u);
  for (size_t entry = 0; entry < 2; ++entry) {
    EXPECT_EQ(changes[2 * entry].Tag, entry == 0 ? tagA : tagB);
    EXPECT_EQ(changes[2 * entry].Index, 1u);
    EXPECT_EQ(changes[2 * entry].Value, after["tx-streams"][1]);
    EXPECT_EQ(changes[2 * entry + 1].Index, 3u);
  }
}

TEST(JsonCompare, AppendedElementsArriveAsAddedEachWithItsOwnPositionAndWholeElement) {
  const TJsonCompareDef table[] = {{"/rx-streams/*", tagA}, {nullptr, 0}};
  const TJsonChanges changes = Changes(table, {{"rx-streams", Streams(1)}}, {{"rx-streams", Streams(3)}});
  ASSERT_EQ(changes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(changes[i].Kind, jckAdded);
    EXPECT_EQ(changes[i].Index, i + 1);
    EXPECT_EQ(changes[i].Path, "/rx-streams/" + std::to_string(i + 1));
    EXPECT_EQ(changes[i].Value, Streams(3)[i + 1]);
  }
}

TEST(JsonCompare, ARemovedTrailingElementArrivesAsRemovedWithoutValue) {
  const TJsonCompareDef table[] = {{"/rx-streams/*", tagA}, {nullptr, 0}};
  const TJsonChanges changes = Changes(table, {{"rx-streams", Streams(2)}}, {{"rx-streams", Streams(1)}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Kind, jckRemoved);
  EXPECT_EQ(changes[0].Index, 1u);
  EXPECT_TRUE(changes[0].Value.is_null());
}

TEST(JsonCompare, AMemberAddedOrRemovedInsideAnElementReportsTheElementChanged) {
  const json before = {{"tx-streams", Streams(2)}};
  json after = before;
  after["tx-streams"][0]["codec"] = "L24";
  after["tx-streams"][1].erase("name");
  const TJsonChanges changes = Changes(TxTable, before, after);
  ASSERT_EQ(changes.size(), 2u);
  for (const TJsonChange& change : changes)
    EXPECT_EQ(change.Kind, jckChanged);
  EXPECT_EQ(changes[0].Value, after["tx-streams"][0]);
  EXPECT_EQ(changes[1].Value, after["tx-streams"][1]);
}

TEST(JsonCompare, AnElementReplacedByAnotherKindOfValueReportsTheNewValue) {
  const TJsonChanges changes = Changes(TxTable, {{"tx-streams", Streams(1)}}, {{"tx-streams", {"off"}}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Kind, jckChanged);
  EXPECT_EQ(changes[0].Value, "off");
}

} // namespace
