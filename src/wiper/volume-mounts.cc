// The walk over the fixed volumes that the mount table lists, one per call, and the space query
// it runs for each volume it yields.
#include <stdio.h>

#include "base/output.h"
#include "wiper/volume-mounts.h"
#include "wiper/volume.h"

namespace {

// Where the walk stands: the list taken when it began, and the next volume of it to yield.
struct MountWalk {
  bool underWay;
  uint32_t next;
  VolumeList list;
};

MountWalk g_mountWalk;

void VolumeMountsEnd() {
  VolumeListFree(&g_mountWalk.list);
  g_mountWalk.underWay = false;
  g_mountWalk.next = 0;
}

}  // namespace

ToolStatus VolumeMountsNext(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  MountWalk& walk = g_mountWalk;
  if (root == nullptr) {
    VolumeMountsEnd();
    return STATUS_OK;
  }
  if (!walk.underWay) {
    if (!VolumeListFixed(&walk.list)) {
      VolumeReportListFailure();
      return STATUS_WIPE_FAILED;
    }
    walk.underWay = true;
    // A guest whose disks were all missed would otherwise look like one that was wiped.
    if (walk.list.count == 0 && g_verbosity > 0)
      PrintErr("No fixed volume found\n");
  }
  while (walk.next < walk.list.count) {
    // A root cut to fit the buffer would name another directory: such a volume is passed over.
    const char* listed = walk.list.roots[walk.next++];
    int length = snprintf(root, VOLUME_ROOT_SIZE, "%s", listed);
    if (length < 0 || (uint32_t)length >= VOLUME_ROOT_SIZE)
      continue;
    VolumeMountsSpace(root, totalKiB, freeKiB);
    return STATUS_OK;
  }
  // The end leaves the walk idle, so that a further call begins a new one.
  VolumeMountsEnd();
  root[0] = '\0';
  return STATUS_OK;
}

void VolumeMountsSpace(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
  bool ok = VolumeMountSpace(root, &totalBytes, &freeBytes);
  VolumeSetSpace(root, ok, totalBytes, freeBytes, totalKiB, freeKiB);
}
