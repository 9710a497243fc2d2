// Small shared pieces of nmos-bridge: the logging function with its level bits, console key input,
// the IPv4 address of a network interface and the scope timer behind every "Cycletime" statistic.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

enum qel_lws_log_levels {
  QLLL_ERR = 1 << 0,
  QLLL_WARN = 1 << 1,
  QLLL_NOTICE = 1 << 2,
  QLLL_INFO = 1 << 3,
  QLLL_DEBUG = 1 << 4,
  QLLL_PARSER = 1 << 5,
  QLLL_HEADER = 1 << 6,
  QLLL_EXT = 1 << 7,
  QLLL_CLIENT = 1 << 8,
  QLLL_LATENCY = 1 << 9,
  QLLL_USER = 1 << 10,
  QLLL_MACHINE_BASE = 1 << 10,
  QLLL_CURL_BASE = 1 << 11,
  QLLL_NMOS_BASE = 1 << 12,
  QLLL_JSONDIFF = 1 << 13,
  QLLL_HTTP = 1 << 14,
  QLLL_LWSHANDLER = 1 << 15,
  QLLL_REST = 1 << 16,
  QLLL_AVAHI = 1 << 17,
  QLLL_COUNT = 18
};

// Every line of the program goes through here. Only lines whose filter holds the error or warning bit
// are printed (on stdout, with local time, microseconds, the level's label and the log prefix). The label
// is coloured only while standard output is a terminal.
void lws_log(int filter, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The prefix (the device's host name) put before every line; at most 99 characters are kept.
void lws_log_setprefix(const char* prefix);
// A function that gets every printed line as well (its filter, the prefix and the message without time
// and label), on the thread that logs; null: none. It must not log itself.
using TLogForward = void (*)(int filter, const char* prefix, const char* message);
void lws_log_setforward(TLogForward forward);

// Whether a key waits on standard input. Only looks when standard input is a terminal and this
// process is in its foreground process group; otherwise there is never a key.
bool kbhit();
// The next key from standard input, unechoed; -1 when none can be read.
int getch();

// Seconds of the monotonic clock: deadlines and intervals are measured with it, so that a step of the
// wall clock (NTP, PTP, an operator) neither fires nor stalls them.
// Whether text is a UUID in its 36-character form (as every NMOS identifier is), and nothing more.
bool IsUUID(const std::string& text);

int64_t MonotonicSeconds();
int64_t MonotonicMilliseconds();

// IPv4 address of an interface in network byte order, or 0 (the reason is logged).
uint32_t GetInterfaceAddr(const char* name);

// Scope timer: on leaving the scope folds the elapsed whole milliseconds into `CycleTime` as a moving
// average with weight 1/64, so the counter settles at about 64 times the mean time in milliseconds.
class TMeassureCycle {
public:
  explicit TMeassureCycle(uint32_t& cycleTime)
      : start(std::chrono::steady_clock::now()), CycleTime(cycleTime) {}
  ~TMeassureCycle();
  TMeassureCycle(const TMeassureCycle&) = delete;
  TMeassureCycle& operator=(const TMeassureCycle&) = delete;

  // The fold itself, kept apart so that it can be checked without waiting.
  static uint32_t Fold(uint32_t counter, uint64_t elapsedMs);

private:
  std::chrono::steady_clock::time_point start;
  uint32_t& CycleTime;
};
