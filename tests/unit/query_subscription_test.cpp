// Where a Query API subscription's websocket is (the address the registry answered in "ws_href"), and
// how its grains are read as they arrive.
#include "NMOSQuerySubscription.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

using namespace Qel_nmos_bridge;

TEST(SubscriptionTarget, TheWebsocketIsWhereTheRegistrySaysWithTheEndpointsPortAsDefault) {
  struct Case {
    const char* Href;
    bool Ok;
    const char* Host;
    uint16_t Port;
    const char* Path;
    bool Secure = false; // the Query API is reached over https: its websockets are wss
  };
  const Case cases[] = {
      {"ws://10.0.0.5:4000/x-nmos/query/v1.2/subscriptions/abc/ws", true, "10.0.0.5", 4000,
       "/x-nmos/query/v1.2/subscriptions/abc/ws"},
      {"ws://registry.local/x-nmos/query/v1.2/ws/?uid=1f2e&x=y", true, "registry.local", 8080,
       "/x-nmos/query/v1.2/ws/?uid=1f2e&x=y"},
      {"ws://10.0.0.5:4000", true, "10.0.0.5", 4000, "/"},
      {"wss://10.0.0.5:4000/ws", false, "", 0, ""}, // secure websockets only from a Query API over https
      {"wss://10.0.0.5:4000/ws?a=b", true, "10.0.0.5", 4000, "/ws?a=b", true},
      {"WSS://q.local/ws", true, "q.local", 8080, "/ws", true},
      {"ws://10.0.0.5:4000/ws", false, "", 0, "", true}, // no plain websocket from a secure one
      {"https://10.0.0.5:4000/ws", false, "", 0, "", true},
      {"http://10.0.0.5:4000/ws", false, "", 0, ""},
      {"ws:///no-host", false, "", 0, ""},
      {"ws://10.0.0.5:99999/ws", false, "", 0, ""},
      {"ws://10.0.0.5:0/ws", false, "", 0, ""},
      {"not a url at all", false, "", 0, ""},
      {"", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    std::string host, path;
    uint16_t port = 0;
    const bool ok = SubscriptionTarget(c.Href, c.Secure, 8080, host, port, path);
    EXPECT_EQ(ok, c.Ok) << c.Href;
    if (!ok || !c.Ok) continue;
    EXPECT_EQ(host, c.Host) << c.Href;
    EXPECT_EQ(port, c.Port) << c.Href;
    EXPECT_EQ(path, c.Path) << c.Href;
  }
}

namespace {

struct TRead {
  std::vector<std::pair<std::string, TGrainItem>> Items;
  TGrainReader::TResult Result = TGrainReader::grNotJSON;
  bool HasGrain = false;
};

// Reads `text` in pieces of `piece` bytes (0: at once) through one reader, as often as asked.
TRead Read(TGrainReader& reader, TRead& into, const std::string& text, size_t piece = 0) {
  into.Items.clear();
  for (size_t at = 0; at < text.size(); at += piece ? piece : text.size())
    reader.Feed(text.data() + at, std::min(piece ? piece : text.size(), text.size() - at));
  into.Result = reader.Finish();
  into.HasGrain = reader.HasGrain();
  return into;
}

} // namespace

TEST(GrainReader, ItemsAreTheSameWhateverPiecesTheGrainArrivesIn) {
  const std::string grain =
      R"({"grain_type":"event","rate":{"numerator":0,"denominator":1},"grain":{"type":"urn:x-nmos:format:data.event",)"
      R"("topic":"/senders/","data":[{"path":"6a000000-0000-4000-8000-00000000000a","pre":{"id":"x"},)"
      R"("post":{"id":"x","label":"Caf\u00e9 \"A\" \ud83c\udfb5","tags":{"t":[1,2.5e3,-0,true,null]}}},)"
      R"({"path":"6a000000-0000-4000-8000-00000000000b","pre":{"label":"gone"}},)"
      R"({"path":"6a000000-0000-4000-8000-00000000000c","pre":{},"post":null},)"
      R"("not an item",{"path":5,"post":{"label":7}},{"post":[]}]},"source_id":"s"})";
  TRead read;
  TGrainReader reader(1 << 20, [&](const std::string& topic, const TGrainItem& item) {
    read.Items.emplace_back(topic, item);
  });
  for (size_t piece : {0, 1, 2, 7, 1024}) {
    Read(reader, read, grain, piece);
    ASSERT_EQ(read.Result, TGrainReader::grWhole) << piece << ": " << reader.Error();
    EXPECT_TRUE(read.HasGrain);
    ASSERT_EQ(read.Items.size(), 6u) << piece;
    for (const auto& [topic, item] : read.Items)
      EXPECT_EQ(topic, "/senders/");
    const TGrainItem& a = read.Items[0].second;
    EXPECT_TRUE(a.IsObject);
    EXPECT_EQ(a.PathKind, TGrainItem::Text);
    EXPECT_EQ(a.Path, "6a000000-0000-4000-8000-00000000000a");
    EXPECT_EQ(a.Pre, TGrainItem::Present);
    EXPECT_EQ(a.Post, TGrainItem::Present);
    EXPECT_EQ(a.LabelKind, TGrainItem::Text);
    EXPECT_EQ(a.Label, "Caf\xc3\xa9 \"A\" \xf0\x9f\x8e\xb5");
    const TGrainItem& b = read.Items[1].second;
    EXPECT_EQ(b.Pre, TGrainItem::Present);
    EXPECT_EQ(b.Post, TGrainItem::Absent);
    EXPECT_EQ(b.LabelKind, TGrainItem::Missing); // the label of "pre" is not read
    const TGrainItem& c = read.Items[2].second;
    EXPECT_EQ(c.Pre, TGrainItem::Empty);
    EXPECT_EQ(c.Post, TGrainItem::Absent);
    EXPECT_FALSE(read.Items[3].second.IsObject);
    EXPECT_EQ(read.Items[4].second.PathKind, TGrainItem::Other);
    EXPECT_EQ(read.Items[4].second.LabelKind, TGrainItem::Other);
    EXPECT_EQ(read.Items[5].second.PathKind, TGrainItem::Missing);
    EXPECT_EQ(read.Items[5].second.Post, TGrainItem::Empty);
  }
  // The topic may come after the data: the items wait for it.
  Read(reader, read, R"({"grain":{"data":[{"path":"p","post":{"label":"L"}}],"topic":"/receivers/"}})", 3);
  ASSERT_EQ(read.Result, TGrainReader::grWhole);
  ASSERT_EQ(read.Items.size(), 1u);
  EXPECT_EQ(read.Items[0].first, "/receivers/");
  EXPECT_EQ(read.Items[0].second.Label, "L");
}

TEST(GrainReader, BrokenAndOversizedMessagesAreToldAndTheNextOneIsReadAfresh) {
  size_t items = 0;
  TGrainReader reader(64, [&](const std::string&, const TGrainItem&) { ++items; });
  TRead read;
  for (const char* text :
       {"", "{not json", "{\"grain\": {", "[1,]", "{\"a\":1}}", "{\"a\" 1}", "\"\\x\"", "01", "-", "1.",
        "tru", "nul", "\"\x01\"", "\"\\ud800\"", "{\"a\":[1 2]}", "{,}", "[}"}) {
    Read(reader, read, text, 1);
    EXPECT_EQ(read.Result, TGrainReader::grNotJSON) << text;
    EXPECT_FALSE(reader.Error().empty()) << text;
  }
  for (const char* text : {"[]", "5", "-1.5e-3", "\"x\"", " {\"grain\": 5} ", "null"}) {
    Read(reader, read, text, 2);
    EXPECT_EQ(read.Result, TGrainReader::grWhole) << text << ": " << reader.Error();
    EXPECT_FALSE(read.HasGrain) << text;
  }
  // Beyond the bound the rest is not read, whatever it is.
  Read(reader, read, "[" + std::string(100, ' ') + "]", 10);
  EXPECT_EQ(read.Result, TGrainReader::grTooBig);
  EXPECT_GT(reader.Bytes(), 64u);
  Read(reader, read, R"({"grain":{"topic":"/senders/","data":[{}]}})", 5);
  EXPECT_EQ(read.Result, TGrainReader::grWhole);
  EXPECT_TRUE(read.HasGrain);
  EXPECT_EQ(items, 1u);
}
