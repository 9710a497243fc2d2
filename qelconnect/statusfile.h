// Status pages are replaced whole, so the web server never serves a half-written page.
#ifndef QELCONNECT_STATUSFILE_H
#define QELCONNECT_STATUSFILE_H

#include <stddef.h>

bool WriteStatusFile(const char* path, const char* text, size_t len);

#endif
