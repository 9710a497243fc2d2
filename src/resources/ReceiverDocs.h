// The documents of a receiver built from one receive stream of the firmware: its IS-04 resource, its
// IS-05 constraints and active parameters. Pure functions of the firmware's values and what the node
// adds; nothing here reads or writes the store.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// What the node adds to a receive stream's documents.
struct TReceiverContext {
  std::string DeviceId;
  std::string NodeAddress; // the node's own address, "" unknown
  json Interface;          // the node's first interface
  std::string SenderId;    // the sender whose stream it receives, "" none known
  uint32_t Slot = 0;       // the stream's place in the firmware's list
  int64_t SampleRate = 0;  // the device's sampling frequency ("sync"/"fs"), 0 unknown
};

// The sender a receiver following stream `source` receives from: the one it was last connected to
// when that one carries the name (`follows`: {"sender_id", "name"}), else `byName`, the sender known
// by the name.
std::string FollowedSender(const json& follows, const std::string& source, const std::string& byName);

// The IS-04 receiver (its version, and that of its caps, are the store's business).
json BuildReceiver(const std::string& id, const json& stream, const TReceiverContext& ctx);
// The IS-05 constraints: one entry per RTP receiver parameter.
json BuildReceiverConstraints(const TReceiverContext& ctx);
// The IS-05 active parameters; `stored` keeps the last activation, its transport file and port.
json BuildReceiverActive(const json& stored, const json& stream, const TReceiverContext& ctx);

} // namespace Qel_nmos_bridge
