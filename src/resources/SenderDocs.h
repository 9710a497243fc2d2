// The documents of a sender built from one transmit stream of the firmware: its IS-04 resource, its
// IS-05 constraints and active parameters. Pure functions of the firmware's values and what the node
// adds; nothing here reads or writes the store.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// What the node adds to a transmit stream's documents.
struct TSenderContext {
  uint32_t Slot = 0;     // the stream's place in the firmware's list
  std::string NodeLabel; // the node's label (its host name)
  std::string DeviceId;
  std::string ManifestHref;  // where clients get its transport file
  std::string SDPSource;     // where the firmware serves it
  std::string DeviceAddress; // the address the firmware reports for the device, "" unknown
  json Interface;            // the node's first interface
  json FlowId;               // the stream's flow, null when it has none
  json ReceiverId;           // the receiver the last activation named, null
};

// The stream's destination address, "" when it names none or one that is no IPv4 address.
std::string SenderDestination(const json& stream);
// The stream's destination port (5004 when it names none), "auto" when it is outside 1..65535.
json SenderPort(const json& stream);
// "<stream name, else TX<slot>>@<node label>": receivers follow a sender by this name.
std::string SenderLabel(const json& stream, uint32_t slot, const std::string& nodeLabel);

// The IS-04 sender (its version is the store's business).
json BuildSender(const std::string& id, const json& stream, const TSenderContext& ctx);
// The IS-05 RTP transport parameters the stream is sent with (one leg).
json SenderTransportParams(const json& stream, const TSenderContext& ctx);
// The IS-05 constraints: each parameter the firmware reports is the only value allowed.
json BuildSenderConstraints(const json& stream, const json& transportParams);
// The IS-05 active parameters; `stored` keeps the last activation on record.
json BuildSenderActive(const json& stored, const json& stream, const json& transportParams,
                       const TSenderContext& ctx);

} // namespace Qel_nmos_bridge
