// The last warning and error lines the bridge logged, kept for the status page: a small ring that
// any thread may add to and read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Qel_log {

struct TLogEntry {
  int64_t Time = 0; // seconds since the epoch (wall clock)
  bool Error = false;
  std::string Text; // the message without time, label and prefix, at most MaxText bytes
};

constexpr size_t LogHistoryLines = 12;
constexpr size_t LogHistoryMaxText = 300;

// Keeps one line, dropping the oldest when the ring is full.
void LogHistoryAdd(int64_t time, bool error, const char* text);
// The lines kept, oldest first.
std::vector<TLogEntry> LogHistoryRecent();
// Empties the ring (tests).
void LogHistoryClear();

} // namespace Qel_log
