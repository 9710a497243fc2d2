// TCP connection slots: one thread per tool connection, the frame reader, block dispatch and routing.
#include "filetransfer.h"
#include "framereader.h"
#include "io.h"
#include "netsettings.h"
#include "qelconnect.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#define READ_CHUNK 266
#define IDLE_WAIT_US 20000
#define SENDING_WAIT_US 10

Connection Connections[QC_MAX_CONNECTIONS];

static const char* PeerText(const Connection& c, char* buf) {
  inet_ntop(AF_INET, &c.peer.sin_addr, buf, INET_ADDRSTRLEN);
  return buf;
}

void InitConnection(int slot) {
  Connection& c = Connections[slot];
  c.running.store(0);
  c.errors.store(0);
  c.log_level.store(0);
  c.rx_bytes.store(0);
  c.tx_bytes.store(0);
  c.rx_blocks.store(0);
  c.tx_blocks.store(0);
  c.fd.store(-1);
  ERRPRINT("Init Connection %d\n", slot);
}

void InitConnections() {
  for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++) {
    pthread_mutex_init(&Connections[slot].write_lock, nullptr);
    InitConnection(slot);
  }
}

bool SendBlock2Net(const Block& block, int slot) {
  if (slot < 0 || slot >= QC_MAX_CONNECTIONS) return false;
  uint8_t frame[FRAME_MAX_SIZE];
  size_t len = FrameEncode(block, frame, sizeof(frame));
  if (len == 0) {
    LogMessage(0x80000005, 0xA0000000, "dropped block 0x%08x: length %u exceeds a frame", block.ID,
               block.Len);
    return false;
  }
  Connection& c = Connections[slot];
  pthread_mutex_lock(&c.write_lock);
  int fd = c.fd.load();
  if (fd < 0 || !c.running.load()) {
    pthread_mutex_unlock(&c.write_lock);
    return false;
  }
  bool ok = WriteFully(fd, frame, len);
  if (ok) {
    c.tx_blocks++;
    c.tx_bytes += (int32_t)len;
  } else {
    // The slot's own thread sees the shut-down socket, closes it and frees the slot.
    c.running.store(0);
    shutdown(fd, SHUT_RDWR);
  }
  pthread_mutex_unlock(&c.write_lock);
  if (!ok) {
    char ip[INET_ADDRSTRLEN];
    LogMessage(0x80000005, 0xA0000000, "Couldn't write to Socket %d at %d, IP %s", fd, slot, PeerText(c, ip));
    ERRPRINT("Couldn't write to Socket %d at %d, IP %s! res %d i%d\n", fd, slot, ip, -1, (int)len);
  }
  return ok;
}

void SendBlock(const Block& block) {
  if (block.Source == SOURCE_UDP) {
    if (block.Len > QC_MAX_DATAGRAM - 4) {
      LogMessage(0x80000005, 0xA0000000, "dropped block 0x%08x: length %u exceeds a datagram", block.ID,
                 block.Len);
      return;
    }
    uint8_t datagram[QC_MAX_DATAGRAM];
    PutBE32(datagram, block.ID);
    memcpy(&datagram[4], block.Data, block.Len);
    SendDatagram(datagram, block.Len + 4u);
  } else if (block.Source >= SOURCE_TCP_FIRST && block.Source < SOURCE_TCP_FIRST + QC_MAX_CONNECTIONS) {
    SendBlock2Net(block, block.Source - SOURCE_TCP_FIRST);
  } else if (block.Source == SOURCE_ALL_TCP) {
    for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++)
      if (Connections[slot].fd.load() != -1) SendBlock2Net(block, slot);
  } else {
    LogMessage(0x80000000, 0xA0000000, "ERROR: unknown block source!\n");
  }
}

static void Reboot(const Block& block) {
  if (block.Len < 2 || block.Data[0] != 0xAA || block.Data[1] != 0x55) return;
  LogMessage(0x80000000, 0x8201000B, "reboot operating system");
  sleep(1);
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/busybox", "reboot", (char*)nullptr);
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

static void ProcessDeviceBlock(Block& block, int slot) {
  switch (block.ID) {
  case ID_FILE_DATA:
    CheckFTData(block, slot);
    break;
  case ID_START_TRANSFER:
    if (CheckStartFileTransfer(block, slot)) SendBlock(block);
    break;
  case ID_END_TRANSFER:
    CheckEndFileTransfer(block, slot);
    break;
  case ID_REBOOT:
    Reboot(block);
    break;
  case ID_NET_SETTINGS:
    NetSettingsRequest(block);
    break;
  case ID_SET_LOG_LEVEL:
    if (block.Len != 0) Connections[slot].log_level.store(block.Data[0]);
    break;
  case ID_READ_ANNOUNCE:
    if (block.Len == 0) {
      block.Len = (uint16_t)CopyAnnounceRecord(block.Data, sizeof(block.Data));
      SendBlock(block);
    }
    break;
  default:
    break;
  }
}

void ProcessBlock(Block& block) {
  if (block.ID & 0x80000000u) {
    LogMessage(7, 0x42010064, "ProcessBlock: Block.ID: 0x%08lx", (unsigned long)block.ID);
    ProcessDeviceBlock(block, block.Source - SOURCE_TCP_FIRST);
  } else {
    LogMessage(7, 0x42010065, "ProcessBlock old-Block: Block.ID: 0x%08lx", (unsigned long)block.ID);
    WriteToFirmware(block);
  }
}

struct ReaderContext {
  int slot;
  const uint8_t* buf;
  size_t len;
  bool dumped;
};

static void OnFrameError(void* ctx, int state, uint8_t byte) {
  ReaderContext* r = static_cast<ReaderContext*>(ctx);
  Connection& c = Connections[r->slot];
  uint16_t errors = ++c.errors;
  if (state == 0) {
    ERRPRINT("Conn %d Byte1 %d %d %02x\n", r->slot, (int)errors, state, byte);
    // The read buffer once per read, not once per wrong byte: garbage must not flood the error output.
    if (!r->dumped) {
      for (size_t i = 0; i < r->len; i++)
        fprintf(stderr, "%02x ", r->buf[i]);
      fprintf(stderr, "\n");
      r->dumped = true;
    }
  } else {
    ERRPRINT("Byte%d %d %d %02x\n", state + 1, (int)errors, state, byte);
  }
}

static void OnFrame(void* ctx, Block& block) {
  ReaderContext* r = static_cast<ReaderContext*>(ctx);
  block.Source = (uint8_t)(SOURCE_TCP_FIRST + r->slot);
  ProcessBlock(block);
}

static bool WaitReadable(int fd, long wait_us) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout = {0, wait_us};
  return select(fd + 1, &readable, nullptr, nullptr, &timeout) > 0;
}

// One read from the socket; false when the connection has ended.
static bool ReadOnce(int slot, int fd, FrameReader* reader) {
  uint8_t buf[READ_CHUNK];
  ssize_t n = read(fd, buf, sizeof(buf));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  Connection& c = Connections[slot];
  if (n <= 0) {
    char ip[INET_ADDRSTRLEN];
    ERRPRINT("Bytes %d errno %d\n", (int)n, n < 0 ? errno : 0);
    LogMessage(5, 0x4201006C, "Close Socket %d at %d, IP %s", fd, slot, PeerText(c, ip));
    c.running.store(0);
    AbortFileTransfers(slot);
    LogMessage(0x80000005, 0x4201006C, "Couldn't read from Socket %d at %d, IP %s", fd, slot, ip);
    ERRPRINT("Couldn't read from Socket %d at %d, IP %s!\n", fd, slot, ip);
    return false;
  }
  c.rx_blocks++;
  c.rx_bytes += (int32_t)n;
  ReaderContext ctx = {slot, buf, (size_t)n, false};
  FrameReaderFeed(reader, buf, (size_t)n, &ctx, OnFrameError, OnFrame);
  return true;
}

static void* ExtThreadFunc(void* arg) {
  const int slot = (int)(intptr_t)arg;
  Connection& c = Connections[slot];
  char ip[INET_ADDRSTRLEN];
  pthread_setname_np(pthread_self(), PeerText(c, ip));
  UniqueFd sock(c.fd.load());
  FrameReader reader;
  FrameReaderInit(&reader);
  while (c.running.load() && running.load()) {
    bool sending = ServeFileTransfers(slot);
    if (!WaitReadable(sock.get(), sending ? SENDING_WAIT_US : IDLE_WAIT_US)) continue;
    if (!ReadOnce(slot, sock.get(), &reader)) break;
  }
  ERRPRINT("Tread %d running %d (%d)\n", slot, c.running.load(), running.load());
  c.running.store(0);
  AbortFileTransfers(slot);
  pthread_mutex_lock(&c.write_lock);
  sock.reset();
  InitConnection(slot);
  pthread_mutex_unlock(&c.write_lock);
  ERRPRINT("Thread %d ended\n", slot);
  return nullptr;
}

static int FreeSlot() {
  for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++)
    if (Connections[slot].fd.load() == -1) return slot;
  return -1;
}

void CreateExtThread(int fd, const sockaddr_in& peer) {
  int slot = FreeSlot();
  if (slot < 0) {
    ERRPRINT("Socket rejected, not free socket\n");
    LogMessage(0x80000005, 0x4201006B, "Socket rejected, not free socket");
    close(fd);
    return;
  }
  Connection& c = Connections[slot];
  InitConnection(slot);
  c.peer = peer;
  FileTransferInitSlot(slot);
  c.running.store(1);
  c.fd.store(fd);
  char ip[INET_ADDRSTRLEN];
  LogMessage(5, 0x4201006A, "Socket %d added at %d, IP %s", fd, slot, PeerText(c, ip));
  ERRPRINT("Socket %d added at %d, IP \"%s:%d\"\n", fd, slot, ip, ntohs(peer.sin_port));
  ERRPRINT("create %d\n", slot);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int r = pthread_create(&thread, &attr, ExtThreadFunc, (void*)(intptr_t)slot);
  pthread_attr_destroy(&attr);
  if (r != 0) {
    errno = r;
    perror("pthread_create");
    close(fd);
    InitConnection(slot);
  }
}

bool WaitConnectionsClosed(int timeout_ms) {
  for (int waited = 0;; waited += 10) {
    bool open = false;
    for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++)
      open = open || Connections[slot].fd.load() != -1;
    if (!open) return true;
    if (waited >= timeout_ms) return false;
    usleep(10000);
  }
}
