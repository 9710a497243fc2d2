// Shared declarations of the device service daemon: the block record, the connection slot table and the
// process-wide state that the daemon's threads share.
#ifndef QELCONNECT_QELCONNECT_H
#define QELCONNECT_QELCONNECT_H

#include "raii.h"

#include <atomic>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#define QC_TCP_PORT 3008
#define QC_UDP_PORT 2009
#define QC_IFNAME "ext0"
#define QC_FWS_PATH "/tmp/fws"
#define QC_MAX_CONNECTIONS 10
#define QC_FILE_HANDLES 5
#define QC_DATA_SIZE 268
#define QC_MAX_FRAME_PAYLOAD 255
#define QC_MAX_DATAGRAM 266
#define QC_MAX_ANNOUNCE 265
#define QC_NAME_MAX 252

// Block identifiers of the TCP protocol and of the firmware link.
#define ID_FILE_DATA 0x98000000u
#define ID_START_TRANSFER 0x99000000u
#define ID_END_TRANSFER 0x99000001u
#define ID_REBOOT 0x9A000000u
#define ID_NET_SETTINGS 0x9A000001u
#define ID_LOG_LINE 0x9A000002u
#define ID_SET_LOG_LEVEL 0x9A000003u
#define ID_READ_ANNOUNCE 0x9A000004u
#define ID_FW_ANNOUNCE 0x40100002u
#define ID_FW_DATAGRAM 0x40100003u
#define ID_FW_BROADCAST 0x40100004u
#define ID_FW_LOG 0x40100005u
#define ID_UDP_SETIP 0xFE000001u
#define ID_UDP_LOG 0xFE000002u

// Routing values of Block::Source.
#define SOURCE_ALL_TCP 0
#define SOURCE_UDP 5
#define SOURCE_TCP_FIRST 10

// The unit of internal routing and of the firmware link, in host byte order.
struct Block {
  uint16_t Len;
  uint8_t Source;
  uint8_t Reserved;
  uint32_t ID;
  uint8_t Data[QC_DATA_SIZE];
};
static_assert(sizeof(Block) == 276, "the firmware link exchanges 276-byte records");

struct FileHandle {
  char mode; // 'r', 'w' or 0 (free)
  FilePtr lfp;
  uint32_t size;
  char name[QC_NAME_MAX + 1];
  uint32_t position;
  int state;
  uint32_t crc;
};

enum { FT_IDLE = 0, FT_SENDING = 1, FT_RECEIVING = 2, FT_SENT = 4 };

struct Connection {
  std::atomic<int> fd;
  std::atomic<int> running;
  std::atomic<uint16_t> errors;
  std::atomic<unsigned> log_level;
  sockaddr_in peer;
  std::atomic<int32_t> rx_bytes, tx_bytes, rx_blocks, tx_blocks;
  pthread_mutex_t write_lock; // one frame at a time on the socket; also guards fd against reuse
  FileHandle FileHandles[QC_FILE_HANDLES];
};

struct TrafficCounters {
  std::atomic<int32_t> tx, rx, txb, rxb;
};

extern Connection Connections[QC_MAX_CONNECTIONS];
extern std::atomic<int> running;
extern uint32_t SerialNumber;
extern int BoardType;
extern TrafficCounters UdpTraffic;
extern TrafficCounters FwTraffic;
extern std::atomic<int> BCSocket;
extern std::atomic<int> FwClientSocket;

// Standard error lines carry the source file, line and function of their origin.
const char* SourceName(const char* path);
#define ERRPRINT(...)                                                                                        \
  do {                                                                                                       \
    fprintf(stderr, "%s:%d (%s): ", SourceName(__FILE__), __LINE__, __func__);                               \
    fprintf(stderr, __VA_ARGS__);                                                                            \
  } while (0)

// Big-endian helpers for payload fields.
static inline uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
static inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}
static inline void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)(v >> 8);
  p[1] = (uint8_t)v;
}

// logmsg.cpp
void LogMessage(int32_t level, uint32_t flags, const char* format, ...) __attribute__((format(printf, 3, 4)));
void OpenSystemLog();

// extconnect.cpp
void InitConnection(int slot);
void InitConnections();
void CreateExtThread(int fd, const sockaddr_in& peer);
bool SendBlock2Net(const Block& block, int slot);
void SendBlock(const Block& block);
void ProcessBlock(Block& block);
bool WaitConnectionsClosed(int timeout_ms);

// fwlink.cpp
bool WriteToFirmware(const Block& block);
// What the daemon does with a record from the firmware; `why` tells why one is dropped.
enum FwRecordAction { FW_DROP, FW_ANNOUNCE, FW_BROADCAST, FW_LOG, FW_ROUTE };
FwRecordAction ClassifyFirmwareRecord(const Block& block, const char** why);
#define FW_LOG_HEADER 8
// The text of a log record (FW_LOG): the bytes behind its level and flags, ended by a NUL.
void FirmwareLogText(const Block& block, char text[QC_DATA_SIZE - FW_LOG_HEADER + 1]);
void* FwThreadFunc(void*);
bool FwThreadDone();

// udp.cpp
void* UdpThreadFunc(void*);
// A received datagram as a block: settings requests (ID bytes removed) go to the settings, every other
// datagram whole to the firmware as ID_FW_DATAGRAM. Shorter than an ID or longer than a datagram: dropped.
enum DatagramRoute { DG_DROP, DG_SETTINGS, DG_FIRMWARE };
DatagramRoute ParseDatagram(const uint8_t* data, size_t len, Block* block);
bool SendDatagram(const uint8_t* data, size_t len);
bool UdpThreadDone();
void SetAnnounceFromFirmware(const uint8_t* data, size_t len);
size_t CopyAnnounceRecord(uint8_t* out, size_t max);

// statuspage.cpp
void WriteConnectionStatus();

#endif
