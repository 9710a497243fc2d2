// The firmware client's protocol: documents in, bridge calls and store writes out, messages 10 and 14.
// The bridge is a recorder; the store a small JSON document with the store's write semantics.
#include "AES67FWClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace Qel_proto_aes67fw;
using Qel_nmos_bridge::IQELNMOSNodeData;

namespace {

class TFakeStore : public IQELNMOSNodeData {
public:
  void Destroy() override {}
  const json& Root() const override { return Doc; }
  void FillNMOSTimestamp(json& Field) override { Field = "0:0"; }
  uint32_t BeginUpdate() override { return 0; }
  uint32_t EndUpdate() override { return 0; }
  uint32_t BeginRead() override { return 0; }
  uint32_t EndRead() override { return 0; }
  const json& Get(const char* Path) override {
    try {
      return Doc.at(json::json_pointer(Path));
    } catch (const std::exception&) {
      return Null;
    }
  }
  const json& Set(const char* Path, const json& Value) override {
    Writes.emplace_back(Path, Value);
    try {
      Doc = Doc.patch(json::array({{{"op", "add"}, {"path", Path}, {"value", Value}}}));
      return Doc.at(json::json_pointer(Path));
    } catch (const std::exception&) {
      return Null;
    }
  }
  const json& SetWithTimeStamp(const char* Path, const json& Value) override { return Set(Path, Value); }
  bool Del(const char* Path) override {
    Deletes.emplace_back(Path);
    try {
      Doc = Doc.patch(json::array({{{"op", "remove"}, {"path", Path}}}));
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  void Dump() override {}
  std::string FakeID(const char*, int) override { return {}; }
  bool DelFakeID(const char*, int) override { return false; }
  const std::string& GetNameFromUUID(const std::string&, const std::string&) override { return Empty; }
  const std::string& GetUUIDFromName(const std::string&, const std::string&) override { return Empty; }
  bool SetNameFromUUID(const std::string&, const std::string&, const std::string&) override { return false; }
  bool SetIndexFromUUID(const std::string&, const std::string&, int) override { return false; }
  int GetIndexFromUUID(const std::string&, const std::string&) override { return -1; }
  bool GetUUIDFromIndex(const std::string&, int, std::string&) override { return false; }
  void UpdateStats(const std::string&, json&) override {}
  uint64_t Generation() const override { return 0; }

  json Doc = {{"self", {{"clocks", json::array()}}}, {"intern", {{"tx-channels", json::array()}}}};
  std::vector<std::pair<std::string, json>> Writes;
  std::vector<std::string> Deletes;

private:
  const json Null;
  const std::string Empty;
};

class TFakeConfig : public IQELNMOSConfig {
public:
  uint16_t GetAES67FWPort() const override { return 9; }
  std::string GetAES67FWAddr() const override { return "127.0.0.1"; }
  uint16_t GetBridgePort() const override { return 0; }
  const char* GetBridgeInterface() const override { return nullptr; }
  std::string GetBridgeAddress() const override { return "127.0.0.1"; }
  const std::vector<TRegistryAddress>& GetRegistries() const override { return Registries; }
  const std::vector<TTLSCertificate>& GetTLSCertificates() const override { return Certificates; }
  const std::string& GetTLSCAFile() const override { return Empty; }
  unsigned GetProtectedAPIs() const override { return ProtectNone; }
  const std::string& GetAuthServer() const override { return Empty; }
  const std::string& GetAuthCredentialsFile() const override { return Empty; }
  uint32_t GetHSTSMaxAge() const override { return 0; }
  TDNSSDMode GetDNSSDMode() const override { return TDNSSDMode::Multicast; }
  const std::string& GetDNSSDDomain() const override { return Empty; }
  const std::string& GetDNSServer() const override { return Empty; }
  const std::string& GetResolvConf() const override { return Empty; }
  std::vector<TRegistryAddress> Registries;
  std::vector<TTLSCertificate> Certificates;
  const std::string Empty;
};

// One recorded bridge call: its name, the index where there is one (else -1) and the document.
struct TCall {
  std::string Name;
  long Index;
  json Doc;
  bool operator==(const TCall& o) const { return Name == o.Name && Index == o.Index && Doc == o.Doc; }
};

// Calls in name and index order, for checks where the order of the calls does not matter.
std::vector<TCall> Sorted(std::vector<TCall> calls) {
  std::sort(calls.begin(), calls.end(), [](const TCall& a, const TCall& b) {
    return std::tie(a.Name, a.Index) < std::tie(b.Name, b.Index);
  });
  return calls;
}

void PrintTo(const TCall& c, std::ostream* os) {
  *os << c.Name << "(" << c.Index << ", " << c.Doc.dump() << ")";
}

class TFakeBridge : public IAES67FWBridgeOps {
public:
  TFakeBridge() : Host(Qel_hosted::IServiceHost::Self()) {}
  ~TFakeBridge() override { Host->Destroy(); }

  void CreateNode(const json& j) override { Record("CreateNode", -1, j); }
  void CreateDevice(uint32_t i, const json& j) override { Record("CreateDevice", i, j); }
  bool UpdateSenders(const json& j) override { return Record("UpdateSenders", -1, j); }
  bool UpdateSender(uint32_t i, const json& j, TUUIDSet& seen) override {
    EXPECT_TRUE(seen.empty());
    return Record("UpdateSender", i, j);
  }
  bool UpdateReceivers(const json& j, const json&) override { return Record("UpdateReceivers", -1, j); }
  bool UpdateReceiver(uint32_t i, const json& j) override { return Record("UpdateReceiver", i, j); }
  bool SetIPAddress(const json& j) override { return Record("SetIPAddress", -1, j); }
  bool SetHostName(const json& j) override { return Record("SetHostName", -1, j); }
  bool SetClockInfo(uint32_t i, const json& j) override { return Record("SetClockInfo", i, j); }
  bool SetInterfaceInfo(uint32_t i, const json& j) override { return Record("SetInterfaceInfo", i, j); }
  IQELNMOSNodeData& Data() override { return Store; }
  Qel_hosted::IServiceHost& ServiceHost() override { return *Host; }
  const IQELNMOSConfig* BoxConfig() const override { return &Config; }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const TCall& c : Calls)
      names.push_back(c.Name);
    return names;
  }

  Qel_hosted::IServiceHost* Host;
  TFakeStore Store;
  TFakeConfig Config;
  std::vector<TCall> Calls;
  bool Keep = true;   // false: count only (long fuzz runs)
  std::string Throws; // the call of this name fails by exception
  size_t Count = 0;

private:
  bool Record(const char* name, long index, const json& doc) {
    if (Throws == name) throw std::runtime_error("bridge broke");
    ++Count;
    if (Keep) Calls.push_back({name, index, doc});
    return true;
  }
};

// The firmware client with its send queue replaced by a record of the texts (and keys) queued.
class TRecordingClient : public TAES67FWClient {
public:
  explicit TRecordingClient(IAES67FWBridgeOps* bridge) : TAES67FWClient(bridge) {}
  bool BufferMessage(const Qel_websock_api::TTxBufferItem& item) override {
    if (Full) return false;
    Sent.emplace_back(reinterpret_cast<const char*>(item.Message()), static_cast<size_t>(item.Len()));
    Keys.push_back(item.Key());
    return true;
  }
  int Feed(const json& doc) { return HandleJSON(doc.dump().c_str()); }
  std::vector<std::string> Sent, Keys;
  bool Full = false; // the queue refuses everything
};

class AES67FWClientTest : public ::testing::Test {
protected:
  // The two documents of a device with two receive and two transmit streams.
  static json Config() {
    return {{"cmd", 0},
            {"node_id", "node-1"},
            {"device_id", "device-1"},
            {"sync", {{"fs", 48000}}},
            {"tx-streams", json::array({{{"name", "tx0"}, {"index", 0}}, {{"name", "tx1"}, {"index", 1}}})},
            {"rx-streams", json::array({{{"name", "rx0"}, {"source", ""}, {"enabled", false}},
                                        {{"name", "rx1"}, {"source", ""}, {"enabled", false}}})}};
  }
  static json State() {
    return {{"cmd", 1},
            {"mac", "00:1D:C1:AB:CD:EF"},
            {"ip", "192.168.1.20"},
            {"name", "device"},
            {"syncState", json::array({"Slave", "locked"})},
            {"TXTB", json::array({"Left", "Right"})}};
  }
  std::string CaptureLog(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
  }

  TFakeBridge Bridge;
  TRecordingClient Client{&Bridge};
};

} // namespace

TEST_F(AES67FWClientTest, StartsWithResetDocuments) {
  EXPECT_EQ(Client.GetLastState(), json({{"mac", "00:00:00:00:00:00"}, {"ip", "0.0.0.0"}}));
  EXPECT_EQ(Client.GetLastConfig(), json::object());
}

TEST_F(AES67FWClientTest, FirstStateReportsTheMacInLowerCaseWithDashes) {
  Client.Feed(State());
  const TCall expected{"SetInterfaceInfo",
                       0,
                       {{"name", "Primary"}, {"port_id", "00-1d-c1-ab-cd-ef"}, {"chassis_id", "(unknown)"}}};
  EXPECT_NE(std::find(Bridge.Calls.begin(), Bridge.Calls.end(), expected), Bridge.Calls.end());
}

TEST_F(AES67FWClientTest, MacThatIsNoTextIsIgnored) {
  json state = State();
  state["mac"] = 42;
  Client.Feed(state);
  for (const TCall& c : Bridge.Calls)
    EXPECT_NE(c.Name, "SetInterfaceInfo");
}

TEST_F(AES67FWClientTest, AddressChangesAlsoUpdateTheSendersAndReceiversOfTheLastConfig) {
  Client.Feed(Config());
  Client.Feed(State());
  Bridge.Calls.clear();
  json state = State();
  state["ip"] = "192.168.1.21";
  Client.Feed(state);
  ASSERT_EQ(Bridge.Calls.size(), 3u);
  EXPECT_EQ(Bridge.Calls[0], (TCall{"SetIPAddress", -1, "192.168.1.21"}));
  EXPECT_EQ(Bridge.Calls[1], (TCall{"UpdateSenders", -1, Config()["tx-streams"]}));
  EXPECT_EQ(Bridge.Calls[2], (TCall{"UpdateReceivers", -1, Config()["rx-streams"]}));
}

// --- clocks ---

TEST_F(AES67FWClientTest, SlaveSyncStateSetsBothClocks) {
  Client.Feed(State());
  std::vector<TCall> clocks;
  for (const TCall& c : Bridge.Calls)
    if (c.Name == "SetClockInfo") clocks.push_back(c);
  ASSERT_EQ(clocks.size(), 2u);
  EXPECT_EQ(clocks[0], (TCall{"SetClockInfo", 0, {{"name", "clk0"}, {"ref_type", "internal"}}}));
  EXPECT_EQ(clocks[1].Index, 1);
  EXPECT_EQ(clocks[1].Doc["ref_type"], "ptp");
  EXPECT_EQ(clocks[1].Doc["gmid"], "00-00-00-00-00-00-00-00");
  EXPECT_TRUE(Bridge.Store.Deletes.empty());
}

TEST_F(AES67FWClientTest, OtherSyncStateSetsClockZeroAndRemovesClockOne) {
  Client.Feed(State());
  Bridge.Calls.clear();
  // A change of the role alone: the comparison reports the element "/syncState/0".
  json state = State();
  state["syncState"][0] = "Master";
  Client.Feed(state);
  std::vector<long> clocks;
  for (const TCall& c : Bridge.Calls)
    if (c.Name == "SetClockInfo") clocks.push_back(c.Index);
  EXPECT_EQ(clocks, std::vector<long>{0});
  EXPECT_EQ(Bridge.Store.Deletes, std::vector<std::string>{"/self/clocks/1"});
}

TEST_F(AES67FWClientTest, OneElementSyncStateSetsClockZeroOnly) {
  json state = State();
  state["syncState"] = json::array({"Slave"});
  Client.Feed(state);
  std::vector<long> clocks;
  for (const TCall& c : Bridge.Calls)
    if (c.Name == "SetClockInfo") clocks.push_back(c.Index);
  EXPECT_EQ(clocks, std::vector<long>{0});
  EXPECT_TRUE(Bridge.Store.Deletes.empty());
}

// --- commands ---

TEST_F(AES67FWClientTest, UnknownCommandsAreLoggedWithTheirNumber) {
  std::string log = CaptureLog([&] {
    Client.Feed({{"cmd", 2}});
    Client.Feed({{"cmd", 7}});
  });
  EXPECT_NE(log.find("AES67FWClient Received unknown command: 2"), std::string::npos);
  EXPECT_NE(log.find("AES67FWClient Received unknown command: 7"), std::string::npos);
  EXPECT_TRUE(Bridge.Calls.empty());
}

TEST_F(AES67FWClientTest, CommandFourAndTextCommandsAreIgnoredSilently) {
  std::string log = CaptureLog([&] {
    Client.Feed({{"cmd", 4}});
    Client.Feed({{"cmd", "1"}, {"mac", "AA:BB:CC:DD:EE:FF"}});
    Client.Feed({{"cmd", 3}});
  });
  EXPECT_EQ(log, "");
  EXPECT_TRUE(Bridge.Calls.empty());
  EXPECT_EQ(Client.GetLastState()["mac"], "00:00:00:00:00:00");
}

TEST_F(AES67FWClientTest, DecodeErrorOfTheFirmwareIsLogged) {
  std::string log = CaptureLog([&] { Client.Feed({{"cmd", -1}}); });
  EXPECT_NE(log.find("AES67FWClient JSON Error: could not decode command!"), std::string::npos);
}

TEST_F(AES67FWClientTest, DocumentsWithoutCommandOrBrokenTextAreLoggedAndChangeNothing) {
  Client.Feed(Config());
  const json before = Client.GetLastConfig();
  Bridge.Calls.clear();
  std::string log = CaptureLog([&] {
    Client.Feed({{"node_id", "other"}});
    Client.HandleJSON("{\"cmd\": 0, \"node_id\": ");
    Client.HandleJSON("[1, 2]");
    Client.HandleJSON("");
  });
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](char c) { return c == '\n'; }) >= 4, true);
  EXPECT_NE(log.find("TAES67FWClient error '"), std::string::npos);
  EXPECT_TRUE(Bridge.Calls.empty());
  EXPECT_EQ(Client.GetLastConfig(), before);
}

TEST_F(AES67FWClientTest, DeeplyNestedDocumentIsRejectedBeforeParsing) {
  std::string deep = "{\"cmd\": 0, \"sync\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  std::string log = CaptureLog([&] { Client.HandleJSON(deep.c_str()); });
  EXPECT_NE(log.find("nested too deeply"), std::string::npos);
  EXPECT_TRUE(Bridge.Calls.empty());
}

TEST_F(AES67FWClientTest, NestingDepthSkipsBracketsInsideStrings) {
  const std::string text = R"({"a": "[[[{{{\"", "b": [[1]]})";
  EXPECT_EQ(TAES67FWClient::NestingDepth(text.data(), text.size(), 64), 3);
}

// --- configuration ---

TEST_F(AES67FWClientTest, FirstConfigurationBuildsNodeDeviceSendersAndReceivers) {
  Client.Feed(Config());
  EXPECT_EQ(Bridge.Names(),
            (std::vector<std::string>{"CreateNode", "CreateDevice", "UpdateSenders", "UpdateReceivers"}));
  EXPECT_EQ(Bridge.Calls[0].Doc, "node-1");
  EXPECT_EQ(Bridge.Calls[1], (TCall{"CreateDevice", 0, "device-1"}));
  EXPECT_EQ(Bridge.Store.Get("/intern/sync"), json({{"fs", 48000}}));
  EXPECT_EQ(Client.GetLastConfig(), Config());
}

// The sampling rate is in the flows and in what the receivers take: a new one builds the streams again.
TEST_F(AES67FWClientTest, ConfigurationThatChangesOnlySyncBuildsTheStreamsAgain) {
  Client.Feed(Config());
  Bridge.Calls.clear();
  json config = Config();
  config["sync"]["fs"] = 96000;
  Client.Feed(config);
  EXPECT_EQ(Bridge.Names(), (std::vector<std::string>{"UpdateSenders", "UpdateReceivers"}));
  EXPECT_EQ(Bridge.Store.Get("/intern/sync"), json({{"fs", 96000}}));
  Bridge.Calls.clear();
  Client.Feed(config);
  EXPECT_TRUE(Bridge.Calls.empty());
}

TEST_F(AES67FWClientTest, ChangedStreamIsUpdatedAlone) {
  Client.Feed(Config());
  Bridge.Calls.clear();
  json config = Config();
  config["tx-streams"][1]["name"] = "renamed";
  Client.Feed(config);
  ASSERT_EQ(Bridge.Calls.size(), 1u);
  EXPECT_EQ(Bridge.Calls[0], (TCall{"UpdateSender", 1, config["tx-streams"][1]}));
}

// Every stream that differs reaches the bridge once, whatever the kind of difference: changed
// members deep inside, members or whole elements of another kind, streams added and removed, in the
// configuration and in the state document alike. Streams that stay the same are not touched.
TEST_F(AES67FWClientTest, EveryDifferingStreamOfOneDocumentReachesTheBridgeOnce) {
  json config = Config();
  for (json& stream : config["tx-streams"])
    stream["format"] = {{"channels", {{"count", 2}, {"map", {0, 1}}}}};
  config["rx-streams"].push_back({{"name", "rx2"}, {"source", ""}, {"enabled", false}});
  config["rx-streams"].push_back({{"name", "rx3"}, {"source", ""}, {"enabled", false}});
  Client.Feed(config);
  Bridge.Calls.clear();
  json next = config;
  next["tx-streams"][0]["format"]["channels"]["map"][1] = 7; // deep inside
  next["tx-streams"][1]["index"] = "one";                    // a member of another kind
  next["tx-streams"].push_back({{"name", "tx2"}});           // two streams added
  next["tx-streams"].push_back({{"name", "tx3"}});
  next["rx-streams"][1] = "off"; // an element of another kind
  next["rx-streams"].erase(2);   // two removed
  next["rx-streams"].erase(2);
  Client.Feed(next);
  EXPECT_EQ(Sorted(Bridge.Calls), Sorted({{"UpdateSender", 0, next["tx-streams"][0]},
                                          {"UpdateSender", 1, next["tx-streams"][1]},
                                          {"UpdateSender", 2, next["tx-streams"][2]},
                                          {"UpdateSender", 3, next["tx-streams"][3]},
                                          {"UpdateReceiver", 1, "off"},
                                          {"UpdateReceiver", 2, nullptr},
                                          {"UpdateReceiver", 3, nullptr}}));

  json state = State();
  state["tx-streams"] = json::array({{{"state", "off"}}, {{"state", "off"}}, {{"state", "off"}}});
  state["rx-streams"] = json::array({{{"state", "off"}}, {{"state", "off"}}});
  Client.Feed(state);
  Bridge.Calls.clear();
  json changed = state;
  changed["tx-streams"][0]["state"] = "on";
  changed["tx-streams"][2]["state"] = json::array({"on"});
  changed["rx-streams"] = json::array({{{"state", "off"}}});
  Client.Feed(changed);
  EXPECT_EQ(Sorted(Bridge.Calls), Sorted({{"UpdateSender", 0, changed["tx-streams"][0]},
                                          {"UpdateSender", 2, changed["tx-streams"][2]},
                                          {"UpdateReceiver", 1, nullptr}}));
}

// A change whose bridge call fails is logged; the other changes of the document still go, and the
// document is taken as the last one.
TEST_F(AES67FWClientTest, AFailingBridgeCallIsLoggedAndTheOtherChangesStillGo) {
  Client.Feed(Config());
  Bridge.Calls.clear();
  json config = Config();
  config["device_id"] = "device-2";
  config["tx-streams"][0]["name"] = "a";
  config["tx-streams"][1]["name"] = "b";
  Bridge.Throws = "CreateDevice";
  const std::string log = CaptureLog([&] { Client.Feed(config); });
  EXPECT_NE(log.find("JSON Handle Diff error bridge broke at /device_id, OP = {"), std::string::npos) << log;
  EXPECT_NE(log.find("}  while processing {"), std::string::npos);
  EXPECT_EQ(Bridge.Calls, (std::vector<TCall>{{"UpdateSender", 0, config["tx-streams"][0]},
                                              {"UpdateSender", 1, config["tx-streams"][1]}}));
  EXPECT_EQ(Client.GetLastConfig(), config);
}

TEST_F(AES67FWClientTest, ChannelNamesAreStoredWholeAndUpdateTheSenders) {
  Client.Feed(Config());
  Client.Feed(State());
  EXPECT_EQ(Bridge.Store.Get("/intern/tx-channels"), json::array({"Left", "Right"}));
  Bridge.Calls.clear();
  json state = State();
  state["TXTB"][1] = "R";
  Client.Feed(state);
  EXPECT_EQ(Bridge.Store.Get("/intern/tx-channels"), json::array({"Left", "R"}));
  EXPECT_EQ(Bridge.Names(), std::vector<std::string>{"UpdateSenders"});
}

// --- connection ---

TEST_F(AES67FWClientTest, ConnectionUsesTheConfiguredEndpoint) {
  Qel_websock_api::TWebSocketClient probe(*Bridge.Host, "probe", 0, false);
  EXPECT_TRUE(Client.HandleBeginConnect(&probe));
}

// The node keeps its last state while the firmware is away; the firmware's next documents are
// compared with nothing, so that they rebuild every resource.
TEST_F(AES67FWClientTest, ConnectingAndDisconnectingKeepTheNodeAndForgetTheDocuments) {
  Client.Feed(Config());
  Client.Feed(State());
  Bridge.Calls.clear();
  Client.HandleDisconnected(&Client);
  EXPECT_EQ(Client.GetLastConfig(), json::object());
  EXPECT_EQ(Client.GetLastState()["mac"], "00:00:00:00:00:00");
  Client.HandleConnected(&Client);
  EXPECT_TRUE(Bridge.Calls.empty());
  Client.Feed(Config());
  EXPECT_EQ(Bridge.Names().front(), "CreateNode");
}

// --- messages to the firmware ---

TEST_F(AES67FWClientTest, SubscribeOutOfRangeSendsNothing) {
  Client.Feed(Config());
  EXPECT_FALSE(Client.Subscribe(2, "tx0"));
  EXPECT_FALSE(Client.Subscribe(-1, "tx0"));
  EXPECT_TRUE(Client.Sent.empty());
}

TEST_F(AES67FWClientTest, SubscribeSendsTheReceiveStreamWithSourceAndEnabled) {
  Client.Feed(Config());
  ASSERT_TRUE(Client.Subscribe(1, "Studio \"A\""));
  ASSERT_EQ(Client.Sent.size(), 1u);
  json message = json::parse(Client.Sent[0]);
  json data = Config()["rx-streams"][1];
  data["source"] = "Studio \"A\"";
  data["enabled"] = true;
  EXPECT_EQ(message, json({{"cmd", 10}, {"id", 1}, {"data", data}}));
  EXPECT_EQ(Client.Sent[0], message.dump(2));
  // Connections of one stream supersede each other in the queue; those of two streams do not.
  ASSERT_TRUE(Client.Subscribe(0, "tx1"));
  ASSERT_TRUE(Client.Subscribe(1, "tx0", false));
  EXPECT_EQ(Client.Keys[0], Client.Keys[2]);
  EXPECT_NE(Client.Keys[0], Client.Keys[1]);
  EXPECT_FALSE(Client.Keys[1].empty());
  // A command the queue refuses is reported as not sent.
  Client.Full = true;
  EXPECT_FALSE(Client.Subscribe(1, "tx1"));
  EXPECT_EQ(Client.Sent.size(), 3u);
}

TEST_F(AES67FWClientTest, LogTextMessageIsValidJsonWhateverTheText) {
  const std::string text = "say \"hi\"\n\\ {\"cmd\": 0} \x01 end";
  Client.SendMessage(7, 0, text.c_str());
  Client.DoCycle();
  ASSERT_EQ(Client.Sent.size(), 1u);
  EXPECT_EQ(json::parse(Client.Sent[0]), json({{"cmd", 14}, {"data", text}, {"id", 7}}));
  EXPECT_EQ(Client.Keys[0], "") << "every log text is sent";
}

TEST_F(AES67FWClientTest, LogTextWithInvalidBytesOrTooLongIsCutAndStillValid) {
  Client.SendMessage(1, 0, "bad \xff\xfe bytes");
  Client.SendMessage(2, 0, std::string(5000, 'x').c_str());
  SendMessage(3, 0, "through the process-wide hook");
  Client.DoCycle();
  ASSERT_EQ(Client.Sent.size(), 3u);
  json bad = json::parse(Client.Sent[0]);
  EXPECT_EQ(bad["data"], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
  EXPECT_EQ(json::parse(Client.Sent[1])["data"].get<std::string>().size(), TAES67FWClient::MaxLogText);
  EXPECT_EQ(json::parse(Client.Sent[2])["id"], 3);
}

// --- malformed documents ---

namespace {

// Produces damaged variants of good documents.
class TMutator {
public:
  explicit TMutator(uint32_t seed) : Rng(seed) {}

  std::string Next(const json& good) {
    json doc = good;
    const int edits = Pick(1, 4);
    for (int i = 0; i < edits; ++i)
      Mutate(doc, 0);
    std::string text = doc.dump();
    switch (Pick(0, 9)) {
    case 0:
      return text.substr(0, static_cast<size_t>(Pick(0, static_cast<int>(text.size()))));
    case 1:
      text.insert(static_cast<size_t>(Pick(0, static_cast<int>(text.size()))), "\xff\xc3");
      return text;
    case 2:
      return "{\"cmd\": 0, \"sync\": " + std::string(static_cast<size_t>(Pick(60, 3000)), '[') + "}";
    default:
      return text;
    }
  }

private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Rng); }

  json RandomValue(int depth) {
    switch (Pick(0, 9)) {
    case 0:
      return nullptr;
    case 1:
      return Pick(0, 1) == 1;
    case 2:
      return Pick(-5, 5);
    case 3:
      return 1e308 * Pick(-1, 1);
    case 4:
      return "Slave";
    case 5:
      return "AA:BB:CC:DD:EE:FF";
    case 6:
      return json::array({"Slave", Pick(0, 3)});
    case 7: {
      json big = json::array();
      const int n = Pick(0, 20) == 0 ? 20000 : Pick(0, 10);
      for (int i = 0; i < n; ++i)
        big.push_back({{"name", "s" + std::to_string(i)}, {"index", i}});
      return big;
    }
    case 8: {
      json nested = 1;
      for (int i = Pick(1, 40); i > 0; --i)
        nested = json::array({nested});
      return nested;
    }
    default:
      return depth < 3 ? json{{"name", RandomValue(depth + 1)}, {"x", RandomValue(depth + 1)}} : json("x");
    }
  }

  void Mutate(json& doc, int depth) {
    if (!doc.is_object() || doc.empty()) return;
    auto it = doc.begin();
    std::advance(it, Pick(0, static_cast<int>(doc.size()) - 1));
    switch (Pick(0, 4)) {
    case 0:
      doc.erase(it);
      return;
    case 1:
      *it = RandomValue(depth);
      return;
    case 2:
      if (it->is_array() && !it->empty()) {
        json& element = (*it)[static_cast<size_t>(Pick(0, static_cast<int>(it->size()) - 1))];
        if (element.is_object())
          Mutate(element, depth + 1);
        else
          element = RandomValue(depth + 1);
      }
      return;
    case 3:
      doc["cmd"] = RandomValue(depth);
      return;
    default:
      doc[std::string("extra") + std::to_string(Pick(0, 3))] = RandomValue(depth);
    }
  }

  std::mt19937 Rng;
};

} // namespace

TEST_F(AES67FWClientTest, ThousandsOfDamagedDocumentsLeaveTheClientConsistent) {
  Bridge.Keep = false;
  TMutator mutator(20240611);
  const json goods[] = {Config(), State()};
  testing::internal::CaptureStdout(); // the errors are expected; keep the test output readable
  for (int i = 0; i < 3000; ++i) {
    const std::string text = mutator.Next(goods[i % 2]);
    Client.HandleJSON(text.data(), text.size());
    if (i % 10 == 0) Client.Feed(goods[(i / 10) % 2]); // good documents in between, as a firmware would
    for (const json* doc : {&Client.GetLastConfig(), &Client.GetLastState()}) {
      ASSERT_TRUE(doc->is_object()) << text;
      ASSERT_EQ(json::parse(doc->dump()), *doc);
    }
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(Bridge.Count, 0u);
  EXPECT_TRUE(json::parse(Bridge.Store.Doc.dump()).is_object());
  // After all that, the client still works.
  Bridge.Keep = true;
  Client.HandleDisconnected(&Client);
  Bridge.Calls.clear();
  Client.Feed(Config());
  EXPECT_EQ(Bridge.Names(),
            (std::vector<std::string>{"CreateNode", "CreateDevice", "UpdateSenders", "UpdateReceivers"}));
}
