#include "helpers.h"

#include "LogHistory.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <atomic>

namespace {

constexpr size_t LogBufferSize = 32767;
constexpr size_t LogPrefixSize = 100;
const char* const TruncatedSuffix = " < TRUNCATED > ";

// Written by the worker, read by every thread: each byte is atomic so a reader sees old or new text
// (possibly mixed for one line while it changes), never a torn byte or a missing terminator.
std::atomic<char> LogPrefix[LogPrefixSize];
std::atomic<TLogForward> LogForward{nullptr};

void CopyPrefix(char* out) {
  size_t i = 0;
  for (; i + 1 < LogPrefixSize; ++i) {
    out[i] = LogPrefix[i].load(std::memory_order_relaxed);
    if (!out[i]) break;
  }
  out[i] = 0;
}

// A key that kbhit() has read and getch() has not yet returned (main thread only).
int PendingKey = -1;

// Keys are only read when we own the terminal: a background process or one under a service manager
// would otherwise be stopped by SIGTTIN, or spin on an end of file.
bool OwnsTerminal() {
  if (!isatty(STDIN_FILENO)) return false;
  pid_t fg = tcgetpgrp(STDIN_FILENO);
  return fg != -1 && fg == getpgrp();
}

// Label text for a level, with its ANSI colour.
const char* ColorMapping(int level) {
  if (level & QLLL_JSONDIFF) return "\033[37;42m#### \033[0m";
  if (level & QLLL_ERR) return "\033[1;31mERROR\033[0m";
  if (level & QLLL_WARN) return "\033[1;33mWARN \033[0m";
  if (level & QLLL_NOTICE) return "\033[1mINFO \033[0m";
  if (level & QLLL_INFO) return "\033[1mNOTE \033[0m";
  return "DEBUG";
}

// The same label without colour, for logs that go to a file or a pipe.
const char* PlainLabel(int level) {
  if (level & QLLL_JSONDIFF) return "#### ";
  if (level & QLLL_ERR) return "ERROR";
  if (level & QLLL_WARN) return "WARN ";
  if (level & QLLL_NOTICE) return "INFO ";
  if (level & QLLL_INFO) return "NOTE ";
  return "DEBUG";
}

} // namespace

void lws_log(int filter, const char* format, ...) {
  if (!(filter & (QLLL_ERR | QLLL_WARN))) return;

  char buf[LogBufferSize];
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  localtime_r(&tv.tv_sec, &local);
  size_t len = strftime(buf, sizeof buf, "%F %T", &local);

  char prefix[LogPrefixSize];
  CopyPrefix(prefix);
  // Colours are for a person at a terminal; a log file or a pipe gets the plain label. Asked at every
  // line, as standard output may be redirected while the program runs.
  const char* label = isatty(STDOUT_FILENO) ? ColorMapping(filter) : PlainLabel(filter);
  int n = snprintf(buf + len, sizeof buf - len, ".%06lu %s ", static_cast<unsigned long>(tv.tv_usec), label);
  bool truncated = n < 0;
  if (n > 0) len += static_cast<size_t>(n);
  if (!truncated && prefix[0]) {
    n = snprintf(buf + len, sizeof buf - len, "%s ", prefix);
    truncated = n < 0;
    if (n > 0) len += static_cast<size_t>(n);
  }
  const char* message = "";
  const size_t messageStart = len < sizeof buf ? len : sizeof buf - 1;
  if (!truncated && len < sizeof buf) {
    message = buf + len;
    va_list args;
    va_start(args, format);
    n = vsnprintf(buf + len, sizeof buf - len, format, args);
    va_end(args);
    truncated = n < 0 || static_cast<size_t>(n) >= sizeof buf - len;
  } else {
    truncated = true;
  }
  buf[sizeof buf - 1] = 0;
  Qel_log::LogHistoryAdd(static_cast<int64_t>(tv.tv_sec), (filter & QLLL_ERR) != 0, message);
  printf("%s%s\n", buf, truncated ? TruncatedSuffix : "");
  fflush(stdout);
  if (TLogForward forward = LogForward.load(std::memory_order_acquire))
    forward(filter, prefix, buf + messageStart);
}

void lws_log_setforward(TLogForward forward) {
  LogForward.store(forward, std::memory_order_release);
}

void lws_log_setprefix(const char* prefix) {
  size_t i = 0;
  if (prefix)
    for (; i + 1 < LogPrefixSize && prefix[i]; ++i)
      LogPrefix[i].store(prefix[i], std::memory_order_relaxed);
  LogPrefix[i].store(0, std::memory_order_relaxed);
}

bool kbhit() {
  if (!OwnsTerminal()) return false;
  struct termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  struct termios raw = saved;
  raw.c_lflag = 0;
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  char c = 0;
  ssize_t n = read(STDIN_FILENO, &c, 1);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (n != 1) return false;
  // Keep the key for getch(): pushing it back into the terminal is not allowed on every kernel.
  PendingKey = static_cast<unsigned char>(c);
  return true;
}

int getch() {
  if (PendingKey >= 0) {
    int c = PendingKey;
    PendingKey = -1;
    return c;
  }
  if (!OwnsTerminal()) return -1;
  struct termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  unsigned char c = 0;
  ssize_t n = read(STDIN_FILENO, &c, 1);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return n == 1 ? c : -1;
}

bool IsUUID(const std::string& text) {
  uuid_t parsed;
  return text.size() == 36 && uuid_parse(text.c_str(), parsed) == 0;
}

int64_t MonotonicSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t MonotonicMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t GetInterfaceAddr(const char* name) {
  if (strlen(name) >= IFNAMSIZ) {
    lws_log(QLLL_ERR, "GetInterfaceAddr: Interface name is too long : %s", name);
    return 0;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    lws_log(QLLL_ERR, "GetInterfaceAddr: Error: %s (%s)", strerror(errno), name);
    return 0;
  }
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  ifr.ifr_addr.sa_family = AF_INET;
  if (ioctl(fd, SIOCGIFADDR, &ifr) != 0) {
    lws_log(QLLL_ERR, "GetInterfaceAddr: %s (%s)", strerror(errno), name);
    close(fd);
    return 0;
  }
  close(fd);
  uint32_t addr = reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr)->sin_addr.s_addr;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
  lws_log(QLLL_INFO, "GetInterfaceAddr: IF %s = %d.%d.%d.%d", name, b[0], b[1], b[2], b[3]);
  return addr;
}

uint32_t TMeassureCycle::Fold(uint32_t counter, uint64_t elapsedMs) {
  double next =
      static_cast<double>(counter) - static_cast<double>(counter >> 6) - 0.5 + static_cast<double>(elapsedMs);
  if (next <= 0) return 0;
  return static_cast<uint32_t>(next);
}

TMeassureCycle::~TMeassureCycle() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  CycleTime = Fold(CycleTime, ms > 0 ? static_cast<uint64_t>(ms) : 0);
}
