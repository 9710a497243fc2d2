// Sources, flows and senders: every transmit stream of the firmware becomes a source, a flow and a
// sender, with the sender's Connection API constraints, active parameters and transport file.
#include "APIRoutes.h"
#include "BridgeDocs.h"
#include "FlowOwners.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "SenderDocs.h"
#include "SenderSDP.h"
#include "SourceFlowDocs.h"
#include "helpers.h"

#include <optional>
#include <set>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

const char* const FakeFlows = "/fake/flows";

bool IsUUID(const json& id) {
  return id.is_string() && ::IsUUID(id.get<std::string>());
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

} // namespace

bool TQELNMOSBridge::UpdateSenders(const json& streams) {
  if (!streams.is_array()) return false;
  TUUIDSet seen;
  bool changed = false;
  const std::vector<bool> repeated = Qel_proto_aes67fw::RepeatedStreams(streams);
  for (size_t i = 0; i < streams.size(); ++i) {
    lws_log(QLLL_DEBUG, "UpdateSenders Num %u/%llu", static_cast<unsigned>(i),
            static_cast<unsigned long long>(streams.size()));
    if (repeated[i])
      lws_log(QLLL_ERR, "TX stream %u repeats an earlier stream's id: passed over", static_cast<unsigned>(i));
    else
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
  ReleaseFlow(uuid, "");
  if (Data().GetIndexFromUUID("senders", uuid) >= 0) Data().SetIndexFromUUID("senders", uuid, -1);
  Data().SetNameFromUUID("senders", uuid, "");
  EndResource(uuid, {Path("/senders/%s", uuid), Path("/intern/senders/%s", uuid)});
  DeviceListsChanged();
}

const TQELNMOSBridge::TSlotKind TQELNMOSBridge::SenderSlots{"senders", "UpdateSender: TX", false,
                                                            &TQELNMOSBridge::RemoveSender};

bool TQELNMOSBridge::UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) {
  // A sender's flow keeps its identifier while its stream stays enabled under the same index. The
  // stream's source is kept when the flow it came in goes: it is built again right after.
  const bool enabled = Flag(stream, "enabled");
  const std::string keptSource = enabled ? Text(stream, "source_id") : "";
  const std::string uuid = BindSlot(SenderSlots, index, stream, [&](const std::string& bound) {
    if (bound != Text(stream, "id")) ReleaseFlow(bound, keptSource);
  });
  if (uuid.empty()) return false;
  seen.insert(uuid);
  const std::optional<int> built = FlowOwners().IndexOf(uuid);
  if (built && (!enabled || *built != FlowIndex(index, stream))) ReleaseFlow(uuid, keptSource);
  CheckSenderValues(uuid, stream);
  const std::string path = Path("/senders/%s", uuid);
  bool added = false;
  {
    TNodeDBReadLocker lock(Data());
    added = Data().Get(path.c_str()).is_null();
  }
  if (UpdateFlow(index, stream))
    FlowOwners().Built(uuid, FlowIndex(index, stream));
  else
    ReleaseFlow(uuid, "");
  const TSenderContext ctx = SenderContext(index, uuid);
  // Receivers are connected to a sender by this name (the firmware follows streams by name).
  Data().SetNameFromUUID("senders", uuid, SenderLabel(stream, index, ctx.NodeLabel));
  const json tp = SenderTransportParams(stream, ctx);
  const std::string internPath = Path("/intern/senders/%s", uuid), name = Text(stream, "name");
  {
    TNodeDBWriteLocker lock(Data());
    if (!Data().Get(internPath.c_str()).is_object()) Data().Set(internPath.c_str(), json::object());
    SetIfChanged(Data(), internPath + "/transportfile", ctx.SDPSource);
    SetInternDocs(internPath, name, "Sender", BuildSenderConstraints(stream, tp),
                  BuildSenderActive(Data().Get((internPath + "/active").c_str()), stream, tp, ctx));
  }
  // Over TLS or behind access tokens the transport file is served here, not through a redirect to the
  // firmware: a copy is kept, fetched again whenever the stream changes.
  if (BoxConfig()->ServesTransportFiles() && !ctx.SDPSource.empty())
    SDPFetcher().Fetch(ctx.SDPSource, [this, internPath, href = ctx.SDPSource](const std::string& sdp) {
      TNodeDBWriteLocker lock(Data());
      // The sender may be gone, or follow another transport file by now.
      const json& current = Data().Get((internPath + "/transportfile").c_str());
      if (current.is_string() && current.get<std::string>() == href)
        SetIfChanged(Data(), internPath + "/sdp", sdp);
    });
  // A sender names its flow: it is registered after the flow, else after its device.
  const json sender = BuildSender(uuid, stream, ctx);
  const json patch = Publish(Sender, path, sender, SenderParent(sender));
  if (!patch.empty()) lws_log(QLLL_INFO, "Sender %s Updated: %s", name.c_str(), patch.dump().c_str());
  if (added) DeviceListsChanged();
  return true;
}

// Firmware values are checked before they reach a document; a bad one is logged once per stream and
// member, and the member keeps its default.
void TQELNMOSBridge::CheckSenderValues(const std::string& uuid, const json& stream) {
  const std::string address = Text(stream, "address");
  Checked(address.empty() || !SenderDestination(stream).empty(), uuid, "address", address);
  Checked(SenderPort(stream) != "auto", uuid, "port", std::to_string(Number(stream, "port", DefaultRTPPort)));
}

TSenderContext TQELNMOSBridge::SenderContext(uint32_t index, const std::string& uuid) {
  TSenderContext ctx;
  ctx.Slot = index;
  ctx.SDPSource = FirmwareURL("/sdp/" + uuid + ".sdp");
  ctx.ManifestHref = ctx.SDPSource;
  const std::string host = NodeAddress();
  if (BoxConfig()->ServesTransportFiles() && !host.empty())
    ctx.ManifestHref = APIScheme() + "://" + host + ":" + std::to_string(BoxConfig()->GetBridgePort()) +
                       "/x-nmos/connection/" + ConnectionAPIVersions.back() + "/single/senders/" + uuid +
                       "/transportfile";
  ctx.DeviceAddress = ReportedAddress();
  // The flow the sender built, not any flow of its source: streams may share a source.
  if (const std::optional<int> n = FlowOwners().IndexOf(uuid)) ctx.FlowId = Data().FakeID(FakeFlows, *n);
  std::string devicePath;
  TNodeDBReadLocker lock(Data());
  ctx.DeviceId = Text(GetDevice(devicePath), "id");
  ctx.NodeLabel = Text(Data().Get("/self"), "label");
  ctx.Interface = Data().Get("/self/interfaces/0");
  // The receiver a Connection API activation named; the firmware does not know it.
  const json& active = Data().Get(Path("/intern/senders/%s/active", uuid).c_str());
  ctx.ReceiverId =
      active.is_object() && active.contains("receiver_id") ? active["receiver_id"] : json(nullptr);
  return ctx;
}

bool TQELNMOSBridge::SetSenderSubscription(const std::string& SenderUUID, const json& ReceiverId) {
  const std::string senderPath = Path("/senders/%s", SenderUUID);
  json sender;
  {
    TNodeDBReadLocker lock(Data());
    sender = Data().Get(senderPath.c_str());
  }
  if (!sender.is_object()) return false;
  const bool active =
      IQELNMOSNodeData::JsonExtract(sender["subscription"], "active", json(false)).get<bool>();
  sender["subscription"] = {{"receiver_id", active ? ReceiverId : json(nullptr)}, {"active", active}};
  lws_log(QLLL_INFO, "Sender %s sends to receiver %s", SenderUUID.c_str(), ReceiverId.dump().c_str());
  // Every activation is a new version of the sender, at the registry too.
  Publish(Sender, senderPath, sender, SenderParent(sender), TPublish::Always);
  return true;
}

bool TQELNMOSBridge::GetFlowIDBySourceID(const std::string& SourceUUIDStr, std::string& FlowUUIDStr) {
  TNodeDBReadLocker lock(Data());
  const json& flows = Data().Get("/flows");
  if (!flows.is_object()) return false;
  // Compared in place: every stream removed asks this of every flow left.
  for (const auto& flow : flows) {
    const auto source = flow.is_object() ? flow.find("source_id") : flow.end();
    if (source != flow.end() && source->is_string() &&
        source->get_ref<const std::string&>() == SourceUUIDStr) {
      FlowUUIDStr = Text(flow, "id");
      return true;
    }
  }
  return false;
}

int TQELNMOSBridge::FlowIndex(uint32_t slot, const json& stream) {
  return static_cast<int>(Number(stream, "index", slot));
}

bool TQELNMOSBridge::UpdateFlow(uint32_t Index, const json& Stream) {
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
  if (Number(Stream, "index", Index) < 0 || !Flag(Stream, "enabled")) return false;
  const std::string sourceId = Text(Stream, "source_id");
  const bool usable = IsUUID(IQELNMOSNodeData::JsonExtract(Stream, "source_id", json("")));
  const bool taken = usable && IdTakenElsewhere(sourceId, Path("/sources/%s", sourceId));
  if (!usable || taken) {
    // Without a source of its own the stream has no flow either: its sender shows none.
    lws_log(QLLL_ERR, "UpdateFlow: TX Stream(%s) has no usable source_id!", Text(Stream, "name").c_str());
    StreamsRefused |= taken;
    return false;
  }
  const std::string flowId = Data().FakeID(FakeFlows, FlowIndex(Index, Stream));
  BuildSourceAndFlow(Index, Stream, fs, deviceId, flowId);
  return true;
}

void TQELNMOSBridge::ReleaseFlow(const std::string& sender, const std::string& keptSource) {
  const std::optional<int> n = FlowOwners().IndexOf(sender);
  if (!n) return;
  // Another sender may still name a flow whose index two streams share; it loses the flow then.
  const bool shared = FlowOwners().IsShared(*n);
  FlowOwners().Release(sender);
  RemoveFlow(*n, keptSource, shared);
}

void TQELNMOSBridge::BuildSourceAndFlow(uint32_t index, const json& stream, int64_t fs,
                                        const std::string& deviceId, const std::string& flowId) {
  const std::string sourceId = Text(stream, "source_id");
  TSourceFlowContext ctx;
  ctx.Slot = index;
  ctx.SampleRate = fs;
  ctx.DeviceId = deviceId;
  std::string previousSource;
  {
    TNodeDBReadLocker lock(Data());
    ctx.Clocks = Data().Get("/self/clocks");
    ctx.ChannelNames = Data().Get("/intern/tx-channels");
    previousSource = Text(Data().Get(Path("/flows/%s", flowId).c_str()), "source_id");
  }
  lws_log(QLLL_INFO, "STREAM: %s", stream.dump().c_str());
  json patch = Publish(Source, Path("/sources/%s", sourceId), BuildSource(sourceId, stream, ctx), deviceId);
  if (!patch.empty()) lws_log(QLLL_INFO, "Source[%u] Updated: %s", index, patch.dump().c_str());
  patch = Publish(Flow, Path("/flows/%s", flowId), BuildFlow(flowId, stream, ctx), sourceId);
  if (!patch.empty()) lws_log(QLLL_INFO, "Flow[%u] Updated: %s", index, patch.dump().c_str());
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
      detached.push_back(copy);
    }
  }
  for (const json& sender : detached)
    Publish(Sender, Path("/senders/%s", Text(sender, "id")), sender, Text(sender, "device_id"),
            TPublish::Always);
  if (!Data().DelFakeID(FakeFlows, n)) lws_log(QLLL_WARN, "Could not remove fakeid %s", flowId.c_str());
  EndResource(flowId, {Path("/flows/%s", flowId)});
  // Streams may share a source: it ends with the last flow that comes from it.
  std::string otherFlow;
  if (!sourceId.empty() && sourceId != keptSource && !GetFlowIDBySourceID(sourceId, otherFlow))
    EndResource(sourceId, {Path("/sources/%s", sourceId)});
  return true;
}

} // namespace Qel_nmos_bridge
