// How the bridge's resources enter and leave the node: a firmware slot bound to the resource it
// carries, a document built apart published (diff, stamp, write, push to registration), a resource
// ended.
#include "BridgeDocs.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSRegClient.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

json TQELNMOSBridge::Publish(TNMOS_ResType type, const std::string& path, json doc, const std::string& parent,
                             TPublish mode) {
  json patch;
  {
    TNodeDBWriteLocker lock(Data());
    const json& stored = Data().Get(path.c_str());
    // The version is the store's: a document built apart differs from the stored one only by its content.
    if (stored.is_object() && stored.contains("version")) doc["version"] = stored["version"];
    patch = json::diff(stored, doc);
    if (patch.empty() && mode == TPublish::IfChanged) return patch;
    Data().SetWithTimeStamp(path.c_str(), doc);
  }
  const std::string id = Text(doc, "id");
  if (type == Node) {
    if (!id.empty()) RegClient().PushNode(id);
  } else if (!parent.empty() && !id.empty()) {
    RegClient().PushResource(parent, id, path);
  }
  return patch;
}

// Whose registration a sender's waits for: its flow's when it has one, else its device's.
std::string TQELNMOSBridge::SenderParent(const json& sender) {
  const std::string flowId = Text(sender, "flow_id");
  return !flowId.empty() && RegClient().AsBC().FindMachine(flowId) ? flowId : Text(sender, "device_id");
}

std::string TQELNMOSBridge::BindSlot(const TSlotKind& kind, uint32_t slot, const json& stream,
                                     const std::function<void(const std::string&)>& beforeRebind) {
  std::string bound;
  const bool hasBound = Data().GetUUIDFromIndex(kind.Collection, static_cast<int>(slot), bound);
  // The firmware's list lost this slot: the resource it carried ends.
  if (stream.is_null() || !stream.is_object()) {
    if (hasBound && stream.is_null()) (this->*kind.Remove)(bound);
    return "";
  }
  const std::string name = Text(stream, "name");
  std::string id = Text(stream, "id");
  if (id.empty() && kind.IdFromSlot && hasBound) id = bound;
  if (id.empty() && kind.IdFromSlot) {
    lws_log(QLLL_ERR, "%s Stream(%s) has no UUID set and no known Index!", kind.Who, name.c_str());
    return "";
  }
  if (!IsUUID(id)) {
    lws_log(QLLL_ERR, "%s Stream(%s) has no UUID set!", kind.Who, name.c_str());
    return "";
  }
  if (IdTakenElsewhere(id, std::string("/") + kind.Collection + "/" + id)) {
    // A faulty firmware document: the slot's stream cannot be published, and what it carried ends.
    lws_log(QLLL_ERR, "%s Stream(%s) UUID %s belongs to another resource!", kind.Who, name.c_str(),
            id.c_str());
    StreamsRefused = true;
    if (hasBound) (this->*kind.Remove)(bound);
    return "";
  }
  if (hasBound && beforeRebind) beforeRebind(bound);
  if (hasBound && bound != id) {
    Data().SetNameFromUUID(kind.Collection, bound, "");
    Data().SetIndexFromUUID(kind.Collection, bound, -1);
    lws_log(QLLL_WARN, "%s: %s UUIDChange detected!", kind.Who, name.c_str());
    EndResource(bound, {std::string("/") + kind.Collection + "/" + bound,
                        std::string("/intern/") + kind.Collection + "/" + bound});
  }
  // The stream may still be bound to the slot that carried it before (the firmware moved it, or lists
  // it twice): it is bound to the slot that carries it now, so that the old slot's loss cannot end it.
  const int before = Data().GetIndexFromUUID(kind.Collection, id);
  if (before >= 0 && before != static_cast<int>(slot)) Data().SetIndexFromUUID(kind.Collection, id, -1);
  Data().SetIndexFromUUID(kind.Collection, id, static_cast<int>(slot));
  return id;
}

void TQELNMOSBridge::SetInternDocs(const std::string& internPath, const std::string& name, const char* who,
                                   const json& constraints, const json& active) {
  // The resource's private documents live below one object per resource.
  if (!Data().Get(internPath.c_str()).is_object()) Data().Set(internPath.c_str(), json::object());
  json cpatch = SetIfChanged(Data(), internPath + "/constraints", constraints);
  if (!cpatch.empty())
    lws_log(QLLL_INFO, "%s Constraints %s Updated: %s", who, name.c_str(), cpatch.dump().c_str());
  json apatch = SetIfChanged(Data(), internPath + "/active", active);
  if (!apatch.empty())
    lws_log(QLLL_INFO, "%s Active %s Updated: %s", who, name.c_str(), apatch.dump().c_str());
}

} // namespace Qel_nmos_bridge
