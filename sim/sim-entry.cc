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
    const char* script = getenv("SHRINK_SIM_SCRIPT");
    if (script != nullptr && !SimHostConfigure(script))
      exit(99);
    SimTrapInstall();
    atexit(WriteTranscriptAtExit);
  }
};

SimStart g_simStart;

}  // namespace
