#include "announce.h"
#include "raii.h"
#include "replacefile.h"

#include <stdio.h>
#include <string.h>

void AnnounceDeviceName(const char* ipconfig_path, uint32_t serial, char name[ANNOUNCE_NAME_SIZE + 1]) {
  FilePtr f(fopen(ipconfig_path, "r"));
  AnnounceDeviceNameFrom(f.get(), serial, name);
}

void AnnounceDeviceNameFrom(FILE* f, uint32_t serial, char name[ANNOUNCE_NAME_SIZE + 1]) {
  memset(name, 0, ANNOUNCE_NAME_SIZE + 1);
  char line[128];
  if (f && fgets(line, sizeof(line), f) && strncmp(line, "HOSTNAME=", 9) == 0 && strchr(line, '\n')) {
    const char* value = line + 9;
    size_t len = strcspn(value, " \t\r\n");
    if (len > 0) {
      memcpy(name, value, len < ANNOUNCE_NAME_SIZE ? len : ANNOUNCE_NAME_SIZE);
      return;
    }
  }
  snprintf(name, ANNOUNCE_NAME_SIZE + 1, "%02x-%02x-%02x", (serial >> 16) & 0xFF, (serial >> 8) & 0xFF,
           serial & 0xFF);
}

void BuildAnnounceRecord(uint32_t serial, const char* name, uint8_t out[ANNOUNCE_RECORD_SIZE]) {
  static const uint8_t head[12] = {0xFE, 0x06, 0x20, 0x05, 0x01, 0x00, 0x00, 0x2A, 0x01, 0x00, 0x00, 0x26};
  static const uint8_t model[9] = {0x01, 'M', 'o', 'n', ' ', 0x01, 0x06, 0x06, 0x06};
  static const uint8_t tail[5] = {0x07, 0x63, 0x00, 0x00, 0x12};
  memset(out, 0, ANNOUNCE_RECORD_SIZE);
  memcpy(out, head, sizeof(head));
  out[12] = (uint8_t)(serial >> 24);
  out[13] = (uint8_t)(serial >> 16);
  out[14] = (uint8_t)(serial >> 8);
  out[15] = (uint8_t)serial;
  memcpy(&out[16], model, sizeof(model));
  size_t len = strnlen(name, ANNOUNCE_NAME_SIZE);
  memcpy(&out[25], name, len);
  memcpy(&out[45], tail, sizeof(tail));
}

void WriteFirmwarePage(const char* path) {
  static const char page[] = "<?xml-stylesheet type=\"text/xsl\" href=\"kernel.xslt\"?>\n"
                             "<body>\n"
                             "<title>Firmware</title>\n"
                             "<values>\n"
                             "<value name=\"Firmware\"> not running</value>\n"
                             "</values>\n"
                             "</body>\n";
  ReplaceFile(path, false, [](FILE* f) { return fwrite(page, 1, sizeof(page) - 1, f) == sizeof(page) - 1; });
}
