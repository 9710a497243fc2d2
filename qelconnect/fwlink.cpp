// The "FW" thread: the link to the local firmware process over the Unix socket "/tmp/fws".
#include "io.h"
#include "qelconnect.h"
#include "raii.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static pthread_mutex_t FwWriteLock = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<bool> FwDone{false};

bool WriteToFirmware(const Block& block) {
  pthread_mutex_lock(&FwWriteLock);
  int fd = FwClientSocket.load();
  bool ok = fd >= 0 && WriteFully(fd, &block, sizeof(block));
  // A record cut short would shift every later one: the link is dropped and the firmware reconnects.
  if (!ok && fd >= 0) shutdown(fd, SHUT_RDWR);
  pthread_mutex_unlock(&FwWriteLock);
  if (ok) {
    FwTraffic.tx++;
    FwTraffic.txb += (int32_t)sizeof(block);
  }
  return ok;
}

static void DropRecord(const Block& block, const char* why) {
  LogMessage(0x80000005, 0xA0000000, "dropped firmware record 0x%08x len %u: %s", block.ID, block.Len, why);
}

void FirmwareLogText(const Block& block, char text[QC_DATA_SIZE - FW_LOG_HEADER + 1]) {
  size_t len = block.Len - FW_LOG_HEADER;
  memcpy(text, &block.Data[FW_LOG_HEADER], len);
  text[len] = 0;
}

static FwRecordAction Drop(const char** why, const char* reason) {
  *why = reason;
  return FW_DROP;
}

FwRecordAction ClassifyFirmwareRecord(const Block& block, const char** why) {
  *why = nullptr;
  if (block.Len > QC_DATA_SIZE) return Drop(why, "length exceeds the record");
  switch (block.ID) {
  case ID_FW_ANNOUNCE:
    if (block.Len > QC_MAX_ANNOUNCE) return Drop(why, "announce record too long");
    return FW_ANNOUNCE;
  case ID_FW_BROADCAST:
    if (block.Len > QC_MAX_DATAGRAM) return Drop(why, "datagram too long");
    return FW_BROADCAST;
  case ID_FW_LOG:
    if (block.Len < FW_LOG_HEADER) return Drop(why, "too short");
    return FW_LOG;
  default:
    return FW_ROUTE;
  }
}

static void DispatchFirmwareRecord(Block& block) {
  const char* why;
  switch (ClassifyFirmwareRecord(block, &why)) {
  case FW_DROP:
    DropRecord(block, why);
    break;
  case FW_ANNOUNCE:
    SetAnnounceFromFirmware(block.Data, block.Len);
    break;
  case FW_BROADCAST:
    SendDatagram(block.Data, block.Len);
    break;
  case FW_LOG: {
    char text[QC_DATA_SIZE - FW_LOG_HEADER + 1];
    FirmwareLogText(block, text);
    LogMessage((int32_t)GetBE32(block.Data), GetBE32(&block.Data[4]), "%s", text);
    break;
  }
  case FW_ROUTE:
    SendBlock(block);
    break;
  }
}

static int OpenFirmwareListener() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    perror("updd: socket() on fwl");
    return -1;
  }
  unlink(QC_FWS_PATH);
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", QC_FWS_PATH);
  if (bind(fd, (sockaddr*)&addr, sizeof(addr)) < 0) {
    perror("updd: bind() on fwl");
    close(fd);
    return -1;
  }
  listen(fd, 1);
  return fd;
}

static bool WaitReadable(int fd) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout = {0, 20000};
  int r = select(fd + 1, &readable, nullptr, nullptr, &timeout);
  if (r < 0 && errno != EINTR) perror("updd: select fws");
  return r > 0;
}

static void AcceptFirmware(int listener) {
  if (!WaitReadable(listener)) return;
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) perror("updd: fcntl(F_GETFL) on fws");
  if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) perror("updd: fcntl(F_SETFL) on fws");
  FwClientSocket.store(fd);
}

static void CloseFirmwareClient() {
  pthread_mutex_lock(&FwWriteLock);
  int fd = FwClientSocket.exchange(-1);
  if (fd >= 0) close(fd);
  pthread_mutex_unlock(&FwWriteLock);
}

// A stream socket may deliver a record in pieces; only whole 276-byte records are dispatched.
struct RecordReader {
  Block block;
  size_t filled;
};

static void ReadFirmware(RecordReader* r) {
  int fd = FwClientSocket.load();
  if (!WaitReadable(fd)) return;
  ssize_t n = read(fd, (uint8_t*)&r->block + r->filled, sizeof(r->block) - r->filled);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    CloseFirmwareClient();
    r->filled = 0;
    return;
  }
  FwTraffic.rxb += (int32_t)n;
  r->filled += (size_t)n;
  if (r->filled < sizeof(r->block)) return;
  r->filled = 0;
  FwTraffic.rx++;
  DispatchFirmwareRecord(r->block);
}

void* FwThreadFunc(void*) {
  pthread_setname_np(pthread_self(), "FW");
  UniqueFd listener(OpenFirmwareListener());
  static RecordReader reader;
  while (running.load() && listener) {
    if (FwClientSocket.load() < 0)
      AcceptFirmware(listener.get());
    else
      ReadFirmware(&reader);
  }
  CloseFirmwareClient();
  FwDone.store(true);
  return nullptr;
}

bool FwThreadDone() {
  return FwDone.load();
}
