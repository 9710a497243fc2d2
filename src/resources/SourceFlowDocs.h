// The source and the flow of one enabled transmit stream of the firmware: an audio source with one
// channel per stream channel, and the flow of its samples. Pure functions of the firmware's values
// and what the node adds; nothing here reads or writes the store.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// What the node adds to a stream's source and flow.
struct TSourceFlowContext {
  uint32_t Slot = 0;      // the stream's place in the firmware's list
  int64_t SampleRate = 0; // the device's sampling frequency ("sync"/"fs"), 0 unknown
  std::string DeviceId;
  json Clocks;       // the node's clocks
  json ChannelNames; // the device's transmit channel labels, by channel number
};

// The IS-04 source of the stream (its version is the store's business).
json BuildSource(const std::string& id, const json& stream, const TSourceFlowContext& ctx);
// The IS-04 flow of the stream, coming from source `sourceId`.
json BuildFlow(const std::string& id, const json& stream, const TSourceFlowContext& ctx);
// Bits per sample of an AES67 codec ("L24": 24), 0 for another one.
int BitDepthFromCodec(const std::string& codec);

} // namespace Qel_nmos_bridge
