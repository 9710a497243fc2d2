// Receivers: every receive stream of the firmware becomes an NMOS receiver with its Connection API
// constraints and active parameters; Connect asks the firmware to follow a sender.
#include "AES67FWClient.h"
#include "BridgeDocs.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "ReceiverCaps.h"
#include "ReceiverDocs.h"
#include "SenderSDP.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

namespace {

// The receiver's caps keep their version while they stay the same; changed caps get a version of
// their own, earlier than the one the receiver is then published with.
void StampCaps(IQELNMOSNodeData& data, json& receiver, const json& stored) {
  const json storedCaps = stored.is_object() && stored.contains("caps") ? stored["caps"] : json();
  receiver["caps"] = VersionedCaps(receiver["caps"], storedCaps, [&data] {
    json stamp;
    data.FillNMOSTimestamp(stamp);
    return stamp.get<std::string>();
  });
}

// What the receiver's document says it can take.
json CapsOf(IQELNMOSNodeData& data, const std::string& uuid) {
  TNodeDBReadLocker lock(data);
  const json& receiver = data.Get(Path("/receivers/%s", uuid).c_str());
  return receiver.is_object() && receiver.contains("caps") ? receiver["caps"] : json();
}

} // namespace

bool TQELNMOSBridge::UpdateReceivers(const json& streams, const json&) {
  if (!streams.is_array()) return false;
  bool changed = false;
  const std::vector<bool> repeated = Qel_proto_aes67fw::RepeatedStreams(streams);
  for (size_t i = 0; i < streams.size(); ++i) {
    if (repeated[i])
      lws_log(QLLL_ERR, "RX stream %u repeats an earlier stream's id: passed over", static_cast<unsigned>(i));
    else
      changed |= UpdateReceiver(static_cast<uint32_t>(i), streams[i]);
  }
  // Receivers bound to slots beyond the firmware's list end.
  for (size_t i = streams.size();; ++i) {
    std::string bound;
    if (!Data().GetUUIDFromIndex("receivers", static_cast<int>(i), bound)) break;
    RemoveReceiver(bound);
  }
  return changed;
}

void TQELNMOSBridge::RemoveReceiver(const std::string& uuid) {
  Data().SetIndexFromUUID("receivers", uuid, -1);
  Data().SetNameFromUUID("receivers", uuid, "");
  EndResource(uuid, {Path("/receivers/%s", uuid), Path("/intern/receivers/%s", uuid)});
  DeviceListsChanged();
}

const TQELNMOSBridge::TSlotKind TQELNMOSBridge::ReceiverSlots{"receivers", "UpdateReceiver: RX", true,
                                                              &TQELNMOSBridge::RemoveReceiver};

bool TQELNMOSBridge::UpdateReceiver(uint32_t index, const json& stream) {
  if (!stream.is_null() && stream.empty()) lws_log(QLLL_ERR, "Empty stream received!");
  const std::string uuid = BindSlot(ReceiverSlots, index, stream, nullptr);
  if (uuid.empty()) return false;
  const std::string path = Path("/receivers/%s", uuid), name = Text(stream, "name");
  bool added = false;
  {
    TNodeDBReadLocker lock(Data());
    added = Data().Get(path.c_str()).is_null();
  }
  TReceiverContext ctx = ReceiverContext(uuid, stream);
  ctx.Slot = index;
  const std::string internPath = Path("/intern/receivers/%s", uuid);
  {
    TNodeDBWriteLocker lock(Data());
    if (!Data().Get(internPath.c_str()).is_object()) Data().Set(internPath.c_str(), json::object());
    SetIfChanged(Data(), internPath + "/stream", stream); // the firmware's last word on the receiver
    SetInternDocs(internPath, name, "Receiver", BuildReceiverConstraints(ctx),
                  BuildReceiverActive(Data().Get((internPath + "/active").c_str()), stream, ctx));
  }
  json receiver = BuildReceiver(uuid, stream, ctx);
  {
    TNodeDBReadLocker lock(Data());
    StampCaps(Data(), receiver, Data().Get(path.c_str()));
  }
  const json patch = Publish(Receiver, path, receiver, ctx.DeviceId);
  if (!patch.empty())
    lws_log(QLLL_INFO, "Receiver %u:'%s' Updated: %s", index, name.c_str(), patch.dump().c_str());
  if (added) DeviceListsChanged();
  return true;
}

TReceiverContext TQELNMOSBridge::ReceiverContext(const std::string& uuid, const json& stream) {
  TReceiverContext ctx;
  ctx.NodeAddress = NodeAddress();
  const std::string source = Text(stream, "source");
  const std::string byName = Data().GetUUIDFromName("senders", source);
  std::string devicePath;
  TNodeDBReadLocker lock(Data());
  ctx.DeviceId = Text(GetDevice(devicePath), "id");
  ctx.Interface = Data().Get("/self/interfaces/0");
  ctx.SampleRate = Number(Data().Get("/intern/sync"), "fs", 0);
  ctx.SenderId =
      FollowedSender(Data().Get(Path("/intern/receivers/%s/follows", uuid).c_str()), source, byName);
  return ctx;
}

// Remembers which sender a receiver was connected to, by id and stream name. When the firmware
// already follows that name (another sender of the same name was connected before), it reports no
// change: the receiver is brought up to date from the firmware's last document at once.
void TQELNMOSBridge::Follow(const std::string& receiverId, const std::string& senderId,
                            const std::string& name) {
  json stream;
  {
    TNodeDBWriteLocker lock(Data());
    const std::string internPath = Path("/intern/receivers/%s", receiverId);
    if (!Data().Get(internPath.c_str()).is_object()) return;
    const std::string followPath = internPath + "/follows";
    if (senderId.empty()) {
      if (Data().Get(followPath.c_str()).is_object()) Data().Del(followPath.c_str());
    } else {
      Data().Set(followPath.c_str(), {{"sender_id", senderId}, {"name", name}});
    }
    stream = Data().Get((internPath + "/stream").c_str());
  }
  const int index = Data().GetIndexFromUUID("receivers", receiverId);
  if (!senderId.empty() && index >= 0 && Text(stream, "source") == name)
    UpdateReceiver(static_cast<uint32_t>(index), stream);
}

bool TQELNMOSBridge::ConnectStream(const std::string& ReceiverUUID, const std::string& SenderUUID,
                                   const std::string& StreamName, bool Enable, const json& Active) {
  const int slot = Data().GetIndexFromUUID("receivers", ReceiverUUID);
  if (slot < 0) {
    lws_log(QLLL_ERR, "Could not get AESFW Index of Receiver %s", ReceiverUUID.c_str());
    return false;
  }
  // The command first: a receiver must not show a connection the firmware will never hear of.
  if (!AESFWClient().Subscribe(slot, Enable ? StreamName : "", Enable)) return false;
  if (Active.is_object()) Data().Set(Path("/intern/receivers/%s/active", ReceiverUUID).c_str(), Active);
  Follow(ReceiverUUID, Enable && !StreamName.empty() ? SenderUUID : "", StreamName);
  // Every activation is a new version of the receiver, at the registry too, whatever the firmware
  // reports afterwards.
  const std::string path = Path("/receivers/%s", ReceiverUUID);
  json receiver;
  {
    TNodeDBReadLocker lock(Data());
    receiver = Data().Get(path.c_str());
  }
  if (receiver.is_object()) Publish(Receiver, path, receiver, Text(receiver, "device_id"), TPublish::Always);
  return true;
}

bool TQELNMOSBridge::Connect(const std::string& ReceiverUUID, const json& SenderData) {
  int slot = Data().GetIndexFromUUID("receivers", ReceiverUUID);
  if (slot < 0) {
    lws_log(QLLL_ERR, "Could not get AESFW Index of Receiver %s", ReceiverUUID.c_str());
    return false;
  }
  // The command is queued before anything of the receiver changes.
  if (SenderData.empty()) {
    if (!AESFWClient().Subscribe(slot, "")) return false;
    Follow(ReceiverUUID, "", "");
    return true;
  }
  // Only senders whose firmware stream name is known can be followed; an unknown one must not turn
  // into a disconnection (an empty name).
  // A sender is followed by its stream name: known for this node's senders and those a registry
  // reported, else taken from the session name of the sender's transport file. Without a name nothing
  // changes: an unknown sender must not turn into a disconnection, and the receiver keeps reporting
  // what the firmware really does.
  const std::string senderId = Text(SenderData, "id");
  const std::string name = Data().GetNameFromUUID("senders", senderId);
  if (!name.empty()) {
    if (!AESFWClient().Subscribe(slot, name)) return false;
    Follow(ReceiverUUID, senderId, name);
    return true;
  }
  const std::string manifest = Text(SenderData, "manifest_href");
  // A secure node takes another node's transport file over https only.
  if (BoxConfig() && BoxConfig()->Secure() && manifest.compare(0, 8, "https://") != 0) {
    lws_log(QLLL_ERR, "Connect: the transport file of sender %s is not served over https (%s): not fetched",
            senderId.c_str(), manifest.c_str());
    return true;
  }
  const bool fetching = SDPFetcher().Fetch(manifest, [this, ReceiverUUID, senderId](const std::string& sdp) {
    const std::string session = SDPSessionName(sdp);
    const int index = Data().GetIndexFromUUID("receivers", ReceiverUUID);
    if (session.empty() || index < 0) {
      lws_log(QLLL_ERR, "Connect: the transport file of sender %s names no stream", senderId.c_str());
      return;
    }
    std::string why;
    if (!CapsAdmit(CapsOf(Data(), ReceiverUUID), SDPStreamFormat(sdp), why)) {
      lws_log(QLLL_ERR, "Connect: receiver %s cannot take sender %s: %s", ReceiverUUID.c_str(),
              senderId.c_str(), why.c_str());
      return;
    }
    Data().SetNameFromUUID("senders", senderId, session);
    // The request was answered long ago: a refusal is only logged (by the firmware client).
    if (AESFWClient().Subscribe(index, session)) Follow(ReceiverUUID, senderId, session);
  });
  if (!fetching) lws_log(QLLL_ERR, "Connect: no stream name known for sender %s", senderId.c_str());
  return true;
}

} // namespace Qel_nmos_bridge
