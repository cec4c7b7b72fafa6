// Wiper files by name and number: creation with its message and deletion, over the platform's
// file services.
#include <stdio.h>

#include "base/output.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper.h"

void (*g_wiperDeleteObserver)(const char* name) = nullptr;

bool FormatWiperFileName(char* name, const char* root, uint32_t processId, uint32_t number) {
  int length = snprintf(name, WIPER_NAME_SIZE, "%stzl_wiper_%lu.%lu", root,
                        (unsigned long)processId, (unsigned long)number);
  return length >= 0 && (uint32_t)length < WIPER_NAME_SIZE;
}

WiperFile CreateWiperFile(const char* root, uint32_t number, bool* held) {
  char name[WIPER_NAME_SIZE];
  uint32_t processId = WiperProcessId();
  // A name cut short would name another file, maybe in another directory: it is never created.
  WiperFile file = WIPER_FILE_INVALID;
  if (FormatWiperFileName(name, root, processId, number))
    file = WiperFileCreateNew(name, held);
  if (file == WIPER_FILE_INVALID && g_verbosity > 0) {
    // Formed again in the message, so that a name too long for the buffer is shown whole.
    PrintErr("Failed to create a wiper file %stzl_wiper_%lu.%lu\n", root,
             (unsigned long)processId, (unsigned long)number);
  }
  return file;
}

void DeleteWiperFile(const char* root, uint32_t number) {
  char name[WIPER_NAME_SIZE];
  // A name that does not fit was never created, so there is nothing of that name to delete.
  if (!FormatWiperFileName(name, root, WiperProcessId(), number))
    return;
  if (g_wiperDeleteObserver != nullptr)
    g_wiperDeleteObserver(name);
  WiperFileDelete(name);
}
