// The verbosity level and the two output streams, with the flush rule for a console.
#include "base/output.h"

#include <stdarg.h>
#include <stdio.h>

#include "base/status.h"

int32_t g_verbosity = 1;

namespace {

// 0 until the first write to standard output, then 1 for a console and 2 for anything else.
int g_stdoutMode = 0;

}  // namespace

void PrintOut(const char* format, ...) {
  if (g_stdoutMode == 0)
    g_stdoutMode = StreamsStdoutIsConsole() ? 1 : 2;
  va_list args;
  va_start(args, format);
  vfprintf(stdout, format, args);
  va_end(args);
  // The Microsoft runtime treats line buffering as full buffering, so a console gets one flush per
  // print instead: each progress line reaches the screen in one write, before any rewind.
  if (g_stdoutMode == 1)
    fflush(stdout);
}

void PrintErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}
