// What reaches the service daemon's UDP thread: datagrams from the network segment, announcement records
// from the firmware link, and the settings file the daemon's own announcement is built from. Input: a
// sequence of items, each a kind byte, a big-endian 16-bit length and that many bytes (cut at the end).
// Kind 0: a received datagram; kind 1: a firmware record (the 276-byte record, zero-filled when shorter);
// kind 2: three serial bytes and the content of the settings file.
#include "qelconnect.h"
#include "qelconnect_checks.h"

#include <string.h>

namespace {

void CheckDatagram(const uint8_t* data, size_t len) {
  Block block;
  memset(&block, 0x55, sizeof(block));
  DatagramRoute route = ParseDatagram(data, len, &block);
  if (len < 4 || len > QC_MAX_DATAGRAM) {
    FUZZ_CHECK(route == DG_DROP);
    return;
  }
  FUZZ_CHECK(block.Source == SOURCE_UDP && block.Reserved == 0);
  if (GetBE32(data) == ID_UDP_SETIP) {
    FUZZ_CHECK(route == DG_SETTINGS);
    FUZZ_CHECK(block.ID == ID_UDP_SETIP && block.Len == len - 4);
    FUZZ_CHECK(memcmp(block.Data, data + 4, len - 4) == 0);
    FuzzCheckSettingsRequest(block);
  } else {
    FUZZ_CHECK(route == DG_FIRMWARE);
    FUZZ_CHECK(block.ID == ID_FW_DATAGRAM && block.Len == len);
    FUZZ_CHECK(memcmp(block.Data, data, len) == 0);
  }
  for (size_t i = block.Len; i < sizeof(block.Data); i++)
    FUZZ_CHECK(block.Data[i] == 0);
}

void CheckFirmwareRecord(const uint8_t* data, size_t len) {
  Block block;
  memset(&block, 0, sizeof(block));
  if (len > 0) memcpy(&block, data, len < sizeof(block) ? len : sizeof(block));
  const char* why = nullptr;
  FwRecordAction action = ClassifyFirmwareRecord(block, &why);
  FUZZ_CHECK((action == FW_DROP) == (why != nullptr));
  if (action == FW_DROP) return;
  FUZZ_CHECK(block.Len <= QC_DATA_SIZE);
  switch (action) {
  case FW_ANNOUNCE: {
    FUZZ_CHECK(block.ID == ID_FW_ANNOUNCE && block.Len <= QC_MAX_ANNOUNCE);
    SetAnnounceFromFirmware(block.Data, block.Len);
    // The record is given back whole, and never more of it than the reader has room for.
    uint8_t out[QC_MAX_ANNOUNCE + 1];
    out[QC_MAX_ANNOUNCE] = 0xA5;
    FUZZ_CHECK(CopyAnnounceRecord(out, QC_MAX_ANNOUNCE) == block.Len);
    FUZZ_CHECK(memcmp(out, block.Data, block.Len) == 0 && out[QC_MAX_ANNOUNCE] == 0xA5);
    size_t small = block.Len / 2;
    out[small] = 0xA5;
    FUZZ_CHECK(CopyAnnounceRecord(out, small) == small && out[small] == 0xA5);
    // The answer to the TCP block 0x9A000004 takes it into a block's data.
    Block answer;
    memset(&answer, 0, sizeof(answer));
    answer.Len = (uint16_t)CopyAnnounceRecord(answer.Data, sizeof(answer.Data));
    FUZZ_CHECK(answer.Len == block.Len);
    break;
  }
  case FW_BROADCAST:
    FUZZ_CHECK(block.ID == ID_FW_BROADCAST && block.Len <= QC_MAX_DATAGRAM);
    break;
  case FW_LOG: {
    FUZZ_CHECK(block.ID == ID_FW_LOG && block.Len >= FW_LOG_HEADER);
    char text[QC_DATA_SIZE - FW_LOG_HEADER + 1];
    FirmwareLogText(block, text);
    FUZZ_CHECK(strlen(text) <= (size_t)block.Len - FW_LOG_HEADER);
    break;
  }
  default:
    FUZZ_CHECK(block.ID != ID_FW_ANNOUNCE && block.ID != ID_FW_BROADCAST && block.ID != ID_FW_LOG);
    break;
  }
}

void CheckSettingsFile(const uint8_t* data, size_t len) {
  if (len < 3) return;
  uint32_t serial = (uint32_t)data[0] << 16 | (uint32_t)data[1] << 8 | data[2];
  FuzzCheckAnnounce(data + 3, len - 3, serial, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SerialNumber = FUZZ_SERIAL;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (size - pos >= 3) {
    uint8_t kind = data[pos];
    size_t len = (size_t)data[pos + 1] << 8 | data[pos + 2];
    pos += 3;
    if (len > size - pos) len = size - pos;
    // Each item has a buffer of its own size: a read past it is a fault.
    std::vector<uint8_t> item(data + pos, data + pos + len);
    pos += len;
    switch (kind % 3) {
    case 0:
      CheckDatagram(item.data(), item.size());
      break;
    case 1:
      CheckFirmwareRecord(item.data(), item.size());
      break;
    default:
      CheckSettingsFile(item.data(), item.size());
      break;
    }
  }
  return 0;
}
