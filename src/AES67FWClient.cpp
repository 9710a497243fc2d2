#include "AES67FWClient.h"

#include "JsonCompare.h"
#include "helpers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <mutex>
#include <vector>

namespace Qel_proto_aes67fw {

using Qel_nmos_bridge::TJsonCompare;
using Qel_nmos_bridge::TJsonCompareDef;
using Qel_nmos_bridge::TJsonNodeInfo;
using Qel_websock_api::IWebSocketClient;
using Qel_websock_api::TTxBufferItem;

const char* const FW67_API_URI = "/";
const char* const FW67_API_PROTOCOL = "WS-protocol";
const uint16_t FW67_API_PORT = 80;
const char* const FW67_API_ADDR = "192.168.200.1";

namespace {

// Firmware commands.
enum TFWCommand { fwcDecodeError = -1, fwcConfig = 0, fwcState = 1, fwcHeartbeat = 3, fwcKnown4 = 4 };
constexpr int CmdSubscribe = 10;
constexpr int CmdLogText = 14;

// Received texts are echoed into error lines only this far.
constexpr int MaxLoggedText = 512;

// The client that receives log texts for the firmware, and the lock that keeps it alive meanwhile.
std::mutex LogTargetLock;
TAES67FWClient* LogTarget = nullptr;

const json& ArrayMember(const json& doc, const char* name) {
  static const json Empty = json::array();
  auto it = doc.is_object() ? doc.find(name) : doc.end();
  return it != doc.end() && it->is_array() ? *it : Empty;
}

} // namespace

struct TAES67FWClientData {
  json Last;
  // The document being compared: the callbacks read sibling members of the new document from here.
  const json* Incoming = nullptr;
  // Stream elements the comparison reported during the current comparison.
  std::set<uint32_t> TxReported, RxReported;
  bool TxListReported = false, RxListReported = false;
  // Every sender (receiver) is to be built again from the configuration's stream list. Several members
  // of one document ask for it (the first state asks five times); it is done once, before the next
  // single stream is updated and at the end of the comparison, which leaves the same resources.
  bool SendersDue = false, ReceiversDue = false;
  std::mutex PendingLock;
  std::vector<std::string> PendingLogs; // message-14 texts waiting for the worker's cycle
};

// The compare-table callbacks. `J2` is the new value of the matched element (null after a removal).
struct TFWCallbacks {
  static TAES67FWClient& Cli(void* c) { return *static_cast<TAES67FWClient*>(c); }
  static IAES67FWBridgeOps& Bridge(void* c) { return *Cli(c).Bridge; }
  static TAES67FWClientData& Data(void* c) { return *Cli(c).FData; }

  static void Dummy(void*, const TJsonNodeInfo&, const json&, const json&) {}

  static void AESNodeInfo(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Bridge(c).CreateNode(J2);
  }
  static void AESDeviceInfo(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Bridge(c).CreateDevice(0, J2);
  }
  static void SyncInfo(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Bridge(c).Data().Set("/intern/sync", J2);
  }

  static void TxStreamInfos(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Cli(c).UpdateDueStreams();
    Data(c).TxListReported = true;
    Bridge(c).UpdateSenders(J2);
  }
  static void RxStreamInfos(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Cli(c).UpdateDueStreams();
    Data(c).RxListReported = true;
    Bridge(c).UpdateReceivers(J2, Cli(c).GetLastState());
  }
  static void TxStreamInfo(void* c, const TJsonNodeInfo& Info, const json&, const json& J2) {
    if (Info.Type != Qel_nmos_bridge::nitIndexed) return; // "tx-streams" is no array
    Cli(c).UpdateDueStreams();
    Data(c).TxReported.insert(Info.Index);
    TUUIDSet seen;
    Bridge(c).UpdateSender(Info.Index, J2, seen);
  }
  static void RxStreamInfo(void* c, const TJsonNodeInfo& Info, const json&, const json& J2) {
    if (Info.Type != Qel_nmos_bridge::nitIndexed) return;
    Cli(c).UpdateDueStreams();
    Data(c).RxReported.insert(Info.Index);
    Bridge(c).UpdateReceiver(Info.Index, J2);
  }

  static void InterfaceChange(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    if (!J2.is_string()) return;
    std::string mac = J2.get<std::string>();
    std::replace(mac.begin(), mac.end(), ':', '-');
    std::transform(mac.begin(), mac.end(), mac.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    Bridge(c).SetInterfaceInfo(0, json{{"name", "Primary"}, {"port_id", mac}, {"chassis_id", "(unknown)"}});
    // Senders and receivers bind to the interface by name.
    UpdateSendersFromConfig(c);
    UpdateReceiversFromConfig(c);
  }
  static void UpdateSendersFromConfig(void* c) {
    Data(c).SendersDue = true;
    if (!Data(c).Incoming) Cli(c).UpdateDueStreams();
  }
  static void UpdateReceiversFromConfig(void* c) {
    Data(c).ReceiversDue = true;
    if (!Data(c).Incoming) Cli(c).UpdateDueStreams();
  }
  static void AddressChange(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Bridge(c).SetIPAddress(J2);
    // The device's address appears in the senders' and receivers' connection parameters.
    UpdateSendersFromConfig(c);
    UpdateReceiversFromConfig(c);
  }
  static void NameChange(void* c, const TJsonNodeInfo&, const json&, const json& J2) {
    Bridge(c).SetHostName(J2);
    UpdateSendersFromConfig(c);
  }
  // Any change within "syncState" (its first element is the PTP role) reads the whole new member.
  static void SyncStateChange(void* c, const TJsonNodeInfo&, const json&, const json&) {
    IAES67FWBridgeOps& bridge = Bridge(c);
    bridge.SetClockInfo(0, json{{"name", "clk0"}, {"ref_type", "internal"}});
    const json* incoming = Data(c).Incoming;
    static const json None;
    const json& syncState = ArrayMember(incoming ? *incoming : None, "syncState");
    if (syncState.size() <= 1) return;
    if (syncState[0].is_string() && syncState[0].get<std::string>() == "Slave")
      bridge.SetClockInfo(1, json{{"name", "clk1"},
                                  {"ref_type", "ptp"},
                                  {"locked", true},
                                  {"traceable", false},
                                  {"version", "IEEE1588-2008"},
                                  {"gmid", "00-00-00-00-00-00-00-00"}});
    else
      bridge.Data().Del("/self/clocks/1");
    // Sources name the clock their streams are timed by.
    UpdateSendersFromConfig(c);
  }

  // The channel-name tables are kept whole: any change under "TXTB" ("RXTB") stores the new
  // document's name table, which the senders read by channel number. The firmware sends its table
  // as the first element of the member; a member that is itself the list of names is taken as is.
  static const json* NewMember(void* c, const char* name) {
    const json* doc = Data(c).Incoming;
    if (!doc) return nullptr;
    auto it = doc->find(name);
    if (it == doc->end() || !it->is_array()) return nullptr;
    if (!it->empty() && (*it)[0].is_array()) return &(*it)[0];
    return &*it;
  }
  static void UpdateTXTBNames(void* c, const TJsonNodeInfo&, const json&, const json&) {
    const json* names = NewMember(c, "TXTB");
    if (!names) return;
    Bridge(c).Data().Set("/intern/tx-channels", *names);
    UpdateSendersFromConfig(c);
  }
  static void UpdateRXTBNames(void* c, const TJsonNodeInfo&, const json&, const json&) {
    const json* names = NewMember(c, "RXTB");
    if (names) Bridge(c).Data().Set("/intern/rx-channels", *names);
  }
};

namespace {

using F = TFWCallbacks;

const TJsonCompareDef JSONConfigDef[] = {
    {"/node_id", {F::AESNodeInfo, F::AESNodeInfo, F::AESNodeInfo, nullptr}},
    {"/device_id", {F::AESDeviceInfo, F::AESDeviceInfo, F::AESDeviceInfo, nullptr}},
    {"/sync", {F::SyncInfo, F::Dummy, F::SyncInfo, nullptr}},
    {"/tx-streams", {F::TxStreamInfos, F::TxStreamInfos, F::TxStreamInfos, nullptr}},
    {"/tx-streams/*", {F::TxStreamInfo, F::TxStreamInfo, F::TxStreamInfo, nullptr}},
    {"/rx-streams", {F::RxStreamInfos, F::RxStreamInfos, F::RxStreamInfos, nullptr}},
    {"/rx-streams/*", {F::RxStreamInfo, F::RxStreamInfo, F::RxStreamInfo, nullptr}},
    {nullptr, {nullptr, nullptr, nullptr, nullptr}},
};

const TJsonCompareDef JSONStateDef[] = {
    {"/mac", {F::InterfaceChange, F::InterfaceChange, F::InterfaceChange, nullptr}},
    {"/ip", {F::AddressChange, F::AddressChange, F::AddressChange, nullptr}},
    {"/name", {F::NameChange, F::NameChange, F::NameChange, nullptr}},
    {"/syncState", {F::SyncStateChange, F::SyncStateChange, F::SyncStateChange, nullptr}},
    {"/syncState/*", {F::SyncStateChange, F::SyncStateChange, F::SyncStateChange, nullptr}},
    {"/tx-streams/*", {F::TxStreamInfo, F::TxStreamInfo, F::TxStreamInfo, nullptr}},
    {"/rx-streams/*", {F::RxStreamInfo, F::RxStreamInfo, F::RxStreamInfo, nullptr}},
    {"/TXTB", {F::UpdateTXTBNames, F::UpdateTXTBNames, F::UpdateTXTBNames, nullptr}},
    {"/TXTB/*", {F::UpdateTXTBNames, F::UpdateTXTBNames, F::UpdateTXTBNames, nullptr}},
    {"/RXTB", {F::UpdateRXTBNames, F::UpdateRXTBNames, F::UpdateRXTBNames, nullptr}},
    {"/RXTB/*", {F::UpdateRXTBNames, F::UpdateRXTBNames, F::UpdateRXTBNames, nullptr}},
    {nullptr, {nullptr, nullptr, nullptr, nullptr}},
};

const TJsonCompare& ConfigComparer() {
  static const TJsonCompare comparer(JSONConfigDef);
  return comparer;
}

const TJsonCompare& StateComparer() {
  static const TJsonCompare comparer(JSONStateDef);
  return comparer;
}

// Element `i` of a stream list, null past its end.
const json& Element(const json& list, size_t i) {
  static const json Null;
  return i < list.size() ? list[i] : Null;
}

// The command number of a document; false for a command that is no number. Numbers that are no
// integer of the int range become INT_MIN, an unknown command.
bool ReadCommand(const json& cmd, int& value) {
  if (cmd.is_number_integer()) {
    bool fits = cmd.is_number_unsigned() ? cmd.get<uint64_t>() <= static_cast<uint64_t>(INT_MAX)
                                         : cmd.get<int64_t>() >= INT_MIN && cmd.get<int64_t>() <= INT_MAX;
    value = fits ? static_cast<int>(cmd.get<int64_t>()) : INT_MIN;
    return true;
  }
  if (cmd.is_number_float()) {
    double d = cmd.get<double>();
    value = std::isfinite(d) && d == std::trunc(d) && d >= INT_MIN && d <= INT_MAX ? static_cast<int>(d)
                                                                                   : INT_MIN;
    return true;
  }
  return false;
}

} // namespace

TAES67FWClient::TAES67FWClient(IAES67FWBridgeOps* bridge)
    : TWebSocketClient(bridge->ServiceHost(), "FWClient", 0, true), Bridge(bridge),
      FData(std::make_unique<TAES67FWClientData>()) {
  {
    std::lock_guard<std::mutex> lock(LogTargetLock);
    LogTarget = this;
  }
  ResetLast();
}

TAES67FWClient::~TAES67FWClient() {
  {
    std::lock_guard<std::mutex> lock(LogTargetLock);
    if (LogTarget == this) LogTarget = nullptr;
  }
  // Close the connection while this object's hooks still exist.
  Shutdown();
}

void TAES67FWClient::Destroy() {
  delete this;
}

void TAES67FWClient::ResetLast() {
  FData->Last = {{"state", {{"mac", "00:00:00:00:00:00"}, {"ip", "0.0.0.0"}}}, {"config", json::object()}};
}

void TAES67FWClient::UpdateDueStreams() {
  TAES67FWClientData& d = *FData;
  if (d.SendersDue) {
    d.SendersDue = false;
    Bridge->UpdateSenders(ArrayMember(GetLastConfig(), "tx-streams"));
  }
  if (d.ReceiversDue) {
    d.ReceiversDue = false;
    Bridge->UpdateReceivers(ArrayMember(GetLastConfig(), "rx-streams"), GetLastState());
  }
}

const json& TAES67FWClient::GetLastState() const {
  return FData->Last["state"];
}

const json& TAES67FWClient::GetLastConfig() const {
  return FData->Last["config"];
}

bool TAES67FWClient::HandleBeginConnect(IWebSocketClient* cli) {
  const IQELNMOSConfig* config = Bridge ? Bridge->BoxConfig() : nullptr;
  if (config)
    cli->SetHost(config->GetAES67FWAddr(), config->GetAES67FWPort(), FW67_API_URI, FW67_API_PROTOCOL);
  return true;
}

// The node keeps its last whole state while the firmware is away: controllers and registries keep
// their view of it (same ids, no withdrawal and re-registration of every resource), and the
// firmware's first documents after it returns are compared with nothing, so that every resource is
// rebuilt from them and whatever they no longer list ends.
void TAES67FWClient::HandleConnected(IWebSocketClient*) {
  lws_log(QLLL_INFO, "Connected to AES Firmware");
  ResetLast();
}

void TAES67FWClient::HandleDisconnected(IWebSocketClient*) {
  ResetLast();
}

int TAES67FWClient::HandleReceivedText(IWebSocketClient*, const void* data, int len) {
  return HandleJSON(static_cast<const char*>(data), len > 0 ? static_cast<size_t>(len) : 0);
}

int TAES67FWClient::HandleJSON(const char* text) {
  return text ? HandleJSON(text, strlen(text)) : 0;
}

int TAES67FWClient::HandleJSON(const char* text, size_t len) {
  const int shown = static_cast<int>(std::min<size_t>(len, MaxLoggedText));
  if (NestingDepth(text, len, MaxJSONDepth) > MaxJSONDepth) {
    lws_log(QLLL_ERR, "TAES67FWClient error '%s' in HandleJSON.\nJSONData: >>%.*s<<", "nested too deeply",
            shown, text);
    return 0;
  }
  try {
    Dispatch(json::parse(text, text + len));
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "TAES67FWClient error '%s' in HandleJSON.\nJSONData: >>%.*s<<", e.what(), shown, text);
  }
  return 0;
}

void TAES67FWClient::Dispatch(const json& doc) {
  int cmd = 0;
  if (!ReadCommand(doc.at("cmd"), cmd)) return;
  switch (cmd) {
  case fwcDecodeError:
    lws_log(QLLL_WARN, "AES67FWClient JSON Error: could not decode command!");
    break;
  case fwcConfig:
    HandleConfig(doc);
    break;
  case fwcState:
    HandleStatus(doc);
    break;
  case fwcHeartbeat:
    HandleHeartbeat(doc);
    break;
  case fwcKnown4:
    break;
  default:
    lws_log(QLLL_WARN, "AES67FWClient Received unknown command: %d", cmd);
  }
}

int TAES67FWClient::HandleConfig(const json& doc) {
  Compare("config", doc, true);
  return 0;
}

int TAES67FWClient::HandleStatus(const json& doc) {
  Compare("state", doc, false);
  return 0;
}

// Compares the new document with the stored one; the callbacks see the old copy still stored. The
// comparison reports one element per stream list; every other element that differs between two
// stream lists is reported here as well, so that no stream change is lost.
void TAES67FWClient::Compare(const char* member, const json& doc, bool config) {
  TAES67FWClientData& d = *FData;
  d.Incoming = &doc;
  d.TxReported.clear();
  d.RxReported.clear();
  d.TxListReported = d.RxListReported = false;
  d.SendersDue = d.ReceiversDue = false;
  const json& last = d.Last[member];
  (config ? ConfigComparer() : StateComparer()).Compare(this, last, doc, nullptr);
  UpdateDueStreams();

  auto complete = [&](const char* list, const std::set<uint32_t>& reported, bool listReported, bool tx) {
    const json& before = ArrayMember(last, list);
    const json& after = ArrayMember(doc, list);
    if (listReported || reported.empty()) return; // the whole list went to the bridge, or nothing changed
    const size_t n = std::max(before.size(), after.size());
    for (size_t i = 0; i < n && i <= UINT32_MAX; ++i) {
      const auto index = static_cast<uint32_t>(i);
      if (reported.count(index) || Element(before, i) == Element(after, i)) continue;
      try {
        TUUIDSet seen;
        if (tx)
          Bridge->UpdateSender(index, Element(after, i), seen);
        else
          Bridge->UpdateReceiver(index, Element(after, i));
      } catch (const std::exception& e) {
        lws_log(QLLL_ERR, "TAES67FWClient error '%s' updating %s[%u]", e.what(), list, index);
      }
    }
  };
  complete("tx-streams", d.TxReported, d.TxListReported, true);
  complete("rx-streams", d.RxReported, d.RxListReported, false);
  d.Incoming = nullptr;
  d.Last[member] = doc;
}

int TAES67FWClient::HandleHeartbeat(const json&) {
  return 0;
}

bool TAES67FWClient::Subscribe(int index, const std::string& source) {
  return Subscribe(index, source, true);
}

bool TAES67FWClient::Subscribe(int index, const std::string& source, bool enabled) {
  const json& streams = ArrayMember(GetLastConfig(), "rx-streams");
  if (index < 0 || static_cast<size_t>(index) >= streams.size()) {
    lws_log(QLLL_ERR, "Receiver Index (Out of Range: %u > %u)", static_cast<unsigned>(index),
            static_cast<unsigned>(streams.size()));
    return false;
  }
  json data = streams[static_cast<size_t>(index)];
  if (!data.is_object()) data = json::object();
  data["source"] = source;
  data["enabled"] = enabled;
  json message = {{"cmd", CmdSubscribe}, {"id", index}, {"data", std::move(data)}};
  // Only the last word for a receive stream matters: it replaces one that still waits to be sent.
  const TTxBufferItem item(message.dump(2, ' ', false, json::error_handler_t::replace),
                           "rx-stream/" + std::to_string(index));
  if (!BufferMessage(item)) {
    lws_log(QLLL_ERR, "Receiver Index %d: the firmware's send queue refused the connection to '%s'", index,
            source.c_str());
    return false;
  }
  return true;
}

void TAES67FWClient::SendMessage(uint32_t id, uint32_t, const char* text) {
  std::string cut(text ? text : "");
  if (cut.size() > MaxLogText) cut.resize(MaxLogText);
  json message = {{"cmd", CmdLogText}, {"data", std::move(cut)}, {"id", id}};
  std::lock_guard<std::mutex> lock(FData->PendingLock);
  // A cut in the middle of a multi-byte character, or any invalid byte, becomes U+FFFD.
  FData->PendingLogs.push_back(message.dump(-1, ' ', false, json::error_handler_t::replace));
}

void TAES67FWClient::FlushLogMessages() {
  std::vector<std::string> pending;
  {
    std::lock_guard<std::mutex> lock(FData->PendingLock);
    pending.swap(FData->PendingLogs);
  }
  // Log texts the full queue refuses are only counted there.
  for (const std::string& text : pending)
    BufferMessage(TTxBufferItem(text));
}

void TAES67FWClient::DoCycle() {
  FlushLogMessages();
  TWebSocketClient::DoCycle();
}

int TAES67FWClient::NestingDepth(const char* text, size_t len, int limit) {
  return Qel_nmos_bridge::JsonNestingDepth(text, len, limit);
}

void SendMessage(uint32_t id, uint32_t unused, const char* text) {
  std::lock_guard<std::mutex> lock(LogTargetLock);
  if (LogTarget) LogTarget->SendMessage(id, unused, text);
}

} // namespace Qel_proto_aes67fw
