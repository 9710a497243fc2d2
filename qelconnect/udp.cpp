// The "BC" thread: the UDP broadcast socket on "ext0", the announcement and incoming datagrams.
#include "announce.h"
#include "netsettings.h"
#include "qelconnect.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define ANNOUNCE_HOLD_SECONDS 10
#define BOOT_COUNTER_RESET_SECONDS 500

static pthread_mutex_t AnnounceLock = PTHREAD_MUTEX_INITIALIZER;
static uint8_t AnnounceRecord[QC_MAX_ANNOUNCE];
static size_t AnnounceLen;
static int AnnounceHold;
static std::atomic<bool> UdpDone{false};

void SetAnnounceFromFirmware(const uint8_t* data, size_t len) {
  pthread_mutex_lock(&AnnounceLock);
  memcpy(AnnounceRecord, data, len);
  AnnounceLen = len;
  AnnounceHold = ANNOUNCE_HOLD_SECONDS;
  pthread_mutex_unlock(&AnnounceLock);
}

size_t CopyAnnounceRecord(uint8_t* out, size_t max) {
  pthread_mutex_lock(&AnnounceLock);
  size_t len = AnnounceLen < max ? AnnounceLen : max;
  memcpy(out, AnnounceRecord, len);
  pthread_mutex_unlock(&AnnounceLock);
  return len;
}

static void RebuildAnnounceRecord() {
  char name[ANNOUNCE_NAME_SIZE + 1];
  AnnounceDeviceName("/config/ipconfig", SerialNumber, name);
  uint8_t record[ANNOUNCE_RECORD_SIZE];
  BuildAnnounceRecord(SerialNumber, name, record);
  pthread_mutex_lock(&AnnounceLock);
  memcpy(AnnounceRecord, record, sizeof(record));
  AnnounceLen = sizeof(record);
  pthread_mutex_unlock(&AnnounceLock);
  WriteFirmwarePage("/home/httpd/firmware.xml");
}

bool SendDatagram(const uint8_t* data, size_t len) {
  int fd = BCSocket.load();
  if (fd < 0) return false;
  sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(QC_UDP_PORT);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  ssize_t n = sendto(fd, data, len, 0, (const sockaddr*)&to, sizeof(to));
  if (n < 0) return false;
  UdpTraffic.tx++;
  UdpTraffic.txb += (int32_t)n;
  return true;
}

static int SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value));
}

static int OpenBroadcastSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("updd: socket() on BCSocket");
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) perror("updd: fcntl(F_GETFL) on BCSocket");
  if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) perror("updd: fcntl(F_SETFL) on BCSocket");
  if (SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) < 0) perror("updd: setsockopt(SO_REUSEADDR) on BCSocket");
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, QC_IFNAME, sizeof(QC_IFNAME)) < 0)
    perror("updd: setsockopt(SO_BINDTODEVICE) on BCSocket");
  if (SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1) < 0) {
    perror("updd: setsockopt(SO_BROADCAST) on BCSocket");
    close(fd);
    return -1;
  }
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(QC_UDP_PORT);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, (sockaddr*)&addr, sizeof(addr)) < 0) {
    perror("updd: bind() on BCSocket");
    close(fd);
    return -1;
  }
  return fd;
}

static bool OwnAddress(int fd, in_addr* own) {
  ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", QC_IFNAME);
  if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
    perror("updd: ioctl(SIOCGIFADDR) on BCSocket");
    return false;
  }
  *own = ((sockaddr_in*)&ifr.ifr_addr)->sin_addr;
  return true;
}

DatagramRoute ParseDatagram(const uint8_t* data, size_t len, Block* block) {
  memset(block, 0, sizeof(*block));
  if (len < 4 || len > QC_MAX_DATAGRAM) return DG_DROP;
  block->Len = (uint16_t)len;
  block->ID = GetBE32(data);
  block->Source = SOURCE_UDP;
  memcpy(block->Data, data, len);
  if (block->ID == ID_UDP_SETIP) {
    memmove(block->Data, block->Data + 4, len - 4);
    memset(block->Data + len - 4, 0, 4);
    block->Len = (uint16_t)(len - 4);
    return DG_SETTINGS;
  }
  block->ID = ID_FW_DATAGRAM;
  return DG_FIRMWARE;
}

static void HandleDatagram(const uint8_t* data, size_t len) {
  Block block;
  DatagramRoute route = ParseDatagram(data, len, &block);
  if (route == DG_DROP) return;
  UdpTraffic.rx++;
  UdpTraffic.rxb += (int32_t)len;
  if (route == DG_SETTINGS)
    NetSettingsRequest(block);
  else
    WriteToFirmware(block);
}

static void ReceiveDatagram(int fd) {
  uint8_t data[QC_MAX_DATAGRAM];
  sockaddr_in from;
  socklen_t from_len = sizeof(from);
  ssize_t n = recvfrom(fd, data, sizeof(data), 0, (sockaddr*)&from, &from_len);
  if (n < 4) return;
  in_addr own;
  if (!OwnAddress(fd, &own)) return;
  if (from.sin_addr.s_addr == own.s_addr) return; // our own broadcast, looped back
  HandleDatagram(data, (size_t)n);
}

static void AnnounceSecond(long* seconds_running) {
  bool rebuild;
  pthread_mutex_lock(&AnnounceLock);
  rebuild = AnnounceHold <= 0;
  if (!rebuild) AnnounceHold--;
  pthread_mutex_unlock(&AnnounceLock);
  if (rebuild) RebuildAnnounceRecord();
  uint8_t record[QC_MAX_ANNOUNCE];
  size_t len = CopyAnnounceRecord(record, sizeof(record));
  SendDatagram(record, len);
  if (++*seconds_running == BOOT_COUNTER_RESET_SECONDS) unlink("/root/cnt");
}

void* UdpThreadFunc(void*) {
  pthread_setname_np(pthread_self(), "BC");
  time_t last_second = time(nullptr);
  long seconds_running = 0;
  while (running.load()) {
    if (BCSocket.load() < 0) BCSocket.store(OpenBroadcastSocket());
    int fd = BCSocket.load();
    fd_set readable;
    FD_ZERO(&readable);
    if (fd >= 0) FD_SET(fd, &readable);
    timeval timeout = {0, 20000};
    int r = select(fd >= 0 ? fd + 1 : 0, &readable, nullptr, nullptr, &timeout);
    if (r > 0 && fd >= 0 && FD_ISSET(fd, &readable)) ReceiveDatagram(fd);
    time_t now = time(nullptr);
    if (now < last_second) last_second = now; // clock set backwards
    if (now != last_second) {
      last_second = now;
      AnnounceSecond(&seconds_running);
    }
  }
  int fd = BCSocket.exchange(-1);
  if (fd >= 0) close(fd);
  UdpDone.store(true);
  return nullptr;
}

bool UdpThreadDone() {
  return UdpDone.load();
}
