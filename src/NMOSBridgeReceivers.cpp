// Receivers: every receive stream of the firmware becomes an NMOS receiver with its Connection API
// constraints and active parameters; Connect asks the firmware to follow a sender.
#include "AES67FWClient.h"
#include "BridgeDocs.h"
#include "HostAddress.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSRegClient.h"
#include "SenderSDP.h"
#include "helpers.h"

#include <uuid/uuid.h>

#include <cstdio>

namespace Qel_nmos_bridge {

namespace {} // namespace

bool TQELNMOSBridge::UpdateReceivers(const json& streams, const json&) {
  if (!streams.is_array()) return false;
  bool changed = false;
  for (size_t i = 0; i < streams.size(); ++i)
    changed |= UpdateReceiver(static_cast<uint32_t>(i), streams[i]);
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

bool TQELNMOSBridge::UpdateReceiver(uint32_t index, const json& stream) {
  if (stream.is_null()) {
    // The firmware's list lost this slot: the receiver it carried ends.
    std::string bound;
    if (Data().GetUUIDFromIndex("receivers", static_cast<int>(index), bound)) RemoveReceiver(bound);
    return false;
  }
  if (stream.empty()) lws_log(QLLL_ERR, "Empty stream received!");
  if (!stream.is_object()) return false;
  const std::string name = Text(stream, "name");
  const std::string sourceText = Text(stream, "source");
  const THostAddress source(sourceText);
  const bool enabled = IQELNMOSNodeData::JsonExtract(stream, "enabled", json(false)).get<bool>();

  std::string uuid = Text(stream, "id");
  std::string bound;
  const bool hasBound = Data().GetUUIDFromIndex("receivers", static_cast<int>(index), bound);
  if (uuid.empty()) {
    if (!hasBound) {
      lws_log(QLLL_ERR, "UpdateReceiver: RX Stream(%s) has no UUID set and no known Index!", name.c_str());
      return false;
    }
    uuid = bound;
  }
  uuid_t parsed;
  if (uuid_parse(uuid.c_str(), parsed) != 0) {
    lws_log(QLLL_ERR, "UpdateReceiver: RX Stream(%s) has no UUID set!", name.c_str());
    return false;
  }
  if (IdTakenElsewhere(uuid, Path("/receivers/%s", uuid))) {
    // A faulty firmware document: the slot's stream cannot be published, and what it carried ends.
    lws_log(QLLL_ERR, "UpdateReceiver: RX Stream(%s) UUID %s belongs to another resource!", name.c_str(),
            uuid.c_str());
    if (hasBound) RemoveReceiver(bound);
    return false;
  }
  if (hasBound && bound != uuid) {
    Data().SetNameFromUUID("receivers", bound, "");
    Data().SetIndexFromUUID("receivers", bound, -1);
    lws_log(QLLL_WARN, "UpdateReceiver: %s UUIDChange detected!", name.c_str());
    EndResource(bound, {Path("/receivers/%s", bound), Path("/intern/receivers/%s", bound)});
  }
  Data().SetIndexFromUUID("receivers", uuid, static_cast<int>(index));

  const std::string path = Path("/receivers/%s", uuid);
  std::string devicePath, deviceId;
  bool changed = false, added = false;
  {
    TNodeDBWriteLocker lock(Data());
    deviceId = Text(GetDevice(devicePath), "id");
    const json stored = Data().Get(path.c_str());
    added = stored.is_null();
    json receiver = stored;
    NMOSUpdate_ResourceCore(Receiver, receiver, uuid);
    receiver["label"] = name;
    receiver["description"] = Text(stream, "info");
    receiver["format"] = "urn:x-nmos:format:audio";
    receiver["caps"] = {{"media_types", {"audio/L16", "audio/L20", "audio/L24"}}};
    receiver["device_id"] = deviceId;
    receiver["transport"] = "urn:x-nmos:transport:rtp";
    receiver["interface_bindings"] = InterfaceBindings(Data().Get("/self/interfaces/0"));
    // Several senders may carry the same stream name (a controller's senders whose transport files
    // share a session name): the one this receiver was last connected to is the one it follows.
    const std::string followPath = Path("/intern/receivers/%s/follows", uuid);
    const json& follows = Data().Get(followPath.c_str());
    std::string senderId;
    if (follows.is_object() && !sourceText.empty() && Text(follows, "name") == sourceText)
      senderId = Text(follows, "sender_id");
    else
      senderId = Data().GetUUIDFromName("senders", sourceText);
    // Active while the stream receives something, from an NMOS sender or another one (sender null).
    const bool receiving = enabled && !sourceText.empty();
    receiver["subscription"] = {
        {"sender_id", receiving && !senderId.empty() ? json(senderId) : json(nullptr)},
        {"active", receiving}};
    json patch = json::diff(stored, receiver);
    changed = !patch.empty();

    // The resource's private documents live below one object per resource.
    const std::string internPath = Path("/intern/receivers/%s", uuid);
    if (!Data().Get(internPath.c_str()).is_object()) Data().Set(internPath.c_str(), json::object());
    SetIfChanged(Data(), internPath + "/stream", stream); // the firmware's last word on the receiver
    const std::string constraintsPath = Path("/intern/receivers/%s/constraints", uuid);
    json constraints = Data().Get(constraintsPath.c_str());
    if (!constraints.is_array() || constraints.empty() || !constraints[0].is_object())
      constraints = json::array({json::object()});
    // One entry per RTP receiver parameter, each a valid IS-05 constraint.
    json& c = constraints[0];
    c.erase("destination_ip");
    c.erase("source_port");
    c["source_ip"] = json::object();
    c["multicast_ip"] = json::object();
    // The firmware chooses the interface a stream is received on: a controller names the stream (by
    // sender, transport file or source address), the port it arrives on, and switches reception on or
    // off.
    const std::string nodeAddress = NodeAddress();
    c["interface_ip"] = nodeAddress.empty() ? json::object() : json{{"enum", json::array({nodeAddress})}};
    c["destination_port"] = {{"minimum", 1}, {"maximum", 65535}};
    c["rtp_enabled"] = {{"enum", json::array({true})}};
    json cpatch = SetIfChanged(Data(), constraintsPath, constraints);
    if (!cpatch.empty())
      lws_log(QLLL_INFO, "Receiver Constraints %s Updated: %s", name.c_str(), cpatch.dump().c_str());

    const std::string activePath = Path("/intern/receivers/%s/active", uuid);
    json active = Data().Get(activePath.c_str());
    if (!active.is_object()) active = json::object();
    active["master_enable"] = enabled;
    active["sender_id"] = senderId.empty() ? json(nullptr) : json(senderId);
    // The last activation stays on record; a receiver nobody activated yet shows an immediate one.
    if (!active.contains("activation") || !active["activation"].is_object())
      active["activation"] = {{"mode", "activate_immediate"}};
    // The transport file of the last activation stays while the stream is received; otherwise none
    // was handed over: its data and type are both null.
    if (!enabled || sourceText.empty() || !active.contains("transport_file") ||
        !active["transport_file"].is_object())
      active["transport_file"] = {{"data", nullptr}, {"type", nullptr}};
    // The firmware's source is the multicast group it joins, or the unicast sender it takes.
    const bool multicast = source.IsMulticast();
    json activatedPort = DefaultRTPPort;
    if (active.contains("transport_params") && active["transport_params"].is_array() &&
        !active["transport_params"].empty() && active["transport_params"][0].is_object() &&
        active["transport_params"][0].contains("destination_port") &&
        active["transport_params"][0]["destination_port"].is_number_integer())
      activatedPort = active["transport_params"][0]["destination_port"];
    active["transport_params"] =
        json::array({{{"source_ip", !multicast && !source.IsNull() ? json(sourceText) : json(nullptr)},
                      {"multicast_ip", multicast ? json(sourceText) : json(nullptr)},
                      {"interface_ip", nodeAddress.empty() ? json("auto") : json(nodeAddress)},
                      // The firmware names no port: the one last activated, else IS-05's 5004.
                      {"destination_port", activatedPort},
                      // Reception is switched by master_enable alone.
                      {"rtp_enabled", true}}});
    json apatch = SetIfChanged(Data(), activePath, active);
    if (!apatch.empty())
      lws_log(QLLL_INFO, "Receiver Active %s Updated: %s", name.c_str(), apatch.dump().c_str());

    if (changed) {
      lws_log(QLLL_INFO, "Receiver %u:'%s' Updated: %s", index, name.c_str(), patch.dump().c_str());
      Data().SetWithTimeStamp(path.c_str(), receiver);
    }
  }
  if (changed) RegClient().PushResource(deviceId, uuid, path);
  if (added) DeviceListsChanged();
  return true;
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
  std::string deviceId;
  {
    TNodeDBWriteLocker lock(Data());
    const json receiver = Data().Get(path.c_str());
    if (!receiver.is_object()) return true;
    Data().SetWithTimeStamp(path.c_str(), receiver);
    deviceId = Text(receiver, "device_id");
  }
  RegClient().PushResource(deviceId, ReceiverUUID, path);
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
  const bool fetching = SDPFetcher().Fetch(manifest, [this, ReceiverUUID, senderId](const std::string& sdp) {
    const std::string session = SDPSessionName(sdp);
    const int index = Data().GetIndexFromUUID("receivers", ReceiverUUID);
    if (session.empty() || index < 0) {
      lws_log(QLLL_ERR, "Connect: the transport file of sender %s names no stream", senderId.c_str());
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
