// What the two volume walks share: the messages of a failed volume list and of a failed space
// query, and space values in KiB.
#include "wiper/volume.h"

#include "base/output.h"

void VolumeReportListFailure() {
  if (g_verbosity > 0) {
    PrintSystemError(VolumeLastError());
    PrintErr("Failed to get logical drives.\n");
  }
}

void VolumeSetSpace(const char* root, bool ok, uint64_t totalBytes, uint64_t freeBytes,
                    uint64_t* totalKiB, uint64_t* freeKiB) {
  if (!ok) {
    if (g_verbosity > 0) {
      PrintSystemError(VolumeLastError());
      PrintErr("Failed to get %s free space\n", root);
    }
    *totalKiB = SPACE_UNAVAILABLE;
    *freeKiB = SPACE_UNAVAILABLE;
    return;
  }
  *totalKiB = totalBytes >> 10;
  *freeKiB = freeBytes >> 10;
}
