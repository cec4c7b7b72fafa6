// The platform's text for an error code, on Windows.
#include <windows.h>

#include <stdio.h>

#include "base/output.h"

void PrintSystemError(uint32_t code) {
  char text[SYSTEM_ERROR_TEXT_SIZE];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, text, sizeof text, nullptr);
  if (length == 0) {
    // No text for this code: a short one of our own, so that the caller's message still says
    // what went wrong.
    fprintf(stderr, "Error %lu. ", (unsigned long)code);
    return;
  }
  fprintf(stderr, "%s", text);
}
