// The network-settings request: answer a read, write the settings files and apply them on a write.
#include "netsettings.h"
#include "raii.h"
#include "replacefile.h"

#include <mutex>
#include <stdlib.h>
#include <string.h>

#define IPCONFIG_PATH "/config/ipconfig"
#define TZ_PATH "/config/TZ"

// Requests come from every connection's thread and from the UDP thread. Changes are made one at a time, each
// on the whole result of the one before; readers need no lock, the files are only ever replaced whole.
static std::mutex SettingsChangeLock;

static void ReadCurrentSettings(NetSettings* s) {
  memset(s, 0, sizeof(*s));
  FilePtr ipconfig(fopen(IPCONFIG_PATH, "r"));
  if (ipconfig) NetSettingsParseIpconfig(ipconfig.get(), s);
  FilePtr tz(fopen(TZ_PATH, "r"));
  if (tz) NetSettingsParseTZ(tz.get(), s);
}

static bool WriteSettingsFile(const char* path, const NetSettings& s, bool ipconfig) {
  bool ok = ReplaceFile(path, true, [&](FILE* f) {
    if (ipconfig)
      NetSettingsWriteIpconfig(f, s);
    else
      fprintf(f, "%s\n", s.tz);
    return true;
  });
  if (!ok) LogMessage(0x80000000, 0xA0000000, "Can't write file %s", path);
  return ok;
}

static void ChangeSettings(const uint8_t* record, size_t len) {
  NetSettings current, next;
  ReadCurrentSettings(&current);
  NetSettingsMerge(record, len, current, &next);
  if (!NetSettingsValuesSafe(next)) {
    LogMessage(0x80000000, 0xA0000000, "SETIP refused: host name or time zone holds characters not allowed");
    return;
  }
  if (!WriteSettingsFile(IPCONFIG_PATH, next, true)) return;
  if (!WriteSettingsFile(TZ_PATH, next, false)) return;
  if (system("/etc/setip") < 0) perror("system()");
}

void NetSettingsRequest(Block& block) {
  LogMessage(0x80000000, 0x80000000, "SETIP source %d len %d\n", block.Source, block.Len);
  size_t len;
  NetSettingsAsk ask = NetSettingsClassify(block, &len);
  if (ask == NS_IGNORE) return;
  if (ask == NS_READ) {
    NetSettings current;
    ReadCurrentSettings(&current);
    NetSettingsToRecord(current, block.Data);
    block.Len = SETTINGS_RECORD_SIZE;
    SendBlock(block);
    return;
  }
  // The settings script runs under the lock too: two runs at once would apply the settings over each other.
  std::lock_guard<std::mutex> lock(SettingsChangeLock);
  ChangeSettings(block.Data, len);
}
