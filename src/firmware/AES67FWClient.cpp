#include "AES67FWClient.h"

#include "AES67FWChanges.h"
#include "helpers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <mutex>
#include <vector>

namespace Qel_proto_aes67fw {

using Qel_websock_api::IWebSocketClient;
using Qel_websock_api::TTxBufferItem;

const char* const FW67_API_URI = "/";
const char* const FW67_API_PROTOCOL = "WS-protocol";

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
  std::mutex PendingLock;
  std::vector<std::string> PendingLogs; // message-14 texts waiting for the worker's cycle
};

namespace {

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

// Compares the new document with the stored one and hands each change to the bridge, which sees the
// old copy still stored; afterwards the new document replaces it.
void TAES67FWClient::Compare(const char* member, const json& doc, bool config) {
  json& last = FData->Last[member];
  const Qel_nmos_bridge::TJsonChanges changes = config ? ConfigChanges(last, doc) : StateChanges(last, doc);
  ApplyFirmwareChanges(*Bridge, changes, doc, GetLastConfig(), GetLastState());
  last = doc;
  if (Bridge->TakeRefusedStreams()) {
    Bridge->UpdateSenders(ArrayMember(GetLastConfig(), "tx-streams"));
    Bridge->UpdateReceivers(ArrayMember(GetLastConfig(), "rx-streams"), GetLastState());
    // What is refused still is refused until a document changes it.
    (void)Bridge->TakeRefusedStreams();
  }
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
