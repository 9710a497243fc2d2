// LogMessage: one log line goes to the system log, as a UDP log datagram and to subscribed connections.
#include "qelconnect.h"

#include <stdarg.h>
#include <string.h>
#include <syslog.h>

#define LOG_MESSAGE_MAX 250
#define LOG_DATAGRAM_TEXT_MAX 240

const char* SourceName(const char* path) {
  const char* slash = strrchr(path, '/');
  static thread_local char name[64];
  snprintf(name, sizeof(name), "%s", slash ? slash + 1 : path);
  char* dot = strrchr(name, '.');
  if (dot) *dot = 0;
  return name;
}

// Without LOG_CONS: where no system log runs, the C library would write every line to the console as well,
// under the lock all threads log through, so a slow console (a serial line) would hold every thread. The line
// is on stderr anyway.
void OpenSystemLog() {
  openlog("QELconnect", LOG_PERROR, LOG_USER);
}

static void LogToSystem(int32_t level, uint32_t flags, const char* message) {
  if (level >= 0) return;
  int priority = LOG_INFO;
  if (flags & 0x40000000u)
    priority = LOG_DEBUG;
  else if (flags & 0xA0000000u)
    priority = LOG_ERR;
  syslog(priority, "<%d> %08x %s", level & 0xFFFF, flags, message);
}

static void LogToUdp(int32_t level, uint32_t flags, const char* message, size_t msg_len) {
  if ((level & 0xFFFF) != 0) return;
  uint8_t datagram[10 + LOG_DATAGRAM_TEXT_MAX];
  PutBE32(datagram, ID_UDP_LOG);
  PutBE16(&datagram[4], (uint16_t)(level & 0xFFFF));
  PutBE32(&datagram[6], flags);
  size_t text = msg_len < LOG_DATAGRAM_TEXT_MAX ? msg_len : LOG_DATAGRAM_TEXT_MAX;
  memcpy(&datagram[10], message, text);
  SendDatagram(datagram, 10 + text);
}

static void LogToConnections(int32_t level, uint32_t flags, const char* message, size_t msg_len) {
  Block block;
  memset(&block, 0, sizeof(block));
  block.ID = ID_LOG_LINE;
  block.Data[0] = (uint8_t)((uint32_t)level >> 16);
  block.Data[1] = (uint8_t)level;
  PutBE32(&block.Data[2], flags);
  size_t text = msg_len < LOG_MESSAGE_MAX - 6 ? msg_len : LOG_MESSAGE_MAX - 6;
  memcpy(&block.Data[6], message, text);
  block.Len = (uint16_t)(text + 6);
  unsigned wanted = (unsigned)(level & 0xFFFF);
  for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++) {
    Connection& c = Connections[slot];
    if (c.fd.load() != -1 && c.running.load() && c.log_level.load() >= wanted) SendBlock2Net(block, slot);
  }
}

void LogMessage(int32_t level, uint32_t flags, const char* format, ...) {
  char message[LOG_MESSAGE_MAX + 1];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  size_t len = strlen(message);
  LogToSystem(level, flags, message);
  LogToUdp(level, flags, message, len);
  LogToConnections(level, flags, message, len);
}
