// Wiper files that a run which died anyway left behind: found by their name in a volume's root,
// kept while their process still runs, deleted otherwise, and counted in one message.
#include <stdio.h>

#include "base/output.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper.h"

namespace {

const char WIPER_NAME_PREFIX[] = "tzl_wiper_";

// What the scan of one root has done so far.
struct LeftoverScan {
  const char* root;
  uint32_t removed;
  uint64_t bytes;
};

// A number as "%lu" writes it: digits without a leading zero (but "0"), within 32 bits. Moves
// `*text` past it.
bool ParseDecimal(const char** text, uint32_t* value) {
  const char* p = *text;
  if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
    return false;
  uint64_t number = 0;
  while (*p >= '0' && *p <= '9') {
    number = number * 10 + (uint64_t)(*p - '0');
    if (number > UINT32_MAX)
      return false;
    ++p;
  }
  *value = (uint32_t)number;
  *text = p;
  return true;
}

void VisitRootFile(const char* name, void* context) {
  LeftoverScan* scan = static_cast<LeftoverScan*>(context);
  uint32_t processId = 0;
  if (!ParseWiperFileName(name, &processId))
    return;
  // The running process's own files are its own to delete; another that runs is still wiping.
  if (processId == WiperProcessId() || WiperProcessRunning(processId))
    return;
  char path[WIPER_NAME_SIZE];
  int length = snprintf(path, sizeof path, "%s%s", scan->root, name);
  if (length < 0 || (uint32_t)length >= sizeof path)
    return;
  uint64_t bytes = 0;
  if (WiperFileDeleteLeftover(path, &bytes)) {
    ++scan->removed;
    scan->bytes += bytes;
  }
}

}  // namespace

bool ParseWiperFileName(const char* name, uint32_t* processId) {
  const size_t prefix = sizeof WIPER_NAME_PREFIX - 1;
  for (size_t i = 0; i < prefix; ++i) {
    if (name[i] != WIPER_NAME_PREFIX[i])
      return false;
  }
  const char* p = name + prefix;
  uint32_t number = 0;
  if (!ParseDecimal(&p, processId) || *p != '.')
    return false;
  ++p;
  return ParseDecimal(&p, &number) && *p == '\0';
}

uint64_t RemoveLeftoverWiperFiles(const char* root) {
  LeftoverScan scan = {root, 0, 0};
  WiperRootFiles(root, VisitRootFile, &scan);
  if (scan.removed > 0 && g_verbosity > 0)
    PrintOut("Removed %lu wiper files left by an earlier run on %s\n", (unsigned long)scan.removed,
             root);
  return scan.bytes;
}
