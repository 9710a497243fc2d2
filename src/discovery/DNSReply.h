// The records of a DNS reply that DNS-SD browsing reads: PTR, SRV, TXT and A, each with its owner name
// and TTL, from every section of the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Qel_nmos_bridge {

enum TDNSType : uint16_t { DNSTypeA = 1, DNSTypePTR = 12, DNSTypeTXT = 16, DNSTypeSRV = 33 };

struct TDNSRecord {
  std::string Name; // owner name, without the trailing dot
  uint16_t Type = 0;
  uint32_t TTL = 0;
  std::string Target;            // PTR: the name pointed to; SRV: the target host (no trailing dot)
  uint16_t Priority = 0;         // SRV
  uint16_t Weight = 0;           // SRV
  uint16_t Port = 0;             // SRV
  std::vector<std::string> Text; // TXT: the character strings, in order
  uint32_t Address = 0;          // A: the IPv4 address in network order
};

struct TDNSReply {
  bool Valid = false; // a well-formed response
  uint8_t RCode = 0;  // 0 no error, 3 the name does not exist
  std::vector<TDNSRecord> Records;
};

// Reads a whole DNS message (as a resolver hands it over). Records of other types or classes are
// skipped; a message that is truncated, has a compression loop or a name over 255 bytes is not valid.
TDNSReply ParseDNSReply(const unsigned char* data, size_t size);

// Whether two DNS names are the same, without regard to ASCII case.
bool SameDNSName(const std::string& a, const std::string& b);

} // namespace Qel_nmos_bridge
