#include "SourceFlowDocs.h"

#include "BridgeDocs.h"
#include "ResourceCore.h"

namespace Qel_nmos_bridge {

namespace {

// A stream carries at most this many channels into its source.
const int64_t MaxChannels = 4096;

// The clock the device's streams are timed by: the PTP clock when the node has one (the streams'
// SDP names PTP then), else the first clock.
json MediaClockName(const json& clocks) {
  if (!clocks.is_array() || clocks.empty()) return nullptr;
  for (const json& clock : clocks)
    if (Text(clock, "ref_type") == "ptp") return Text(clock, "name");
  return Text(clocks[0], "name");
}

// Packets per second of a stream; none when the firmware gives no usable packet size.
void SetGrainRate(json& doc, int64_t fs, const json& stream) {
  const int64_t samplesPerPacket = Number(stream, "samples-per-packet", 0);
  if (samplesPerPacket > 0 && fs > 0)
    doc["grain_rate"] = {{"numerator", fs / samplesPerPacket}};
  else
    doc.erase("grain_rate");
}

// One entry per channel of the stream, labelled by the device channel it carries ("src").
json Channels(const json& stream, const json& names) {
  json channels = json::array();
  const int64_t count = Number(stream, "channels", 0);
  const json src = stream.is_object() && stream.contains("src") && stream["src"].is_array() ? stream["src"]
                                                                                            : json::array();
  for (int64_t c = 0; c < count && c < MaxChannels; ++c) {
    std::string label;
    const size_t i = static_cast<size_t>(c);
    if (i < src.size() && src[i].is_number_integer() && src[i].get<int64_t>() >= 0 && names.is_array()) {
      const int64_t channel = src[i].get<int64_t>();
      if (static_cast<uint64_t>(channel) < names.size() && names[static_cast<size_t>(channel)].is_string())
        label = names[static_cast<size_t>(channel)].get<std::string>();
    }
    channels.push_back({{"label", label}});
  }
  return channels;
}

} // namespace

int BitDepthFromCodec(const std::string& codec) {
  if (codec == "L24") return 24;
  if (codec == "L20") return 20;
  if (codec == "L16") return 16;
  if (codec == "L8") return 8;
  return 0;
}

json BuildSource(const std::string& id, const json& stream, const TSourceFlowContext& ctx) {
  json source = NewResource(Source, id);
  SetGrainRate(source, ctx.SampleRate, stream);
  const std::string name = Text(stream, "name");
  source["device_id"] = ctx.DeviceId;
  source["clock_name"] = MediaClockName(ctx.Clocks);
  source["parents"] = json::array();
  source["caps"] = json::object();
  source["format"] = "urn:x-nmos:format:audio";
  source["label"] = name.empty() ? "Source_" + std::to_string(ctx.Slot) : name;
  source["channels"] = Channels(stream, ctx.ChannelNames);
  return source;
}

json BuildFlow(const std::string& id, const json& stream, const TSourceFlowContext& ctx) {
  json flow = NewResource(Flow, id);
  const std::string codec = Text(stream, "codec");
  flow["label"] = Text(stream, "name");
  SetGrainRate(flow, ctx.SampleRate, stream);
  flow["device_id"] = ctx.DeviceId;
  flow["source_id"] = Text(stream, "source_id");
  flow["parents"] = json::array();
  flow["media_type"] = "audio/" + codec;
  flow["bit_depth"] = BitDepthFromCodec(codec);
  flow["format"] = "urn:x-nmos:format:audio";
  flow["sample_rate"] = {{"numerator", ctx.SampleRate}};
  return flow;
}

} // namespace Qel_nmos_bridge
