#include "replacefile.h"
#include "qelconnect.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

bool IsRegularFileOrMissing(const char* path, bool missing_ok) {
  struct stat st;
  if (stat(path, &st) < 0) return missing_ok && errno == ENOENT;
  if (S_ISREG(st.st_mode)) return true;
  errno = EINVAL;
  return false;
}

FilePtr CreateTempFile(const char* tmp) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  int fd = open(tmp, flags, 0666);
  if (fd < 0 && errno == EEXIST && unlink(tmp) == 0) fd = open(tmp, flags, 0666);
  if (fd < 0) return nullptr;
  FilePtr f(fdopen(fd, "wb"));
  if (!f) {
    close(fd);
    unlink(tmp);
  }
  return f;
}

static bool SyncFolderOf(const char* path) {
  char copy[PATH_MAX];
  snprintf(copy, sizeof(copy), "%s", path);
  UniqueFd dir(open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && fsync(dir.get()) == 0;
}

bool CommitTempFile(FilePtr f, const char* tmp, const char* path, bool durable) {
  FILE* stream = f.release();
  if (!stream) {
    unlink(tmp);
    return false;
  }
  bool ok = fflush(stream) == 0 && !ferror(stream);
  if (ok && durable && fsync(fileno(stream)) < 0) {
    perror("fsync()");
    ok = false;
  }
  ok = (fclose(stream) == 0) && ok;
  if (ok && !IsRegularFileOrMissing(path, true)) {
    ERRPRINT("%s: not a regular file, not replaced\n", path);
    ok = false;
  }
  if (ok && rename(tmp, path) < 0) {
    perror("rename()");
    ok = false;
  }
  if (!ok) {
    unlink(tmp);
    return false;
  }
  if (durable && !SyncFolderOf(path)) perror("fsync() of the folder");
  return true;
}

bool ReplaceFile(const char* path, bool durable, const std::function<bool(FILE*)>& write) {
  char tmp[PATH_MAX];
  if (snprintf(tmp, sizeof(tmp), "%s.new", path) >= (int)sizeof(tmp)) return false;
  FilePtr f = CreateTempFile(tmp);
  if (!f) return false;
  if (!write(f.get())) {
    f.reset();
    unlink(tmp);
    return false;
  }
  return CommitTempFile(std::move(f), tmp, path, durable);
}
