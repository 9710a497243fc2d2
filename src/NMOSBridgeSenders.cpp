// Sources, flows and senders: every transmit stream of the firmware becomes a source, a flow and a
// sender, with the sender's Connection API constraints, active parameters and transport file.
#include "BridgeDocs.h"
#include "HostAddress.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSRegClient.h"
#include "helpers.h"

#include <uuid/uuid.h>

#include <cstdio>
#include <set>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

const int DefaultPort = DefaultRTPPort;
const char* const FakeFlows = "/fake/flows";
// IPv4 multicast: 224.0.0.0 to 239.255.255.255.
const char* const MulticastPattern = "^(22[4-9]|23[0-9])\\.";

bool IsUUID(const json& id) {
  uuid_t parsed;
  return id.is_string() && uuid_parse(id.get<std::string>().c_str(), parsed) == 0;
}

// The clock the device's streams are timed by: the PTP clock when the node has one (the streams'
// SDP names PTP then), else the first clock.
json MediaClockName(const json& clocks) {
  if (!clocks.is_array() || clocks.empty()) return nullptr;
  for (const json& clock : clocks)
    if (Text(clock, "ref_type") == "ptp") return Text(clock, "name");
  return Text(clocks[0], "name");
}

// Firmware values are checked before they reach a document; a bad one is logged once per stream and
// member, and the member keeps its default.
bool Checked(bool valid, const std::string& uuid, const char* member, const std::string& value) {
  static std::set<std::string> reported;
  if (valid) {
    reported.erase(uuid + member);
    return true;
  }
  if (reported.insert(uuid + member).second)
    lws_log(QLLL_WARN, "TX Stream %s: firmware value of \"%s\" is unusable: %s", uuid.c_str(), member,
            value.c_str());
  return false;
}

// Packets per second of a stream; none when the firmware gives no usable packet size.
bool GrainRate(int64_t fs, int64_t samplesPerPacket, json& rate) {
  if (samplesPerPacket <= 0 || fs <= 0) return false;
  rate = {{"numerator", fs / samplesPerPacket}};
  return true;
}

int BitDepthFromCodec(const std::string& codec) {
  if (codec == "L24") return 24;
  if (codec == "L20") return 20;
  if (codec == "L16") return 16;
  if (codec == "L8") return 8;
  return 0;
}

} // namespace

bool TQELNMOSBridge::UpdateSenders(const json& streams) {
  if (!streams.is_array()) return false;
  TUUIDSet seen;
  bool changed = false;
  for (size_t i = 0; i < streams.size(); ++i) {
    lws_log(QLLL_DEBUG, "UpdateSenders Num %u/%llu", static_cast<unsigned>(i),
            static_cast<unsigned long long>(streams.size()));
    changed |= UpdateSender(static_cast<uint32_t>(i), streams[i], seen);
  }
  // Stored senders that the firmware no longer lists end: their registration, URLs and documents go.
  std::vector<std::string> gone;
  {
    TNodeDBReadLocker lock(Data());
    const json& senders = Data().Get("/senders");
    if (senders.is_object())
      for (auto it = senders.begin(); it != senders.end(); ++it)
        if (!seen.count(it.key())) gone.push_back(it.key());
  }
  for (const std::string& uuid : gone)
    RemoveSender(uuid);
  // The first senders' transport files tell the PTP grandmaster.
  if (LearnedGrandmaster().empty()) LearnGrandmaster();
  return changed;
}

void TQELNMOSBridge::RemoveSender(const std::string& uuid) {
  int index = Data().GetIndexFromUUID("senders", uuid);
  if (index >= 0) {
    RemoveFlow(index, "", false);
    Data().SetIndexFromUUID("senders", uuid, -1);
  }
  Data().SetNameFromUUID("senders", uuid, "");
  EndResource(uuid, {Path("/senders/%s", uuid), Path("/intern/senders/%s", uuid)});
  DeviceListsChanged();
}

bool TQELNMOSBridge::UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) {
  if (stream.is_null()) {
    // The firmware's list lost this slot: the sender it carried ends.
    std::string bound;
    if (Data().GetUUIDFromIndex("senders", static_cast<int>(index), bound)) RemoveSender(bound);
    return false;
  }
  if (!stream.is_object()) return false;
  const std::string name = Text(stream, "name");
  const json& idValue = stream.contains("id") ? stream["id"] : IQELNMOSNodeData::GetEmptyJSON();
  if (!IsUUID(idValue)) {
    lws_log(QLLL_ERR, "UpdateSender: TX Stream(%s) has no UUID set!", name.c_str());
    return false;
  }
  const std::string uuid = idValue.get<std::string>();
  if (IdTakenElsewhere(uuid, Path("/senders/%s", uuid))) {
    // A faulty firmware document: the slot's stream cannot be published, and what it carried ends.
    lws_log(QLLL_ERR, "UpdateSender: TX Stream(%s) UUID %s belongs to another resource!", name.c_str(),
            uuid.c_str());
    std::string bound;
    if (Data().GetUUIDFromIndex("senders", static_cast<int>(index), bound)) RemoveSender(bound);
    return false;
  }
  const std::string rawAddress = Text(stream, "address");
  const THostAddress address(rawAddress);
  const std::string addressText =
      Checked(rawAddress.empty() || !address.IsNull(), uuid, "address", rawAddress) ? rawAddress : "";
  const int64_t rawPort = Number(stream, "port", DefaultPort);
  const bool portValid = Checked(rawPort >= 1 && rawPort <= 65535, uuid, "port", std::to_string(rawPort));
  const bool enabled = Flag(stream, "enabled");

  // The flow of a slot keeps its identifier while the same stream stays enabled in it; it is removed
  // when the slot now carries another stream or the stream is disabled.
  std::string bound;
  if (Data().GetUUIDFromIndex("senders", static_cast<int>(index), bound)) {
    if (bound != uuid || !enabled) UpdateFlow(index, stream, true);
    if (bound != uuid) {
      Data().SetNameFromUUID("senders", bound, "");
      Data().SetIndexFromUUID("senders", bound, -1);
      lws_log(QLLL_WARN, "UpdateSender: %s UUIDChange detected!", name.c_str());
      EndResource(bound, {Path("/senders/%s", bound), Path("/intern/senders/%s", bound)});
    }
  }
  Data().SetIndexFromUUID("senders", uuid, static_cast<int>(index));
  seen.insert(uuid);

  std::string devicePath, deviceId, senderPath = Path("/senders/%s", uuid);
  bool changed = false, added = false;
  json patch;
  {
    TNodeDBWriteLocker lock(Data());
    deviceId = Text(GetDevice(devicePath), "id");
    const std::string nodeLabel = Text(Data().Get("/self"), "label");
    const json stored = Data().Get(senderPath.c_str());
    added = stored.is_null();
    json sender = stored;
    NMOSUpdate_ResourceCore(Sender, sender, uuid);
    sender["device_id"] = deviceId;
    const std::string manifest = FirmwareURL("/sdp/" + uuid + ".sdp");
    UpdateFlow(index, stream, false);
    sender["manifest_href"] = manifest;
    const json& iface = Data().Get("/self/interfaces/0");
    sender["interface_bindings"] = InterfaceBindings(iface);
    sender["label"] = (name.empty() ? "TX" + std::to_string(index) : name) + "@" + nodeLabel;
    // Receivers are connected to a sender by this name (the firmware follows streams by name).
    Data().SetNameFromUUID("senders", uuid, sender["label"].get<std::string>());
    // The receiver a Connection API activation named; the firmware does not know it.
    const json& storedActive = Data().Get(Path("/intern/senders/%s/active", uuid).c_str());
    const json receiverId = storedActive.is_object() && storedActive.contains("receiver_id")
                                ? storedActive["receiver_id"]
                                : json(nullptr);
    if (enabled) {
      std::string flowId;
      if (GetFlowIDBySourceID(Text(stream, "source_id"), flowId))
        sender["flow_id"] = flowId;
      else
        sender["flow_id"] = nullptr;
      sender["transport"] =
          address.IsMulticast() ? "urn:x-nmos:transport:rtp.mcast" : "urn:x-nmos:transport:rtp.ucast";
      sender["subscription"] = {{"receiver_id", receiverId}, {"active", true}};
    } else {
      sender["flow_id"] = nullptr;
      sender["transport"] = "urn:x-nmos:transport:rtp";
      sender["subscription"] = {{"receiver_id", nullptr}, {"active", false}};
    }
    patch = json::diff(stored, sender);
    changed = !patch.empty();

    // The resource's private documents live below one object per resource.
    const std::string internPath = Path("/intern/senders/%s", uuid);
    if (!Data().Get(internPath.c_str()).is_object()) Data().Set(internPath.c_str(), json::object());
    SetIfChanged(Data(), Path("/intern/senders/%s/transportfile", uuid), manifest);

    const std::string constraintsPath = Path("/intern/senders/%s/constraints", uuid);
    json constraints = Data().Get(constraintsPath.c_str());
    if (!constraints.is_array() || constraints.empty() || !constraints[0].is_object())
      constraints = json::array({json::object()});
    const std::string activePath = Path("/intern/senders/%s/active", uuid);
    json active = Data().Get(activePath.c_str());
    if (!active.is_object()) active = json::object();
    active["master_enable"] = enabled;
    active["receiver_id"] = receiverId;
    // The last activation stays on record; a sender nobody activated yet shows an immediate one.
    if (!active.contains("activation") || !active["activation"].is_object())
      active["activation"] = {{"mode", "activate_immediate"}};
    // The parameters the stream is sent with, as IS-05 RTP sender parameters.
    const std::string deviceAddress = ReportedAddress();
    json tp = {{"source_ip", deviceAddress.empty() ? json("auto") : json(deviceAddress)},
               {"destination_ip", addressText.empty() ? json("auto") : json(addressText)},
               // The firmware names no source port: "auto", which IS-05 resolves to 5004.
               {"source_port", DefaultRTPPort},
               {"destination_port", portValid ? json(rawPort) : json("auto")},
               {"rtp_enabled", enabled}};
    active["transport_params"] = json::array({tp});

    // The firmware owns a sender's addresses, ports and whether it sends: each parameter it reports is
    // the only value a controller may activate; one it does not report keeps an open constraint (a
    // multicast stream's destination within the multicast range).
    json& c = constraints[0];
    c.erase("multicast_ip");
    for (auto it = tp.begin(); it != tp.end(); ++it)
      c[it.key()] = *it == "auto" ? json::object() : json{{"enum", json::array({*it})}};
    if (tp["destination_ip"] == "auto" && address.IsMulticast())
      c["destination_ip"] = {{"pattern", MulticastPattern}};
    json cpatch = SetIfChanged(Data(), constraintsPath, constraints);
    if (!cpatch.empty())
      lws_log(QLLL_INFO, "Sender Constraints %s Updated: %s", name.c_str(), cpatch.dump().c_str());

    json apatch = SetIfChanged(Data(), activePath, active);
    if (!apatch.empty())
      lws_log(QLLL_INFO, "Sender Active %s Updated: %s", name.c_str(), apatch.dump().c_str());

    if (changed) {
      lws_log(QLLL_INFO, "Sender %s Updated: %s", name.c_str(), patch.dump().c_str());
      Data().SetWithTimeStamp(senderPath.c_str(), sender);
    }
  }
  // A sender names its flow: it is registered after the flow, else after its device.
  if (changed) RegClient().PushResource(SenderParent(deviceId, senderPath), uuid, senderPath);
  if (added) DeviceListsChanged();
  return true;
}

std::string TQELNMOSBridge::SenderParent(const std::string& deviceId, const std::string& senderPath) {
  std::string flowId;
  {
    TNodeDBReadLocker lock(Data());
    flowId = Text(Data().Get(senderPath.c_str()), "flow_id");
  }
  return !flowId.empty() && RegClient().AsBC().FindMachine(flowId) ? flowId : deviceId;
}

bool TQELNMOSBridge::SetSenderSubscription(const std::string& SenderUUID, const json& ReceiverId) {
  const std::string senderPath = Path("/senders/%s", SenderUUID);
  std::string deviceId;
  {
    TNodeDBWriteLocker lock(Data());
    json sender = Data().Get(senderPath.c_str());
    if (!sender.is_object()) return false;
    const bool active =
        IQELNMOSNodeData::JsonExtract(sender["subscription"], "active", json(false)).get<bool>();
    // Every activation is a new version of the sender, at the registry too.
    sender["subscription"] = {{"receiver_id", active ? ReceiverId : json(nullptr)}, {"active", active}};
    Data().SetWithTimeStamp(senderPath.c_str(), sender);
    deviceId = Text(sender, "device_id");
    lws_log(QLLL_INFO, "Sender %s sends to receiver %s", SenderUUID.c_str(), ReceiverId.dump().c_str());
  }
  RegClient().PushResource(SenderParent(deviceId, senderPath), SenderUUID, senderPath);
  return true;
}

bool TQELNMOSBridge::GetFlowIDBySourceID(const std::string& SourceUUIDStr, std::string& FlowUUIDStr) {
  TNodeDBReadLocker lock(Data());
  const json& flows = Data().Get("/flows");
  if (!flows.is_object()) return false;
  for (const auto& flow : flows) {
    if (Text(flow, "source_id") == SourceUUIDStr) {
      FlowUUIDStr = Text(flow, "id");
      return true;
    }
  }
  return false;
}

bool TQELNMOSBridge::UpdateFlow(uint32_t Index, const json& Stream, bool ForceRemove) {
  std::string devicePath;
  json device;
  int64_t fs = 0;
  {
    TNodeDBWriteLocker lock(Data());
    fs = Number(Data().Get("/intern/sync"), "fs", 0);
    device = GetDevice(devicePath);
  }
  if (!device.is_object() || !device.contains("id")) return false;
  const std::string deviceId = Text(device, "id");
  const int64_t n = Number(Stream, "index", Index);
  if (n < 0) return false;
  const bool enabled = Flag(Stream, "enabled");
  if (!ForceRemove) {
    if (!enabled) return false;
    const std::string sourceId = Text(Stream, "source_id");
    if (!IsUUID(IQELNMOSNodeData::JsonExtract(Stream, "source_id", json(""))) ||
        IdTakenElsewhere(sourceId, Path("/sources/%s", sourceId))) {
      // Without a source of its own the stream has no flow either: its sender shows none.
      lws_log(QLLL_ERR, "UpdateFlow: TX Stream(%s) has no usable source_id!", Text(Stream, "name").c_str());
      RemoveFlow(static_cast<int>(n), "", true);
      return false;
    }
    const std::string flowId = Data().FakeID(FakeFlows, static_cast<int>(n));
    BuildSourceAndFlow(Index, Stream, fs, deviceId, flowId);
    return true;
  }
  // An enabled stream builds its source again right after: keep the source then if it is the stream's,
  // or its deletion would take the rebuilt source out of the store.
  return RemoveFlow(static_cast<int>(n), enabled ? Text(Stream, "source_id") : "", true);
}

void TQELNMOSBridge::BuildSourceAndFlow(uint32_t index, const json& stream, int64_t fs,
                                        const std::string& deviceId, const std::string& flowId) {
  const std::string name = Text(stream, "name");
  const std::string sourceId = Text(stream, "source_id");
  const std::string codec = Text(stream, "codec");
  const int64_t spp = Number(stream, "samples-per-packet", 0);
  const std::string sourcePath = Path("/sources/%s", sourceId), flowPath = Path("/flows/%s", flowId);
  bool sourceChanged = false, flowChanged = false;
  std::string previousSource;
  {
    TNodeDBWriteLocker lock(Data());
    const json storedSource = Data().Get(sourcePath.c_str());
    json source = storedSource;
    if (source.is_null()) NMOSUpdate_ResourceCore(Source, source, sourceId);
    json rate;
    if (GrainRate(fs, spp, rate))
      source["grain_rate"] = rate;
    else
      source.erase("grain_rate");
    source["device_id"] = deviceId;
    source["clock_name"] = MediaClockName(Data().Get("/self/clocks"));
    source["parents"] = json::array();
    source["caps"] = json::object();
    source["format"] = "urn:x-nmos:format:audio";
    source["label"] = name.empty() ? "Source_" + std::to_string(index) : name;
    json channels = json::array();
    const int64_t count = Number(stream, "channels", 0);
    const json src = IQELNMOSNodeData::JsonExtract(stream, "src", json::array());
    for (int64_t c = 0; c < count && c < 4096; ++c) {
      std::string label;
      if (static_cast<size_t>(c) < src.size() && src[c].is_number_integer() && src[c].get<int64_t>() >= 0) {
        char path[64];
        snprintf(path, sizeof path, "/intern/tx-channels/%lld",
                 static_cast<long long>(src[c].get<int64_t>()));
        const json& text = Data().Get(path);
        if (text.is_string()) label = text.get<std::string>();
      }
      channels.push_back({{"label", label}});
    }
    source["channels"] = channels;
    lws_log(QLLL_INFO, "STREAM: %s", stream.dump().c_str());
    json spatch = json::diff(storedSource, source);
    if (!spatch.empty()) {
      Data().SetWithTimeStamp(sourcePath.c_str(), source);
      lws_log(QLLL_INFO, "Source[%u] Updated: %s", index, spatch.dump().c_str());
      sourceChanged = true;
    }

    lws_log(QLLL_DEBUG, "\n***** FLOW %d *****\n", static_cast<int>(index));
    const json storedFlow = Data().Get(flowPath.c_str());
    previousSource = Text(storedFlow, "source_id");
    json flow = storedFlow;
    if (flow.is_null()) NMOSUpdate_ResourceCore(Flow, flow, flowId);
    flow["label"] = name;
    if (GrainRate(fs, spp, rate))
      flow["grain_rate"] = rate;
    else
      flow.erase("grain_rate");
    flow["device_id"] = deviceId;
    flow["source_id"] = sourceId;
    flow["parents"] = json::array();
    flow["media_type"] = "audio/" + codec;
    flow["bit_depth"] = BitDepthFromCodec(codec);
    flow["format"] = source["format"];
    flow["sample_rate"] = {{"numerator", fs}};
    json fpatch = json::diff(storedFlow, flow);
    if (!fpatch.empty()) {
      Data().SetWithTimeStamp(flowPath.c_str(), flow);
      lws_log(QLLL_INFO, "Flow[%u] Updated: %s", index, fpatch.dump().c_str());
      flowChanged = true;
    } else {
      lws_log(QLLL_DEBUG, "No change in flow data");
    }
  }
  if (sourceChanged) RegClient().PushResource(deviceId, sourceId, sourcePath);
  if (flowChanged) RegClient().PushResource(sourceId, flowId, flowPath);
  // The flow now comes from another source: the old one ends unless another flow still uses it.
  std::string otherFlow;
  if (!previousSource.empty() && previousSource != sourceId &&
      !GetFlowIDBySourceID(previousSource, otherFlow))
    EndResource(previousSource, {Path("/sources/%s", previousSource)});
}

bool TQELNMOSBridge::RemoveFlow(int n, const std::string& keptSource, bool detachSenders) {
  const std::string flowId = Data().FakeID(FakeFlows, n);
  std::vector<json> detached;
  std::string sourceId;
  {
    TNodeDBWriteLocker lock(Data());
    const json& flows = Data().Get("/flows");
    if (!flows.is_object() || !flows.contains(flowId)) {
      // A disabled stream has none: nothing to end, and no sender can name it.
      lws_log(QLLL_DEBUG, "Could not find FlowObject with UUID %s", flowId.c_str());
      Data().DelFakeID(FakeFlows, n);
      return false;
    }
    sourceId = Text(flows[flowId], "source_id");
    // Only the senders that name the flow are copied, never the whole collection.
    std::vector<std::string> naming;
    const json& senders = detachSenders ? Data().Get("/senders") : IQELNMOSNodeData::GetEmptyJSON();
    if (senders.is_object())
      for (const auto& sender : senders)
        if (sender.is_object() && sender.contains("flow_id") && sender["flow_id"] == flowId)
          naming.push_back(Text(sender, "id"));
    for (const std::string& id : naming) {
      json copy = Data().Get(Path("/senders/%s", id).c_str());
      copy["flow_id"] = nullptr;
      Data().SetWithTimeStamp(Path("/senders/%s", id).c_str(), copy);
      detached.push_back(copy);
    }
  }
  for (const json& sender : detached)
    RegClient().PushResource(Text(sender, "device_id"), Text(sender, "id"),
                             Path("/senders/%s", Text(sender, "id")));
  if (!Data().DelFakeID(FakeFlows, n)) lws_log(QLLL_WARN, "Could not remove fakeid %s", flowId.c_str());
  EndResource(flowId, {Path("/flows/%s", flowId)});
  if (!sourceId.empty() && sourceId != keptSource) EndResource(sourceId, {Path("/sources/%s", sourceId)});
  return true;
}

} // namespace Qel_nmos_bridge
