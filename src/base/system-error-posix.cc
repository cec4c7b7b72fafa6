// The platform's text for an error code, on Linux: the C library's message, ended as the
// Windows texts are, with a line end.
#include <stdio.h>
#include <string.h>

#include "base/output.h"

void PrintSystemError(uint32_t code) {
  char text[SYSTEM_ERROR_TEXT_SIZE];
  snprintf(text, sizeof text, "%s\n", strerror(static_cast<int>(code)));
  fprintf(stderr, "%s", text);
}
