// Writes on non-blocking sockets that go through completely or report failure.
#ifndef QELCONNECT_IO_H
#define QELCONNECT_IO_H

#include <stddef.h>

// Waits for room while the socket is full, at most 5 s in all: a peer that stops reading is given up.
bool WriteFully(int fd, const void* data, size_t len);

#endif
