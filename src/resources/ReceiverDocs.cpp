#include "ReceiverDocs.h"

#include "BridgeDocs.h"
#include "HostAddress.h"
#include "ReceiverCaps.h"
#include "ResourceCore.h"
#include "ResourceTags.h"

namespace Qel_nmos_bridge {

namespace {

// Active while the stream receives something, from an NMOS sender or another one.
bool Receiving(const json& stream) {
  return Flag(stream, "enabled") && !Text(stream, "source").empty();
}

json IdOrNull(const std::string& id) {
  return id.empty() ? json(nullptr) : json(id);
}

// The port of the last activation, else IS-05's 5004 (the firmware names none).
json ActivatedPort(const json& active) {
  const json& legs = active.contains("transport_params") ? active["transport_params"] : json();
  if (legs.is_array() && !legs.empty() && legs[0].is_object() && legs[0].contains("destination_port") &&
      legs[0]["destination_port"].is_number_integer())
    return legs[0]["destination_port"];
  return DefaultRTPPort;
}

} // namespace

std::string FollowedSender(const json& follows, const std::string& source, const std::string& byName) {
  // Several senders may carry the same stream name (a controller's senders whose transport files share
  // a session name): the one this receiver was last connected to is the one it follows.
  if (follows.is_object() && !source.empty() && Text(follows, "name") == source)
    return Text(follows, "sender_id");
  return byName;
}

json BuildReceiver(const std::string& id, const json& stream, const TReceiverContext& ctx) {
  json receiver = NewResource(Receiver, id);
  receiver["tags"] = GroupHintTags(false, ctx.Slot);
  receiver["label"] = Text(stream, "name");
  receiver["description"] = Text(stream, "info");
  receiver["format"] = "urn:x-nmos:format:audio";
  receiver["caps"] = BuildReceiverCaps(ctx.SampleRate);
  receiver["device_id"] = ctx.DeviceId;
  receiver["transport"] = "urn:x-nmos:transport:rtp";
  receiver["interface_bindings"] = InterfaceBindings(ctx.Interface);
  const bool receiving = Receiving(stream);
  receiver["subscription"] = {{"sender_id", receiving ? IdOrNull(ctx.SenderId) : json(nullptr)},
                              {"active", receiving}};
  return receiver;
}

// The firmware chooses the interface a stream is received on: a controller names the stream (by
// sender, transport file or source address), the port it arrives on, and switches reception on or off.
json BuildReceiverConstraints(const TReceiverContext& ctx) {
  json c = {{"source_ip", json::object()},
            {"multicast_ip", json::object()},
            {"interface_ip",
             ctx.NodeAddress.empty() ? json::object() : json{{"enum", json::array({ctx.NodeAddress})}}},
            {"destination_port", {{"minimum", 1}, {"maximum", 65535}}},
            {"rtp_enabled", {{"enum", json::array({true})}}}};
  return json::array({c});
}

json BuildReceiverActive(const json& stored, const json& stream, const TReceiverContext& ctx) {
  json active = stored.is_object() ? stored : json::object();
  active["master_enable"] = Flag(stream, "enabled");
  active["sender_id"] = IdOrNull(ctx.SenderId);
  // The last activation stays on record; a receiver nobody activated yet shows an immediate one.
  if (!active.contains("activation") || !active["activation"].is_object())
    active["activation"] = {{"mode", "activate_immediate"}};
  // The transport file of the last activation stays while the stream is received; otherwise none was
  // handed over: its data and type are both null.
  if (!Receiving(stream) || !active.contains("transport_file") || !active["transport_file"].is_object())
    active["transport_file"] = {{"data", nullptr}, {"type", nullptr}};
  // The firmware's source is the multicast group it joins, or the unicast sender it takes.
  const std::string sourceText = Text(stream, "source");
  const THostAddress source(sourceText);
  const bool multicast = source.IsMulticast();
  active["transport_params"] =
      json::array({{{"source_ip", !multicast && !source.IsNull() ? json(sourceText) : json(nullptr)},
                    {"multicast_ip", multicast ? json(sourceText) : json(nullptr)},
                    {"interface_ip", ctx.NodeAddress.empty() ? json("auto") : json(ctx.NodeAddress)},
                    {"destination_port", ActivatedPort(active)},
                    // Reception is switched by master_enable alone.
                    {"rtp_enabled", true}}});
  return active;
}

} // namespace Qel_nmos_bridge
