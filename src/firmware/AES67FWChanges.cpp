#include "AES67FWChanges.h"

#include "AES67FWBridgeOps.h"
#include "helpers.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace Qel_proto_aes67fw {

using Qel_nmos_bridge::TJsonChange;
using Qel_nmos_bridge::TJsonChanges;
using Qel_nmos_bridge::TJsonCompare;
using Qel_nmos_bridge::TJsonCompareDef;

namespace {

// The members of the firmware's documents the node follows.
enum TFWMember {
  fwmNodeId,
  fwmDeviceId,
  fwmSync,
  fwmTxStreams,
  fwmTxStream,
  fwmRxStreams,
  fwmRxStream,
  fwmMac,
  fwmAddress,
  fwmHostName,
  fwmSyncState,
  fwmTxChannelNames,
  fwmRxChannelNames
};

const TJsonCompareDef JSONConfigDef[] = {
    {"/node_id", fwmNodeId},       {"/device_id", fwmDeviceId},    {"/sync", fwmSync},
    {"/sync/*", fwmSync},          {"/tx-streams", fwmTxStreams},  {"/tx-streams/*", fwmTxStream},
    {"/rx-streams", fwmRxStreams}, {"/rx-streams/*", fwmRxStream}, {nullptr, 0},
};

const TJsonCompareDef JSONStateDef[] = {
    {"/mac", fwmMac},
    {"/ip", fwmAddress},
    {"/name", fwmHostName},
    {"/syncState", fwmSyncState},
    {"/syncState/*", fwmSyncState},
    {"/tx-streams/*", fwmTxStream},
    {"/rx-streams/*", fwmRxStream},
    {"/TXTB", fwmTxChannelNames},
    {"/TXTB/*", fwmTxChannelNames},
    {"/RXTB", fwmRxChannelNames},
    {"/RXTB/*", fwmRxChannelNames},
    {nullptr, 0},
};

const json& ArrayMember(const json& doc, const char* name) {
  static const json Empty = json::array();
  auto it = doc.is_object() ? doc.find(name) : doc.end();
  return it != doc.end() && it->is_array() ? *it : Empty;
}

const char* KindText(Qel_nmos_bridge::TJsonChangeKind kind) {
  switch (kind) {
  case Qel_nmos_bridge::jckAdded:
    return "add";
  case Qel_nmos_bridge::jckRemoved:
    return "remove";
  default:
    return "replace";
  }
}

// The bridge calls of one new document.
class TFWHubUpdate {
public:
  TFWHubUpdate(IAES67FWBridgeOps& bridge, const json& doc, const json& lastConfig, const json& lastState)
      : Bridge(bridge), Incoming(doc), LastConfig(lastConfig), LastState(lastState) {}

  void Apply(const TJsonChange& change);
  // Builds every sender (receiver) again from the configuration if the document asked for it.
  void UpdateDueStreams();

private:
  void Stream(const TJsonChange& change, bool tx);
  void InterfaceChange(const json& mac);
  void SyncChange();
  void SyncStateChange();
  void ChannelNames(const char* member, const char* path);
  const json* NewChannelNames(const char* member) const;

  IAES67FWBridgeOps& Bridge;
  const json& Incoming;
  const json& LastConfig;
  const json& LastState;
  // Several members of one document ask for every sender (receiver) to be built again (the first
  // state asks five times); it is done once, which leaves the same resources.
  bool SendersDue = false, ReceiversDue = false;
  // The streams of the document's lists that repeat an earlier one, found at the first change of each.
  std::vector<bool> RepeatedTx, RepeatedRx;
};

void TFWHubUpdate::Apply(const TJsonChange& change) {
  switch (change.Tag) {
  case fwmNodeId:
    Bridge.CreateNode(change.Value);
    break;
  case fwmDeviceId:
    Bridge.CreateDevice(0, change.Value);
    // The senders, receivers and sources built already name the device by its old id.
    if (change.Kind == Qel_nmos_bridge::jckChanged) SendersDue = ReceiversDue = true;
    break;
  case fwmSync: // the sampling rate is in the flows and in what the receivers can take
    SyncChange();
    break;
  case fwmTxStreams:
    UpdateDueStreams();
    Bridge.UpdateSenders(change.Value);
    break;
  case fwmRxStreams:
    UpdateDueStreams();
    Bridge.UpdateReceivers(change.Value, LastState);
    break;
  case fwmTxStream:
  case fwmRxStream:
    Stream(change, change.Tag == fwmTxStream);
    break;
  case fwmMac:
    InterfaceChange(change.Value);
    break;
  case fwmAddress: // the device's address appears in the senders' and receivers' parameters
    Bridge.SetIPAddress(change.Value);
    SendersDue = ReceiversDue = true;
    break;
  case fwmHostName:
    Bridge.SetHostName(change.Value);
    SendersDue = true;
    break;
  case fwmSyncState:
    SyncStateChange();
    break;
  case fwmTxChannelNames:
    ChannelNames("TXTB", "/intern/tx-channels");
    break;
  case fwmRxChannelNames:
    ChannelNames("RXTB", "/intern/rx-channels");
    break;
  }
}

void TFWHubUpdate::UpdateDueStreams() {
  if (SendersDue) {
    SendersDue = false;
    Bridge.UpdateSenders(ArrayMember(LastConfig, "tx-streams"));
  }
  if (ReceiversDue) {
    ReceiversDue = false;
    Bridge.UpdateReceivers(ArrayMember(LastConfig, "rx-streams"), LastState);
  }
}

void TFWHubUpdate::Stream(const TJsonChange& change, bool tx) {
  if (change.Type != Qel_nmos_bridge::nitIndexed) return; // the stream list is no array
  std::vector<bool>& repeated = tx ? RepeatedTx : RepeatedRx;
  if (repeated.empty()) repeated = RepeatedStreams(ArrayMember(Incoming, tx ? "tx-streams" : "rx-streams"));
  if (change.Index < repeated.size() && repeated[change.Index]) {
    lws_log(QLLL_ERR, "%s stream %u repeats an earlier stream's id: passed over", tx ? "TX" : "RX",
            static_cast<unsigned>(change.Index));
    return;
  }
  UpdateDueStreams();
  if (tx) {
    TUUIDSet seen;
    Bridge.UpdateSender(change.Index, change.Value, seen);
  } else {
    Bridge.UpdateReceiver(change.Index, change.Value);
  }
}

void TFWHubUpdate::InterfaceChange(const json& mac) {
  if (!mac.is_string()) return;
  std::string portId = mac.get<std::string>();
  std::replace(portId.begin(), portId.end(), ':', '-');
  std::transform(portId.begin(), portId.end(), portId.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  Bridge.SetInterfaceInfo(0, json{{"name", "Primary"}, {"port_id", portId}, {"chassis_id", "(unknown)"}});
  // Senders and receivers bind to the interface by name.
  SendersDue = ReceiversDue = true;
}

// The whole new "sync" member, whatever within it changed; a document without one leaves the last
// rate known.
void TFWHubUpdate::SyncChange() {
  const auto sync = Incoming.is_object() ? Incoming.find("sync") : Incoming.end();
  if (sync == Incoming.end() || !sync->is_object()) return;
  const json known = Bridge.Data().Get("/intern/sync");
  if (known == *sync) return;
  Bridge.Data().Set("/intern/sync", *sync);
  // The first rate is read by the streams as they are built; a new one builds them again.
  if (known.is_object()) SendersDue = ReceiversDue = true;
}

// Any change within "syncState" (its first element is the PTP role) reads the whole new member.
void TFWHubUpdate::SyncStateChange() {
  Bridge.SetClockInfo(0, json{{"name", "clk0"}, {"ref_type", "internal"}});
  const json& syncState = ArrayMember(Incoming, "syncState");
  if (syncState.size() <= 1) return;
  if (syncState[0].is_string() && syncState[0].get<std::string>() == "Slave")
    Bridge.SetClockInfo(1, json{{"name", "clk1"},
                                {"ref_type", "ptp"},
                                {"locked", true},
                                {"traceable", false},
                                {"version", "IEEE1588-2008"},
                                {"gmid", "00-00-00-00-00-00-00-00"}});
  else
    Bridge.Data().Del("/self/clocks/1");
  // Sources name the clock their streams are timed by.
  SendersDue = true;
}

// The channel-name tables are kept whole: any change under "TXTB" ("RXTB") stores the new
// document's name table, which the senders read by channel number. The firmware sends its table
// as the first element of the member; a member that is itself the list of names is taken as is.
const json* TFWHubUpdate::NewChannelNames(const char* member) const {
  auto it = Incoming.find(member);
  if (it == Incoming.end() || !it->is_array()) return nullptr;
  if (!it->empty() && (*it)[0].is_array()) return &(*it)[0];
  return &*it;
}

void TFWHubUpdate::ChannelNames(const char* member, const char* path) {
  const json* names = NewChannelNames(member);
  if (!names) return;
  Bridge.Data().Set(path, *names);
  if (std::string(member) == "TXTB") SendersDue = true;
}

} // namespace

TJsonChanges ConfigChanges(const json& last, const json& doc) {
  static const TJsonCompare comparer(JSONConfigDef);
  return comparer.Compare(last, doc);
}

TJsonChanges StateChanges(const json& last, const json& doc) {
  static const TJsonCompare comparer(JSONStateDef);
  return comparer.Compare(last, doc);
}

void ApplyFirmwareChanges(IAES67FWBridgeOps& bridge, const TJsonChanges& changes, const json& doc,
                          const json& lastConfig, const json& lastState) {
  TFWHubUpdate update(bridge, doc, lastConfig, lastState);
  for (const TJsonChange& change : changes) {
    try {
      update.Apply(change);
    } catch (const std::exception& e) {
      const json operation = {{"op", KindText(change.Kind)}, {"path", change.Path}};
      lws_log(QLLL_ERR, "JSON Handle Diff error %s at %s, OP = %s  while processing %s", e.what(),
              change.Path.c_str(), operation.dump(2).c_str(),
              doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    }
  }
  update.UpdateDueStreams();
}

} // namespace Qel_proto_aes67fw
