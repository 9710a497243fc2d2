#include "crc32.h"

static uint32_t Crc32Table[256];

void Crc32BuildTable() {
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    Crc32Table[n] = c;
  }
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; i++)
    crc = Crc32Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
