// Checks shared by the service daemon's fuzz targets: a failed one aborts with its condition, and a
// network-settings request is followed through everything of it that has no effect on the system.
#ifndef FUZZ_QELCONNECT_CHECKS_H
#define FUZZ_QELCONNECT_CHECKS_H

#include "announce.h"
#include "framereader.h"
#include "netsettings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

#define FUZZ_CHECK(cond)                                                                                     \
  do {                                                                                                       \
    if (!(cond)) {                                                                                           \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                               \
      abort();                                                                                               \
    }                                                                                                        \
  } while (0)

// The serial the targets' device has; seeds and dictionaries carry it.
#define FUZZ_SERIAL 0x123456u

// The settings files of a device as the tests set them up.
static const char FuzzIpconfig[] = "HOSTNAME=desk\nIPADDR=10.77.0.1\nIPMASK=255.255.0.0\n"
                                   "BROADCAST=10.77.255.255\nGATEWAY=10.77.0.254\nDHCPON=0\n"
                                   "MAIL=0.0.0.0\nTIME1=0.0.0.0\nTIME2=0.0.0.0\nTIME3=0.0.0.0\n";
static const char FuzzTZ[] = "CET-1CEST\n";

// Settings parsed from text in memory (empty text: no file).
inline void FuzzParseSettings(const void* ipconfig, size_t ipconfig_len, const void* tz, size_t tz_len,
                              NetSettings* s) {
  memset(s, 0, sizeof(*s));
  if (ipconfig_len > 0) {
    FILE* f = fmemopen(const_cast<void*>(ipconfig), ipconfig_len, "r");
    FUZZ_CHECK(f);
    NetSettingsParseIpconfig(f, s);
    fclose(f);
  }
  if (tz_len > 0) {
    FILE* f = fmemopen(const_cast<void*>(tz), tz_len, "r");
    FUZZ_CHECK(f);
    NetSettingsParseTZ(f, s);
    fclose(f);
  }
  FUZZ_CHECK(strlen(s->hostname) <= SETTINGS_LINE_MAX);
  FUZZ_CHECK(strlen(s->tz) <= SETTINGS_TZ_SIZE);
}

// What a writer callback puts into a file, kept in memory.
template <typename Write> std::vector<char> FuzzWritten(Write write) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  FUZZ_CHECK(f);
  write(f);
  FUZZ_CHECK(fclose(f) == 0);
  std::vector<char> out(buf, buf + len);
  free(buf);
  return out;
}

// The announced device name and record from a settings file's content.
inline void FuzzCheckAnnounce(const void* ipconfig, size_t len, uint32_t serial, const char* expected_name) {
  char name[ANNOUNCE_NAME_SIZE + 1];
  memset(name, 0x55, sizeof(name));
  FILE* f = len > 0 ? fmemopen(const_cast<void*>(ipconfig), len, "r") : nullptr;
  AnnounceDeviceNameFrom(f, serial, name);
  if (f) fclose(f);
  FUZZ_CHECK(name[ANNOUNCE_NAME_SIZE] == 0);
  size_t n = strlen(name);
  FUZZ_CHECK(n > 0 && n <= ANNOUNCE_NAME_SIZE);
  if (expected_name) FUZZ_CHECK(strcmp(name, expected_name) == 0);
  uint8_t record[ANNOUNCE_RECORD_SIZE + 1];
  record[ANNOUNCE_RECORD_SIZE] = 0xA5;
  BuildAnnounceRecord(serial, name, record);
  FUZZ_CHECK(record[ANNOUNCE_RECORD_SIZE] == 0xA5); // the record has its fixed size
  FUZZ_CHECK(record[0] == 0xFE && GetBE32(&record[12]) == serial);
  FUZZ_CHECK(memcmp(&record[25], name, n) == 0);
  for (size_t i = 25 + n; i < 45; i++)
    FUZZ_CHECK(record[i] == 0);
}

inline bool FuzzSameSettingsFile(const NetSettings& a, const NetSettings& b) {
  return strcmp(a.hostname, b.hostname) == 0 && a.dhcp == b.dhcp && a.ip == b.ip && a.mask == b.mask &&
         a.broadcast == b.broadcast && a.gateway == b.gateway && a.mail == b.mail && a.time1 == b.time1 &&
         a.time2 == b.time2 && a.time3 == b.time3;
}

// A request of the TCP block 0x9A000001 or of the UDP datagram 0xFE000001 (ID bytes removed), as the
// daemon takes it: a read is answered from settings parsed out of the request itself, a change is merged
// into the test device's settings and, when accepted, written to memory and read back.
inline void FuzzCheckSettingsRequest(const Block& block) {
  size_t len = 99999;
  NetSettingsAsk ask = NetSettingsClassify(block, &len);
  if (ask == NS_IGNORE) {
    FUZZ_CHECK(len == 0);
    FUZZ_CHECK(block.Len <= 3 || GetBE32(block.Data) != SerialNumber);
    return;
  }
  FUZZ_CHECK(block.Len >= 4 && GetBE32(block.Data) == SerialNumber);
  if (ask == NS_READ) {
    FUZZ_CHECK(len == 0);
    // Whatever the files hold, the answer is one record that fits a frame and a datagram.
    size_t half = block.Len / 2;
    NetSettings current;
    FuzzParseSettings(block.Data, half, block.Data + half, block.Len - half, &current);
    Block answer = block;
    NetSettingsToRecord(current, answer.Data);
    answer.Len = SETTINGS_RECORD_SIZE;
    FUZZ_CHECK(answer.Len <= QC_MAX_FRAME_PAYLOAD && answer.Len <= QC_MAX_DATAGRAM - 4);
    FUZZ_CHECK(GetBE32(answer.Data) == SerialNumber);
    for (size_t i = 4 + strnlen(current.hostname, SETTINGS_HOSTNAME_SIZE); i < 25; i++)
      FUZZ_CHECK(answer.Data[i] == 0);
    return;
  }
  FUZZ_CHECK(len > 25 && len <= QC_DATA_SIZE && len <= block.Len);
  // Exactly the record's bytes: a read behind its length is a fault.
  std::vector<uint8_t> record(block.Data, block.Data + len);
  NetSettings current, next;
  FuzzParseSettings(FuzzIpconfig, sizeof(FuzzIpconfig) - 1, FuzzTZ, sizeof(FuzzTZ) - 1, &current);
  NetSettingsMerge(record.data(), record.size(), current, &next);
  FUZZ_CHECK(strlen(next.hostname) <= SETTINGS_HOSTNAME_SIZE);
  FUZZ_CHECK(strlen(next.tz) <= SETTINGS_TZ_SIZE);
  if (!NetSettingsValuesSafe(next)) return;
  // What is written is read back the same, by the settings parser and by the announcement.
  std::vector<char> ipconfig = FuzzWritten([&](FILE* f) { NetSettingsWriteIpconfig(f, next); });
  std::vector<char> tz = FuzzWritten([&](FILE* f) { fprintf(f, "%s\n", next.tz); });
  NetSettings back;
  FuzzParseSettings(ipconfig.data(), ipconfig.size(), tz.data(), tz.size(), &back);
  FUZZ_CHECK(FuzzSameSettingsFile(back, next));
  FUZZ_CHECK(strcmp(back.tz, next.tz) == 0);
  char name[ANNOUNCE_NAME_SIZE + 1] = {0};
  if (next.hostname[0])
    memcpy(name, next.hostname, strnlen(next.hostname, ANNOUNCE_NAME_SIZE));
  else
    snprintf(name, sizeof(name), "%02x-%02x-%02x", (SerialNumber >> 16) & 0xFF, (SerialNumber >> 8) & 0xFF,
             SerialNumber & 0xFF);
  FuzzCheckAnnounce(ipconfig.data(), ipconfig.size(), SerialNumber, name);
}

#endif
