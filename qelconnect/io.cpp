#include "io.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#define WRITE_GIVE_UP_MS 5000

static long MillisecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

bool WriteFully(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      len -= (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    long left = WRITE_GIVE_UP_MS - MillisecondsSince(start);
    if (left <= 0) return false;
    pollfd pfd = {fd, POLLOUT, 0};
    poll(&pfd, 1, (int)left);
  }
  return true;
}
