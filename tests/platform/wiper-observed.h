// Runs WipeVolume on a real scratch volume with its output captured, and notes what its
// deletions saw, for the wiper's platform tests on either platform.
#ifndef SHRINK_TESTS_PLATFORM_WIPER_OBSERVED_H_
#define SHRINK_TESTS_PLATFORM_WIPER_OBSERVED_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "base/status.h"

struct ObservedWipe {
  ToolStatus status;
  std::string out;
  std::string err;
  std::vector<std::string> deleted;  ///< each wiper file's name, in the order of deletion
  uint64_t measuredAtFirstDeletion;  ///< `measure` of the root, while the volume is still full
  std::vector<std::string> namedAtFirstDeletion;  ///< wiper files in the root by name just then
};

/// Wipes `root` with WipeVolume and releases the buffer again, as the walk would.
ObservedWipe WipeObserved(const std::string& root, uint64_t freeKiB,
                          uint64_t (*measure)(const std::string& root));

#endif  // SHRINK_TESTS_PLATFORM_WIPER_OBSERVED_H_
