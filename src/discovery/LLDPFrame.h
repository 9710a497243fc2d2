// LLDP frames as the node receives them on its media interface: what the neighbour (the switch port the
// interface is plugged into) tells about itself. Pure functions, no socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// The ethertype of LLDP and the multicast address its frames to the nearest bridge go to.
constexpr uint16_t LLDPEthertype = 0x88CC;
constexpr uint8_t LLDPNearestBridge[6] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};

// What one frame tells: the neighbour's chassis and port, and for how long it holds (seconds; 0: the
// neighbour withdraws what it told before).
struct TLLDPNeighbour {
  std::string ChassisId;
  std::string PortId;
  uint16_t TTL = 0;

  // The same neighbour: the same chassis and port, whatever the TTL.
  bool SameAs(const TLLDPNeighbour& other) const {
    return ChassisId == other.ChassisId && PortId == other.PortId;
  }
};

enum class TLLDPParse {
  Ok,        // a well-formed frame; the neighbour is filled in
  NotLLDP,   // another ethertype, or not sent to the nearest bridge address: not for this node
  Malformed, // an LLDP frame that cannot be used (truncated, out of order, ids missing or invalid)
};

// Reads a whole Ethernet frame (destination, source, ethertype, then the LLDPDU). The LLDPDU must begin
// with the Chassis ID, Port ID and TTL TLVs in this order, each once; other TLVs are passed over up to the
// End TLV (or the frame's end, met exactly). A TLV whose length reaches past the frame, an id without a
// value or longer than 255 octets, a MAC address id that is not 6 octets, or an id that is empty once
// made printable makes the frame Malformed.
TLLDPParse ParseLLDPFrame(const uint8_t* frame, size_t size, TLLDPNeighbour& out);

// An id's text: a MAC address (chassis subtype 4, port subtype 3) as "xx-xx-xx-xx-xx-xx" in lower case
// ("" unless it has 6 octets); a network address (chassis subtype 5, port subtype 4) of IPv4 or IPv6 in
// its usual text; anything else as text, trailing NULs dropped and every octet outside printable ASCII
// written as "\xHH".
std::string LLDPIdText(bool chassis, uint8_t subtype, const uint8_t* value, size_t size);

} // namespace Qel_nmos_bridge
