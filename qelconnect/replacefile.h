// Files replaced whole: a reader, or a power cut, finds the old content or the new one, never a part of it.
// New content goes to a temporary file in the target's folder (so the rename is atomic) and is renamed over
// the target only when complete.
#ifndef QELCONNECT_REPLACEFILE_H
#define QELCONNECT_REPLACEFILE_H

#include "raii.h"

#include <functional>
#include <stdio.h>

// True when a transfer may read or replace the path: it names a regular file, or nothing yet (`missing_ok`).
// Sockets (the firmware link's among them), pipes, devices and folders are never transfer targets.
bool IsRegularFileOrMissing(const char* path, bool missing_ok);

// Creates the temporary file exclusively. Every temporary name has a single writer in the daemon at a time,
// so a file already there is a leftover of an earlier run (a power cut) and is removed first.
FilePtr CreateTempFile(const char* tmp);

// Renames the complete temporary file over `path`; `f` is closed in every case and the temporary file is
// removed on any failure. Durable: the data is synced before and the folder after the rename, for files
// that must survive a power cut. A target that is not a regular file is refused.
bool CommitTempFile(FilePtr f, const char* tmp, const char* path, bool durable);

// Replaces `path` with what `write` puts into the stream ("<path>.new" on the way); callers serialise the
// writers of one path. False when `write` fails or the file cannot be written.
bool ReplaceFile(const char* path, bool durable, const std::function<bool(FILE*)>& write);

#endif
