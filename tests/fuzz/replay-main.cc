// Replays saved inputs through both fuzz targets without libFuzzer: the corpus test of every
// non-Windows build, and the way to rerun one input under a debugger or with the tool's output.
//
// Usage: shrink_fuzz_replay [--workflow] FILE... [--channel FILE...]
// Inputs go to the workflow target until --channel switches to the channel target (and back with
// --workflow). Each input's name is written before it runs, so that the last one named is the one
// that failed; the tool's messages follow on standard error. SHRINK_FUZZ_VERBOSE=1 has the workflow
// target describe each run as well.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz-support.h"

// Defined in workflow-fuzzer.cc and channel-fuzzer.cc.
int FuzzWorkflowInput(const uint8_t* data, size_t size);
int FuzzChannelInput(const uint8_t* data, size_t size);

namespace {

bool ReadFile(const char* path, std::vector<uint8_t>& bytes) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr)
    return false;
  bytes.clear();
  uint8_t chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  const bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  FuzzStreamsSetUp();
  int (*target)(const uint8_t*, size_t) = FuzzWorkflowInput;
  unsigned workflow = 0;
  unsigned channel = 0;
  std::vector<uint8_t> bytes;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--workflow") == 0) {
      target = FuzzWorkflowInput;
      continue;
    }
    if (strcmp(argv[i], "--channel") == 0) {
      target = FuzzChannelInput;
      continue;
    }
    if (!ReadFile(argv[i], bytes))
      FuzzFail("cannot read %s", argv[i]);
    FuzzReport("%s input %s\n", target == FuzzWorkflowInput ? "workflow" : "channel", argv[i]);
    target(bytes.empty() ? nullptr : bytes.data(), bytes.size());
    ++(target == FuzzWorkflowInput ? workflow : channel);
  }
  // A corpus that went missing must not pass as a clean replay.
  if (workflow + channel == 0)
    FuzzFail("no input given");
  FuzzReport("replayed %u workflow and %u channel inputs\n", workflow, channel);
  return 0;
}
