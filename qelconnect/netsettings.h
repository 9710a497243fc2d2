// Network settings: the settings record, "/config/ipconfig" and "/config/TZ".
#ifndef QELCONNECT_NETSETTINGS_H
#define QELCONNECT_NETSETTINGS_H

#include "qelconnect.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define SETTINGS_RECORD_SIZE 108
#define SETTINGS_HOSTNAME_SIZE 20
#define SETTINGS_TZ_SIZE 50
#define SETTINGS_LINE_MAX 80

// Addresses in host order (a.b.c.d is a << 24 | ... | d).
struct NetSettings {
  char hostname[SETTINGS_LINE_MAX + 1];
  int dhcp;
  uint32_t ip, mask, broadcast, gateway, mail, time1, time2, time3;
  char tz[SETTINGS_TZ_SIZE + 1];
};

void NetSettingsParseIpconfig(FILE* f, NetSettings* s);
void NetSettingsParseTZ(FILE* f, NetSettings* s);
void NetSettingsToRecord(const NetSettings& s, uint8_t record[SETTINGS_RECORD_SIZE]);
// Takes every field the record's length covers and keeps the others from current.
void NetSettingsMerge(const uint8_t* record, size_t len, const NetSettings& current, NetSettings* out);
// Both files are read by the device's shell scripts: only plain name characters are accepted.
bool NetSettingsTextSafe(const char* text, const char* extra_allowed);
bool NetSettingsValuesSafe(const NetSettings& s);
void NetSettingsWriteIpconfig(FILE* f, const NetSettings& s);

// What a request of the TCP block 0x9A000001 or of the UDP datagram 0xFE000001 (ID bytes removed) asks:
// nothing (too short, or for another device's serial), the current settings, or a change of them by the
// record that is the first `*record_len` bytes of the block's data.
enum NetSettingsAsk { NS_IGNORE, NS_READ, NS_CHANGE };
NetSettingsAsk NetSettingsClassify(const Block& block, size_t* record_len);

// Handles a request of the TCP block 0x9A000001 or of the UDP datagram 0xFE000001 (ID bytes removed).
void NetSettingsRequest(Block& block);

#endif
