// The documents built from the firmware's streams, without a store: what a sender, its source and
// flow, and a receiver show for the values the firmware reports, faulty ones included.
#include "ReceiverDocs.h"
#include "ResourceTags.h"
#include "SenderDocs.h"
#include "SourceFlowDocs.h"
#include "VersionViews.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;

namespace {

const char* const SenderId = "1a2b3c4d-0000-4000-8000-000000000001";
const char* const ReceiverId = "3a2b3c4d-0000-4000-8000-000000000001";
const char* const PeerId = "6a2b3c4d-0000-4000-8000-000000000001";

json TxStream(bool enabled, const json& address, const json& port) {
  return {{"id", SenderId},     {"name", "Main"}, {"enabled", enabled},
          {"address", address}, {"port", port},   {"source_id", "2a2b3c4d-0000-4000-8000-000000000001"},
          {"codec", "L24"},     {"channels", 2},  {"samples-per-packet", 48}};
}

TSenderContext SenderCtx() {
  TSenderContext ctx;
  ctx.Slot = 3;
  ctx.NodeLabel = "box";
  ctx.DeviceId = "5a2b3c4d-0000-4000-8000-000000000000";
  ctx.ManifestHref = "http://127.0.0.1/sdp/x.sdp";
  ctx.DeviceAddress = "127.0.0.99";
  ctx.Interface = {{"name", "Primary"}};
  ctx.ReceiverId = PeerId;
  return ctx;
}

} // namespace

// A sender whose stream has no flow (yet, or no usable source) names none, whether or not it sends;
// a disabled one shows no subscription, whatever receiver an activation named.
TEST(SenderDocs, SenderWithoutAFlowNamesNone) {
  TSenderContext ctx = SenderCtx();
  const json sending = BuildSender(SenderId, TxStream(true, "239.69.1.2", 5004), ctx);
  EXPECT_TRUE(sending["flow_id"].is_null());
  EXPECT_EQ(sending["transport"], "urn:x-nmos:transport:rtp.mcast");
  EXPECT_EQ(sending["subscription"], (json{{"receiver_id", PeerId}, {"active", true}}));
  EXPECT_EQ(sending["label"], "Main@box");
  EXPECT_EQ(sending["interface_bindings"], json::array({"Primary"}));
  EXPECT_EQ(sending["resource_type"], "sender");

  ctx.FlowId = "7a2b3c4d-0000-4000-8000-000000000001";
  EXPECT_EQ(BuildSender(SenderId, TxStream(true, "10.0.0.1", 5004), ctx)["flow_id"], ctx.FlowId);
  const json off = BuildSender(SenderId, TxStream(false, "10.0.0.1", 5004), ctx);
  EXPECT_TRUE(off["flow_id"].is_null());
  EXPECT_EQ(off["transport"], "urn:x-nmos:transport:rtp");
  EXPECT_EQ(off["subscription"], (json{{"receiver_id", nullptr}, {"active", false}}));
  // A stream without a name is named by its slot.
  json unnamed = TxStream(true, "10.0.0.1", 5004);
  unnamed.erase("name");
  EXPECT_EQ(BuildSender(SenderId, unnamed, ctx)["label"], "TX3@box");
}

// Values the firmware gets wrong never reach a document: an address that is none or a port outside
// 1..65535 leave the parameter "auto" and its constraint open; the values it gets right are the only ones a
// controller may activate.
TEST(SenderDocs, ValuesOutOfRangeLeaveTheParameterOpen) {
  const TSenderContext ctx = SenderCtx();
  for (const json& port : {json(0), json(65536), json(-5004), json(70000)}) {
    const json stream = TxStream(true, "239.69.1.2", port);
    const json tp = SenderTransportParams(stream, ctx);
    EXPECT_EQ(tp["destination_port"], "auto") << port;
    const json c = BuildSenderConstraints(stream, tp)[0];
    EXPECT_EQ(c["destination_port"], json::object()) << port;
    EXPECT_EQ(c["destination_ip"], (json{{"enum", {"239.69.1.2"}}}));
  }
  const json bad = TxStream(true, "239.300.1.2", 5006);
  const json tp = SenderTransportParams(bad, ctx);
  EXPECT_EQ(tp["destination_ip"], "auto");
  EXPECT_EQ(tp["destination_port"], 5006);
  EXPECT_EQ(tp["source_ip"], "127.0.0.99");
  const json c = BuildSenderConstraints(bad, tp);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0]["destination_ip"], json::object());
  EXPECT_EQ(c[0]["destination_port"], (json{{"enum", {5006}}}));
  EXPECT_FALSE(c[0].contains("multicast_ip"));
  // A stream whose address the firmware has not told yet keeps its destination open.
  json unknown = TxStream(true, "", 5004);
  const json open = BuildSenderConstraints(unknown, SenderTransportParams(unknown, ctx))[0];
  EXPECT_EQ(open["destination_ip"], json::object());
  // The last activation stays on record; the firmware decides whether the sender sends.
  const json stored = {{"activation", {{"mode", "activate_scheduled_absolute"}}}, {"master_enable", true}};
  const json active = BuildSenderActive(stored, TxStream(false, "10.0.0.1", 5004), tp, ctx);
  EXPECT_EQ(active["activation"]["mode"], "activate_scheduled_absolute");
  EXPECT_EQ(active["master_enable"], false);
  EXPECT_EQ(active["receiver_id"], PeerId);
  EXPECT_EQ(BuildSenderActive(json(), bad, tp, ctx)["activation"], (json{{"mode", "activate_immediate"}}));
}

// A source's channels are labelled by the device channels the stream carries; a channel number the
// names do not reach, a negative one or a channel count out of bounds give no label or no channel,
// never a fault. Without a usable packet size neither source nor flow has a grain rate.
TEST(SourceFlowDocs, ChannelsAndRatesFollowTheStream) {
  TSourceFlowContext ctx;
  ctx.Slot = 1;
  ctx.SampleRate = 48000;
  ctx.DeviceId = "5a2b3c4d-0000-4000-8000-000000000000";
  ctx.Clocks =
      json::array({{{"name", "clk0"}, {"ref_type", "internal"}}, {{"name", "clk1"}, {"ref_type", "ptp"}}});
  ctx.ChannelNames = json::array({"L", "R", 7});
  json stream = TxStream(true, "239.69.1.2", 5004);
  stream["channels"] = 5;
  stream["src"] = json::array({1, 0, -1, 2, 99});
  const json source = BuildSource("2a2b3c4d-0000-4000-8000-000000000001", stream, ctx);
  EXPECT_EQ(source["channels"],
            json::parse(R"([{"label":"R"},{"label":"L"},{"label":""},{"label":""},{"label":""}])"));
  EXPECT_EQ(source["clock_name"], "clk1");
  EXPECT_EQ(source["grain_rate"], (json{{"numerator", 1000}}));
  EXPECT_EQ(source["label"], "Main");
  const json flow = BuildFlow("7a2b3c4d-0000-4000-8000-000000000001", stream, ctx);
  EXPECT_EQ(flow["source_id"], "2a2b3c4d-0000-4000-8000-000000000001");
  EXPECT_EQ(flow["media_type"], "audio/L24");
  EXPECT_EQ(flow["bit_depth"], 24);
  EXPECT_EQ(flow["sample_rate"], (json{{"numerator", 48000}}));

  stream["samples-per-packet"] = 0;
  stream["channels"] = 1000000;
  stream["codec"] = "AM824";
  stream.erase("name");
  const json bare = BuildSource("2a2b3c4d-0000-4000-8000-000000000001", stream, ctx);
  EXPECT_FALSE(bare.contains("grain_rate"));
  EXPECT_EQ(bare["channels"].size(), 4096u);
  EXPECT_EQ(bare["label"], "Source_1");
  EXPECT_FALSE(BuildFlow("7a2b3c4d-0000-4000-8000-000000000001", stream, ctx).contains("grain_rate"));
  EXPECT_EQ(BuildFlow("7a2b3c4d-0000-4000-8000-000000000001", stream, ctx)["bit_depth"], 0);
  ctx.Clocks = json();
  EXPECT_TRUE(BuildSource("x", stream, ctx)["clock_name"].is_null());
}

// A receiver follows the sender it was connected to only while its stream keeps that sender's name:
// once the firmware's stream name changes, the sender known by the new name (or none) is the one.
// The transport file of the last activation goes when nothing is received any more; the port stays.
TEST(ReceiverDocs, ReceiverWhoseStreamNameChanges) {
  const json follows = {{"sender_id", SenderId}, {"name", "Studio"}};
  EXPECT_EQ(FollowedSender(follows, "Studio", PeerId), SenderId);
  EXPECT_EQ(FollowedSender(follows, "Other", PeerId), PeerId);
  EXPECT_EQ(FollowedSender(follows, "Other", ""), "");
  EXPECT_EQ(FollowedSender(json(), "Studio", PeerId), PeerId);

  TReceiverContext ctx;
  ctx.DeviceId = "5a2b3c4d-0000-4000-8000-000000000000";
  ctx.NodeAddress = "127.0.0.99";
  ctx.SenderId = PeerId;
  json stream = {
      {"id", ReceiverId}, {"name", "RX0"}, {"info", "in"}, {"source", "239.69.9.1"}, {"enabled", true}};
  const json receiver = BuildReceiver(ReceiverId, stream, ctx);
  EXPECT_EQ(receiver["subscription"], (json{{"sender_id", PeerId}, {"active", true}}));
  EXPECT_EQ(receiver["label"], "RX0");
  EXPECT_EQ(receiver["description"], "in");
  const json stored = {{"transport_file", {{"data", "v=0"}, {"type", "application/sdp"}}},
                       {"transport_params", json::array({{{"destination_port", 5006}}})}};
  json active = BuildReceiverActive(stored, stream, ctx);
  EXPECT_EQ(active["transport_file"]["data"], "v=0");
  EXPECT_EQ(active["transport_params"][0]["multicast_ip"], "239.69.9.1");
  EXPECT_TRUE(active["transport_params"][0]["source_ip"].is_null());
  EXPECT_EQ(active["transport_params"][0]["destination_port"], 5006);
  EXPECT_EQ(active["transport_params"][0]["interface_ip"], "127.0.0.99");
  EXPECT_EQ(active["sender_id"], PeerId);

  // The firmware now receives a unicast stream of another name, then nothing.
  stream["source"] = "10.0.0.7";
  active = BuildReceiverActive(stored, stream, ctx);
  EXPECT_EQ(active["transport_params"][0]["source_ip"], "10.0.0.7");
  EXPECT_TRUE(active["transport_params"][0]["multicast_ip"].is_null());
  stream["source"] = "";
  ctx.SenderId = "";
  EXPECT_EQ(BuildReceiver(ReceiverId, stream, ctx)["subscription"],
            (json{{"sender_id", nullptr}, {"active", false}}));
  active = BuildReceiverActive(stored, stream, ctx);
  EXPECT_EQ(active["transport_file"], (json{{"data", nullptr}, {"type", nullptr}}));
  EXPECT_TRUE(active["sender_id"].is_null());
  EXPECT_EQ(active["activation"], (json{{"mode", "activate_immediate"}}));
  // Enabled with another NMOS-unknown sender: active, sender null.
  stream["source"] = "239.1.1.1";
  EXPECT_EQ(BuildReceiver(ReceiverId, stream, ctx)["subscription"],
            (json{{"sender_id", nullptr}, {"active", true}}));
  EXPECT_EQ(BuildReceiverConstraints(TReceiverContext())[0]["interface_ip"], json::object());
  EXPECT_EQ(BuildReceiverConstraints(ctx)[0]["interface_ip"], (json{{"enum", {"127.0.0.99"}}}));
}

// One stored document gives every version's view: v1.2 and v1.0 lose exactly what v1.3 added.
TEST(VersionViews, OlderVersionsLoseOnlyWhatV13Added) {
  const json node = json::parse(R"({"id": "n", "api": {"versions": ["v1.0", "v1.2", "v1.3"],
      "endpoints": [{"host": "10.0.0.1", "port": 80, "protocol": "http", "authorization": false}]},
      "services": [{"href": "http://x/", "type": "urn:x-manufacturer:service:status", "authorization": false}],
      "interfaces": [{"name": "eth0", "chassis_id": null, "port_id": "02-00-00-00-00-01",
                      "attached_network_device": {"chassis_id": "sw1", "port_id": "7"}}]})");
  json expected = node;
  expected["api"]["endpoints"][0].erase("authorization");
  expected["services"][0].erase("authorization");
  expected["interfaces"][0].erase("attached_network_device");
  for (const char* version : {"v1.0", "v1.2"}) {
    EXPECT_TRUE(ViewDiffers(Node, version));
    EXPECT_EQ(VersionView(node, Node, version), expected) << version;
  }
  EXPECT_EQ(VersionView(node, Node, "v1.3"), node);
  EXPECT_FALSE(ViewDiffers(Sender, "v1.0"));

  json device =
      json::parse(R"({"id": "d", "controls": [{"type": "t", "href": "h", "authorization": false}]})");
  EXPECT_EQ(VersionView(device, Device, "v1.2")["controls"][0].count("authorization"), 0u);
  device["controls"][0]["authorization"] = true; // a protected Connection API says so at every version
  EXPECT_EQ(VersionView(device, Device, "v1.0")["controls"][0]["authorization"], true);
  EXPECT_EQ(VersionView(device, Device, "v1.3"), device);
  // Malformed documents are passed on as they are, never thrown on.
  EXPECT_EQ(VersionView(json::parse(R"({"api": 3, "services": "x"})"), Node, "v1.2")["api"], 3);

  bool less = false;
  EXPECT_TRUE(VersionLess("v1.2", "v1.10", less) && less);
  EXPECT_TRUE(VersionLess("v1.3", "v1.2", less) && !less);
  EXPECT_FALSE(VersionLess("v1", "v1.2", less));
  EXPECT_FALSE(VersionLess("v1.2x", "v1.2", less));
  EXPECT_FALSE(VersionLess("1.2", "v1.2", less));
}

// Group hints follow the firmware slot, not the stream's name, so a renamed stream keeps its role.
TEST(ResourceTags, GroupHintsFollowTheSlot) {
  const char* const Hint = "urn:x-nmos:tag:grouphint/v1.0";
  json renamed = TxStream(true, "239.1.1.1", 5004);
  renamed["name"] = "Other:name";
  EXPECT_EQ(BuildSender(SenderId, TxStream(true, "239.1.1.1", 5004), SenderCtx())["tags"][Hint],
            json::array({"AES67 TX:Stream 04"}));
  EXPECT_EQ(BuildSender(SenderId, renamed, SenderCtx())["tags"][Hint], json::array({"AES67 TX:Stream 04"}));
  TReceiverContext rx;
  rx.Slot = 11;
  EXPECT_EQ(BuildReceiver(ReceiverId, {{"name", "In"}}, rx)["tags"][Hint],
            json::array({"AES67 RX:Stream 12"}));
  // Asset tags: one value each, the function on the device only.
  EXPECT_EQ(AssetTags("n1", nullptr).size(), 3u);
  EXPECT_EQ(AssetTags("d1", DeviceFunction)["urn:x-nmos:tag:asset:function/v1.0"],
            json::array({DeviceFunction}));
  EXPECT_EQ(AssetTags("", nullptr)["urn:x-nmos:tag:asset:instance-id/v1.0"][0], "unknown");
}
