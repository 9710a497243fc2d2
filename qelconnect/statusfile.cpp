#include "statusfile.h"
#include "raii.h"

#include <stdio.h>

bool WriteStatusFile(const char* path, const char* text, size_t len) {
  char tmp[300];
  snprintf(tmp, sizeof(tmp), "%s.new", path);
  FilePtr f(fopen(tmp, "w"));
  if (!f) return false;
  bool ok = fwrite(text, 1, len, f.get()) == len;
  ok = (fclose(f.release()) == 0) && ok;
  if (ok) ok = rename(tmp, path) == 0;
  if (!ok) remove(tmp);
  return ok;
}
