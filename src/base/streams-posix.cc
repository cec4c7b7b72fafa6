// Whether standard output is a character device, on Linux.
#include <sys/stat.h>
#include <unistd.h>

#include "base/output.h"

bool StreamsStdoutIsConsole() {
  struct stat st;
  return fstat(STDOUT_FILENO, &st) == 0 && S_ISCHR(st.st_mode);
}
