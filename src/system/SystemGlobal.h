// The IS-09 System API's global configuration resource ("/x-nmos/system/v1.0/global"), read and checked:
// what the node takes from it and whether it is a resource the node can trust.
#pragma once

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// A syslog collector the system names; empty Host: none.
struct TSyslogTarget {
  std::string Host;
  uint16_t Port = 0;
  bool operator==(const TSyslogTarget& o) const { return Host == o.Host && Port == o.Port; }
  bool operator!=(const TSyslogTarget& o) const { return !(*this == o); }
};

struct TSystemGlobal {
  std::string ID;      // the system's id (a UUID)
  std::string Version; // "<seconds>:<nanoseconds>"
  std::string Label;
  unsigned HeartbeatInterval = 5;  // is04.heartbeat_interval, seconds, 1 to 1000
  unsigned PTPDomain = 0;          // ptp.domain_number, 0 to 127
  unsigned PTPAnnounceTimeout = 3; // ptp.announce_receipt_timeout, 2 to 10
  TSyslogTarget Syslog;            // "syslog": RFC 5424 over UDP, port 514 when not given
  TSyslogTarget SyslogV2;          // "syslogv2": RFC 5424 over TLS, port 6514 when not given
};

// Reads the body of a /global answer. False, with the first reason in `error`, when it is not JSON or
// breaks the resource's schema (types, required members, ranges, the id's and version's forms, a
// collector's host name or address).
bool ParseSystemGlobal(const std::string& body, TSystemGlobal& out, std::string& error);

// Whether text is a host name (letters, digits, '-' in labels of 1 to 63, at most 253 in all, an
// optional trailing dot), an IPv4 or an IPv6 address.
bool IsHostOrAddress(const std::string& text);

} // namespace Qel_nmos_bridge
