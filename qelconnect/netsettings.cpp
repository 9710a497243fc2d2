#include "netsettings.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#define SETTINGS_READ_MAX_LEN 25

NetSettingsAsk NetSettingsClassify(const Block& block, size_t* record_len) {
  *record_len = 0;
  if (block.Len <= 3 || GetBE32(block.Data) != SerialNumber) return NS_IGNORE;
  if (block.Len <= SETTINGS_READ_MAX_LEN) return NS_READ;
  *record_len = block.Len < QC_DATA_SIZE ? block.Len : QC_DATA_SIZE;
  return NS_CHANGE;
}

static uint32_t ParseAddress(const char* text, uint32_t invalid) {
  in_addr a;
  return inet_aton(text, &a) ? ntohl(a.s_addr) : invalid;
}

static void TakeSetting(NetSettings* s, const char* key, const char* value) {
  static const struct {
    const char* key;
    size_t offset;
    uint32_t invalid;
  } addresses[] = {{"IPADDR", offsetof(NetSettings, ip), 0},
                   {"IPMASK", offsetof(NetSettings, mask), 0},
                   {"BROADCAST", offsetof(NetSettings, broadcast), 0xFFFFFFFFu},
                   {"GATEWAY", offsetof(NetSettings, gateway), 0},
                   {"MAIL", offsetof(NetSettings, mail), 0},
                   {"TIME1", offsetof(NetSettings, time1), 0},
                   {"TIME2", offsetof(NetSettings, time2), 0},
                   {"TIME3", offsetof(NetSettings, time3), 0}};
  if (strcmp(key, "HOSTNAME") == 0) {
    snprintf(s->hostname, sizeof(s->hostname), "%s", value);
    return;
  }
  if (strcmp(key, "DHCPON") == 0) {
    s->dhcp = atoi(value);
    return;
  }
  for (const auto& a : addresses) {
    if (strcmp(key, a.key) == 0) {
      uint32_t v = ParseAddress(value, a.invalid);
      memcpy((char*)s + a.offset, &v, sizeof(v));
      return;
    }
  }
}

void NetSettingsParseIpconfig(FILE* f, NetSettings* s) {
  char line[SETTINGS_LINE_MAX + 2];
  while (fgets(line, sizeof(line), f)) {
    char* end = strchr(line, '\n');
    if (!end) {
      // Longer than a settings line (or the unfinished last line): skip the rest of it.
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      continue;
    }
    *end = 0;
    char* eq = strchr(line, '=');
    if (!eq) continue;
    *eq = 0;
    TakeSetting(s, line, eq + 1);
  }
}

void NetSettingsParseTZ(FILE* f, NetSettings* s) {
  char format[16];
  snprintf(format, sizeof(format), "%%%ds", SETTINGS_TZ_SIZE);
  if (fscanf(f, format, s->tz) != 1) s->tz[0] = 0;
}

static void PutAddress(uint8_t* p, uint32_t v) {
  PutBE32(p, v);
}

void NetSettingsToRecord(const NetSettings& s, uint8_t record[SETTINGS_RECORD_SIZE]) {
  memset(record, 0, SETTINGS_RECORD_SIZE);
  PutBE32(record, SerialNumber);
  memcpy(&record[4], s.hostname, strnlen(s.hostname, SETTINGS_HOSTNAME_SIZE));
  record[25] = (uint8_t)(s.dhcp != 0);
  PutAddress(&record[26], s.ip);
  PutAddress(&record[30], s.mask);
  PutAddress(&record[34], s.gateway);
  PutAddress(&record[38], s.broadcast);
  PutAddress(&record[42], s.mail);
  PutAddress(&record[46], s.time1);
  memcpy(&record[50], s.tz, strnlen(s.tz, SETTINGS_TZ_SIZE));
  PutAddress(&record[100], s.time2);
  PutAddress(&record[104], s.time3);
}

static void TakeText(char* out, const uint8_t* field, size_t size) {
  size_t len = strnlen((const char*)field, size);
  memcpy(out, field, len);
  out[len] = 0;
}

void NetSettingsMerge(const uint8_t* r, size_t len, const NetSettings& current, NetSettings* out) {
  *out = current;
  TakeText(out->hostname, &r[4], SETTINGS_HOSTNAME_SIZE);
  out->dhcp = r[25];
  if (len >= 30) out->ip = GetBE32(&r[26]);
  if (len >= 34) out->mask = GetBE32(&r[30]);
  out->broadcast = len >= 42 ? GetBE32(&r[38]) : (out->ip | ~out->mask);
  if (len >= 38) out->gateway = GetBE32(&r[34]);
  if (len >= 46) out->mail = GetBE32(&r[42]);
  if (len >= 50) out->time1 = GetBE32(&r[46]);
  if (len >= 100) TakeText(out->tz, &r[50], SETTINGS_TZ_SIZE);
  out->time2 = len >= 104 ? GetBE32(&r[100]) : 0;
  out->time3 = len >= 108 ? GetBE32(&r[104]) : 0;
}

bool NetSettingsTextSafe(const char* text, const char* extra_allowed) {
  for (const char* p = text; *p; p++) {
    if (!isalnum((unsigned char)*p) && !strchr(extra_allowed, *p)) return false;
  }
  return true;
}

bool NetSettingsValuesSafe(const NetSettings& s) {
  return NetSettingsTextSafe(s.hostname, "-._") && NetSettingsTextSafe(s.tz, "-._+,/:");
}

static const char* Dotted(uint32_t v, char* buf) {
  snprintf(buf, INET_ADDRSTRLEN, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  return buf;
}

void NetSettingsWriteIpconfig(FILE* f, const NetSettings& s) {
  char a[INET_ADDRSTRLEN];
  fprintf(f, "HOSTNAME=%s\n", s.hostname);
  fprintf(f, "IPADDR=%s\n", Dotted(s.ip, a));
  fprintf(f, "IPMASK=%s\n", Dotted(s.mask, a));
  fprintf(f, "BROADCAST=%s\n", Dotted(s.broadcast, a));
  fprintf(f, "GATEWAY=%s\n", Dotted(s.gateway, a));
  fprintf(f, "DHCPON=%d\n", s.dhcp);
  fprintf(f, "MAIL=%s\n", Dotted(s.mail, a));
  fprintf(f, "TIME1=%s\n", Dotted(s.time1, a));
  fprintf(f, "TIME2=%s\n", Dotted(s.time2, a));
  fprintf(f, "TIME3=%s\n", Dotted(s.time3, a));
  fprintf(f, "NTP=\"");
  const uint32_t servers[] = {s.time1, s.time2, s.time3};
  for (uint32_t t : servers)
    if (t != 0) fprintf(f, " -p %s", Dotted(t, a));
  fprintf(f, "\"\n");
}
