// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320) of transferred files.
#ifndef QELCONNECT_CRC32_H
#define QELCONNECT_CRC32_H

#include <stddef.h>
#include <stdint.h>

#define CRC32_INITIAL 0xFFFFFFFFu

void Crc32BuildTable();
// Continues a running checksum; the final value is the complement of the running one.
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t len);

#endif
