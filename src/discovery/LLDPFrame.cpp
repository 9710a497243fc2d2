#include "LLDPFrame.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace Qel_nmos_bridge {

namespace {

enum : uint8_t { TlvEnd = 0, TlvChassisId = 1, TlvPortId = 2, TlvTTL = 3 };
enum : uint8_t { ChassisMAC = 4, ChassisNetAddr = 5, PortMAC = 3, PortNetAddr = 4 };
// IANA address families of a network address id.
enum : uint8_t { FamilyIPv4 = 1, FamilyIPv6 = 2 };

constexpr size_t EthernetHeader = 14;
// An id TLV holds its subtype and 1 to 255 octets.
constexpr size_t IdMinLength = 2, IdMaxLength = 256;

std::string MACText(const uint8_t* value) {
  char text[18];
  snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", value[0], value[1], value[2], value[3],
           value[4], value[5]);
  return text;
}

std::string PrintableText(const uint8_t* value, size_t size) {
  while (size > 0 && value[size - 1] == 0)
    --size;
  std::string text;
  text.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    if (value[i] >= 0x20 && value[i] < 0x7f) {
      text += static_cast<char>(value[i]);
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", value[i]);
      text += escaped;
    }
  }
  return text;
}

std::string NetworkAddressText(const uint8_t* value, size_t size) {
  char text[INET6_ADDRSTRLEN] = {};
  if (size == 5 && value[0] == FamilyIPv4 && inet_ntop(AF_INET, value + 1, text, sizeof text)) return text;
  if (size == 17 && value[0] == FamilyIPv6 && inet_ntop(AF_INET6, value + 1, text, sizeof text)) return text;
  return PrintableText(value, size);
}

} // namespace

std::string LLDPIdText(bool chassis, uint8_t subtype, const uint8_t* value, size_t size) {
  if (subtype == (chassis ? ChassisMAC : PortMAC)) return size == 6 ? MACText(value) : std::string();
  if (subtype == (chassis ? ChassisNetAddr : PortNetAddr)) return NetworkAddressText(value, size);
  return PrintableText(value, size);
}

TLLDPParse ParseLLDPFrame(const uint8_t* frame, size_t size, TLLDPNeighbour& out) {
  if (!frame || size < EthernetHeader) return TLLDPParse::NotLLDP;
  if (memcmp(frame, LLDPNearestBridge, sizeof LLDPNearestBridge) != 0) return TLLDPParse::NotLLDP;
  if ((frame[12] << 8 | frame[13]) != LLDPEthertype) return TLLDPParse::NotLLDP;

  TLLDPNeighbour found;
  size_t at = EthernetHeader;
  int mandatory = 0; // how many of the three leading TLVs were read
  while (at < size) {
    if (size - at < 2) return TLLDPParse::Malformed; // half a TLV header
    const uint8_t type = frame[at] >> 1;
    const size_t length = static_cast<size_t>(frame[at] & 1) << 8 | frame[at + 1];
    at += 2;
    if (length > size - at) return TLLDPParse::Malformed;
    const uint8_t* value = frame + at;
    at += length;
    if (type == TlvEnd) break;
    // The leading TLVs come first, in their order, each once; any of them later is an error too.
    const bool leading = type == TlvChassisId || type == TlvPortId || type == TlvTTL;
    if (mandatory < 3 ? type != mandatory + 1 : leading) return TLLDPParse::Malformed;
    if (!leading) continue;
    ++mandatory;
    if (type == TlvTTL) {
      if (length < 2) return TLLDPParse::Malformed;
      found.TTL = static_cast<uint16_t>(value[0] << 8 | value[1]);
      continue;
    }
    if (length < IdMinLength || length > IdMaxLength) return TLLDPParse::Malformed;
    std::string text = LLDPIdText(type == TlvChassisId, value[0], value + 1, length - 1);
    if (text.empty()) return TLLDPParse::Malformed;
    (type == TlvChassisId ? found.ChassisId : found.PortId) = std::move(text);
  }
  if (mandatory < 3) return TLLDPParse::Malformed;
  out = std::move(found);
  return TLLDPParse::Ok;
}

} // namespace Qel_nmos_bridge
