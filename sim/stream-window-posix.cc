// The bench's switch for the wiper's streamed writes, in the simulated-host build only:
// SHRINK_SIM_WRITEBACK_WINDOW_KIB sets the window, and 0 gives the plain buffered writes of before,
// so that both can be measured side by side. The shipped tool never reads it.
#include <stdlib.h>

#include "wiper/wiper-stream.h"

namespace {

struct SimStreamWindow {
  SimStreamWindow() {
    const char* kib = getenv("SHRINK_SIM_WRITEBACK_WINDOW_KIB");
    if (kib != nullptr && *kib != '\0')
      g_wiperStreamWindow = strtoull(kib, nullptr, 10) << 10;
  }
};

SimStreamWindow g_simStreamWindow;

}  // namespace
