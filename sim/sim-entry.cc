// Start-up of the tool's test and demo variant: the simulated host takes its script from
// SHRINK_SIM_SCRIPT and traps the port instructions; its transcript goes to SHRINK_SIM_TRANSCRIPT
// at exit.
#include <stdio.h>
#include <stdlib.h>

#include "sim/host.h"
#include "sim/trap.h"

namespace {

void WriteTranscriptAtExit() {
  const char* path = getenv("SHRINK_SIM_TRANSCRIPT");
  if (path != nullptr && *path != '\0' && !SimHostWriteTranscript(path))
    fprintf(stderr, "sim: cannot write the transcript to %s\n", path);
}

struct SimStart {
  SimStart() {
    SimHostReset();
    // This variant answers "1 1" unless told otherwise and then wipes every fixed volume it
    // sees: it runs only where a test or the demo has given the host its script on purpose.
    const char* script = getenv("SHRINK_SIM_SCRIPT");
    if (script == nullptr) {
      fprintf(stderr, "sim: SHRINK_SIM_SCRIPT is not set; run this test build through "
                      "scripts/demo or the tests\n");
      exit(99);
    }
    if (!SimHostConfigure(script))
      exit(99);
    SimTrapInstall();
    atexit(WriteTranscriptAtExit);
  }
};

SimStart g_simStart;

}  // namespace
