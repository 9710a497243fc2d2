#include "Syslog.h"

#include "helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace Qel_nmos_bridge {

namespace {

constexpr int FacilityUser = 1;

// A header field: printable ASCII without spaces, at most `max` octets, "-" when empty.
std::string HeaderField(const std::string& text, size_t max) {
  std::string out;
  for (char c : text) {
    if (out.size() == max) break;
    out += (c > 32 && c < 127) ? c : '_';
  }
  return out.empty() ? std::string("-") : out;
}

// The length of text cut to at most max octets without splitting a UTF-8 sequence.
size_t UTF8Cut(const std::string& text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t cut = max;
  // Back up over continuation octets to the start of the sequence that does not fit.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return cut;
}

void Forward(int filter, const char* prefix, const char* message) {
  TSyslogForwarder::Instance().Send(filter, prefix, message);
}

} // namespace

int SyslogSeverity(int filter) {
  if (filter & QLLL_ERR) return 3;
  if (filter & QLLL_WARN) return 4;
  if (filter & QLLL_NOTICE) return 5;
  if (filter & QLLL_INFO) return 6;
  return 7;
}

std::string FormatSyslog(int filter, const timeval& when, const std::string& hostName,
                         const std::string& appName, long procID, const std::string& message,
                         size_t maxSize) {
  struct tm utc;
  const time_t seconds = static_cast<time_t>(when.tv_sec);
  gmtime_r(&seconds, &utc);
  char stamp[40];
  const size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(stamp + n, sizeof stamp - n, ".%06luZ", static_cast<unsigned long>(when.tv_usec) % 1000000UL);
  std::string out = "<" + std::to_string(FacilityUser * 8 + SyslogSeverity(filter)) + ">1 " + stamp + " " +
                    HeaderField(hostName, 255) + " " + HeaderField(appName, 48) + " " +
                    HeaderField(std::to_string(procID), 128) + " - - ";
  std::string body = message;
  for (char& c : body)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  if (out.size() >= maxSize) return out.substr(0, maxSize);
  out.append(body, 0, UTF8Cut(body, maxSize - out.size()));
  return out;
}

TSyslogForwarder& TSyslogForwarder::Instance() {
  // Never destroyed: threads may log while the process ends.
  static TSyslogForwarder* forwarder = [] {
    auto* f = new TSyslogForwarder();
    lws_log_setforward(Forward);
    return f;
  }();
  return *forwarder;
}

TSyslogForwarder::~TSyslogForwarder() {
  ClearTarget();
}

bool TSyslogForwarder::SetTarget(const sockaddr* address, socklen_t length) {
  if (!address || length > sizeof(sockaddr_storage) ||
      (address->sa_family != AF_INET && address->sa_family != AF_INET6))
    return false;
  const int fd = socket(address->sa_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int old = -1;
  {
    std::lock_guard<std::mutex> guard(Lock);
    old = Socket;
    Socket = fd;
    memcpy(&Target, address, length);
    TargetLength = length;
  }
  if (old >= 0) close(old);
  return true;
}

void TSyslogForwarder::ClearTarget() {
  int old = -1;
  {
    std::lock_guard<std::mutex> guard(Lock);
    old = Socket;
    Socket = -1;
    TargetLength = 0;
  }
  if (old >= 0) close(old);
}

bool TSyslogForwarder::HasTarget() {
  std::lock_guard<std::mutex> guard(Lock);
  return Socket >= 0;
}

void TSyslogForwarder::Send(int filter, const char* hostName, const char* message) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Socket < 0) return;
  }
  timeval now;
  gettimeofday(&now, nullptr);
  // The device's name once the firmware has told it, the machine's until then.
  char machine[256] = {};
  if (!hostName || !hostName[0]) {
    if (gethostname(machine, sizeof machine - 1) != 0) machine[0] = 0;
    hostName = machine;
  }
  const std::string datagram =
      FormatSyslog(filter, now, hostName, "nmos-bridge", static_cast<long>(getpid()), message ? message : "");
  std::lock_guard<std::mutex> guard(Lock);
  if (Socket < 0) return;
  const ssize_t sent = sendto(Socket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&Target), TargetLength);
  if (sent == static_cast<ssize_t>(datagram.size()))
    ++SentCount;
  else
    ++FailedCount;
}

uint64_t TSyslogForwarder::Sent() {
  std::lock_guard<std::mutex> guard(Lock);
  return SentCount;
}

uint64_t TSyslogForwarder::Failed() {
  std::lock_guard<std::mutex> guard(Lock);
  return FailedCount;
}

} // namespace Qel_nmos_bridge
