#include "SenderDocs.h"

#include "BridgeDocs.h"
#include "HostAddress.h"
#include "ResourceCore.h"
#include "ResourceTags.h"

namespace Qel_nmos_bridge {

namespace {

// IPv4 multicast: 224.0.0.0 to 239.255.255.255.
const char* const MulticastPattern = "^(22[4-9]|23[0-9])\\.";

bool IsMulticast(const json& stream) {
  return THostAddress(Text(stream, "address")).IsMulticast();
}

} // namespace

std::string SenderDestination(const json& stream) {
  const std::string raw = Text(stream, "address");
  return raw.empty() || !THostAddress(raw).IsNull() ? raw : std::string();
}

json SenderPort(const json& stream) {
  const int64_t port = Number(stream, "port", DefaultRTPPort);
  return port >= 1 && port <= 65535 ? json(port) : json("auto");
}

std::string SenderLabel(const json& stream, uint32_t slot, const std::string& nodeLabel) {
  const std::string name = Text(stream, "name");
  return (name.empty() ? "TX" + std::to_string(slot) : name) + "@" + nodeLabel;
}

json BuildSender(const std::string& id, const json& stream, const TSenderContext& ctx) {
  json sender = NewResource(Sender, id);
  sender["tags"] = GroupHintTags(true, ctx.Slot);
  sender["device_id"] = ctx.DeviceId;
  sender["manifest_href"] = ctx.ManifestHref;
  sender["interface_bindings"] = InterfaceBindings(ctx.Interface);
  sender["label"] = SenderLabel(stream, ctx.Slot, ctx.NodeLabel);
  if (Flag(stream, "enabled")) {
    sender["flow_id"] = ctx.FlowId.is_string() ? ctx.FlowId : json(nullptr);
    sender["transport"] =
        IsMulticast(stream) ? "urn:x-nmos:transport:rtp.mcast" : "urn:x-nmos:transport:rtp.ucast";
    sender["subscription"] = {{"receiver_id", ctx.ReceiverId}, {"active", true}};
  } else {
    sender["flow_id"] = nullptr;
    sender["transport"] = "urn:x-nmos:transport:rtp";
    sender["subscription"] = {{"receiver_id", nullptr}, {"active", false}};
  }
  return sender;
}

json SenderTransportParams(const json& stream, const TSenderContext& ctx) {
  const std::string destination = SenderDestination(stream);
  return {{"source_ip", ctx.DeviceAddress.empty() ? json("auto") : json(ctx.DeviceAddress)},
          {"destination_ip", destination.empty() ? json("auto") : json(destination)},
          // The firmware names no source port: "auto", which IS-05 resolves to 5004.
          {"source_port", DefaultRTPPort},
          {"destination_port", SenderPort(stream)},
          {"rtp_enabled", Flag(stream, "enabled")}};
}

// The firmware owns a sender's addresses, ports and whether it sends: each parameter it reports is the
// only value a controller may activate; one it does not report keeps an open constraint (a multicast
// stream's destination within the multicast range).
json BuildSenderConstraints(const json& stream, const json& tp) {
  json c = json::object();
  for (auto it = tp.begin(); it != tp.end(); ++it)
    c[it.key()] = *it == "auto" ? json::object() : json{{"enum", json::array({*it})}};
  if (tp["destination_ip"] == "auto" && IsMulticast(stream))
    c["destination_ip"] = {{"pattern", MulticastPattern}};
  return json::array({c});
}

json BuildSenderActive(const json& stored, const json& stream, const json& tp, const TSenderContext& ctx) {
  json active = stored.is_object() ? stored : json::object();
  active["master_enable"] = Flag(stream, "enabled");
  active["receiver_id"] = ctx.ReceiverId;
  // The last activation stays on record; a sender nobody activated yet shows an immediate one.
  if (!active.contains("activation") || !active["activation"].is_object())
    active["activation"] = {{"mode", "activate_immediate"}};
  active["transport_params"] = json::array({tp});
  return active;
}

} // namespace Qel_nmos_bridge
