// The observed wipe of the wiper's platform tests: output captured, deletions watched.
#include "platform/wiper-observed.h"

#include <gtest/gtest.h>

#include "wiper/wiper-platform.h"
#include "wiper/wiper.h"

namespace {

ObservedWipe* g_observed = nullptr;
std::string g_root;
uint64_t (*g_measure)(const std::string& root) = nullptr;

void NoteWiperName(const char* name, void* context) {
  if (std::string(name).compare(0, 10, "tzl_wiper_") == 0)
    static_cast<std::vector<std::string>*>(context)->push_back(name);
}

void ObserveDeletion(const char* name) {
  if (g_observed->deleted.empty()) {
    g_observed->measuredAtFirstDeletion = g_measure(g_root);
    WiperRootFiles(g_root.c_str(), NoteWiperName, &g_observed->namedAtFirstDeletion);
  }
  g_observed->deleted.push_back(name);
}

}  // namespace

ObservedWipe WipeObserved(const std::string& root, uint64_t freeKiB,
                          uint64_t (*measure)(const std::string& root)) {
  ObservedWipe observed = {STATUS_OK, "", "", {}, 0, {}};
  g_observed = &observed;
  g_root = root;
  g_measure = measure;
  g_wiperDeleteObserver = ObserveDeletion;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  observed.status = WipeVolume(root.c_str(), freeKiB);
  observed.out = testing::internal::GetCapturedStdout();
  observed.err = testing::internal::GetCapturedStderr();
  g_wiperDeleteObserver = nullptr;
  g_observed = nullptr;
  if (g_wipeBuffer != nullptr)
    WipeMemoryFree(g_wipeBuffer);
  g_wipeBuffer = nullptr;
  return observed;
}
