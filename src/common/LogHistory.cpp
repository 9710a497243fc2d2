#include "LogHistory.h"

#include <cstring>
#include <deque>
#include <mutex>

namespace Qel_log {

namespace {

std::mutex HistoryLock;
std::deque<TLogEntry>& History() {
  static std::deque<TLogEntry> history;
  return history;
}

} // namespace

void LogHistoryAdd(int64_t time, bool error, const char* text) {
  TLogEntry entry;
  entry.Time = time;
  entry.Error = error;
  if (text) entry.Text.assign(text, strnlen(text, LogHistoryMaxText));
  std::lock_guard<std::mutex> lock(HistoryLock);
  std::deque<TLogEntry>& history = History();
  if (history.size() >= LogHistoryLines) history.pop_front();
  history.push_back(std::move(entry));
}

std::vector<TLogEntry> LogHistoryRecent() {
  std::lock_guard<std::mutex> lock(HistoryLock);
  return std::vector<TLogEntry>(History().begin(), History().end());
}

void LogHistoryClear() {
  std::lock_guard<std::mutex> lock(HistoryLock);
  History().clear();
}

} // namespace Qel_log
