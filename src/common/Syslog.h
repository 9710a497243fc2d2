// The program's log lines as RFC 5424 syslog messages over UDP (RFC 5426), to one collector that the
// System API names. Lines are sent from whichever thread logs them, without blocking it.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace Qel_nmos_bridge {

// The largest datagram sent (RFC 5426 asks every receiver to take 2048 octets); longer messages are cut.
constexpr size_t SyslogMaxDatagram = 2048;

// Severity of a log filter: error 3, warning 4, notice 5, informational 6, anything else debug 7.
int SyslogSeverity(int filter);

// "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID - - MSG": facility user (1), the time in UTC with
// microseconds, "-" for a missing host name; header fields are cut to their RFC 5424 lengths with
// anything that is not printable ASCII (or a space) replaced by '_', and control characters of the
// message by spaces. At most maxSize octets, a UTF-8 sequence never cut in the middle.
std::string FormatSyslog(int filter, const timeval& when, const std::string& hostName,
                         const std::string& appName, long procID, const std::string& message,
                         size_t maxSize = SyslogMaxDatagram);

// The collector lines go to, one per process (the log function is). Thread-safe.
class TSyslogForwarder {
public:
  static TSyslogForwarder& Instance();

  // Lines logged from now on go to this address (IPv4 or IPv6); false when no socket can be made.
  bool SetTarget(const sockaddr* address, socklen_t length);
  void ClearTarget();
  bool HasTarget();
  // One line, from the log function; lost when the socket's buffer is full.
  void Send(int filter, const char* hostName, const char* message);

  uint64_t Sent();
  uint64_t Failed();

  TSyslogForwarder(const TSyslogForwarder&) = delete;
  TSyslogForwarder& operator=(const TSyslogForwarder&) = delete;

private:
  TSyslogForwarder() = default;
  ~TSyslogForwarder();

  std::mutex Lock;
  int Socket = -1;
  sockaddr_storage Target{};
  socklen_t TargetLength = 0;
  uint64_t SentCount = 0, FailedCount = 0;
};

} // namespace Qel_nmos_bridge
