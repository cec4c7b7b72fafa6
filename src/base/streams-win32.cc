// Whether standard output is a character device, on Windows.
#include <windows.h>

#include "base/output.h"

bool StreamsStdoutIsConsole() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}
