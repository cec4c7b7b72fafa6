// The walk over the fixed drives, drive letter by drive letter, and the space query it runs for
// each drive it yields.
#include <string.h>

#include "wiper/volume-drives.h"
#include "wiper/volume.h"

namespace {

// Where the walk stands: the letter root under consideration, and the drive letters not yet
// passed, bit 0 standing for that letter; a mask of 0 when no walk is under way.
struct LetterWalk {
  char volumeRoot[4];
  uint32_t driveMask;
};

LetterWalk g_letterWalk;

// Moves past the letter in the walk's root, keeping bit 0 of the mask for the letter.
void VolumeAdvanceLetter() {
  g_letterWalk.driveMask >>= 1;
  ++g_letterWalk.volumeRoot[0];
}

}  // namespace

ToolStatus VolumeLettersNext(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  LetterWalk& walk = g_letterWalk;
  if (root == nullptr) {
    walk.driveMask = 0;
    return STATUS_OK;
  }
  if (walk.driveMask != 0) {
    // Bit 0 still belongs to the volume yielded last.
    VolumeAdvanceLetter();
  } else {
    memcpy(walk.volumeRoot, "A:\\", sizeof walk.volumeRoot);
    walk.driveMask = VolumeLogicalDrives();
    if (walk.driveMask == 0) {
      VolumeReportListFailure();
      return STATUS_WIPE_FAILED;
    }
  }
  while (walk.driveMask != 0 && walk.volumeRoot[0] <= 'Z') {
    if ((walk.driveMask & 1) != 0 && VolumeDriveType(walk.volumeRoot) == VOLUME_DRIVE_FIXED) {
      memcpy(root, walk.volumeRoot, sizeof walk.volumeRoot);
      VolumeLettersSpace(root, totalKiB, freeKiB);
      return STATUS_OK;
    }
    VolumeAdvanceLetter();
  }
  root[0] = '\0';
  return STATUS_OK;
}

void VolumeLettersSpace(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  bool ok;
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
  if (VolumeHasExtendedQuery()) {
    // A failed extended query is final: the cluster-based one would only give smaller figures.
    ok = VolumeExtendedSpace(root, &totalBytes, &freeBytes);
  } else {
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 0;
    uint32_t freeClusters = 0;
    uint32_t totalClusters = 0;
    ok = VolumeClusterSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                            &totalClusters);
    uint64_t clusterBytes = (uint64_t)sectorsPerCluster * bytesPerSector;
    totalBytes = clusterBytes * totalClusters;
    freeBytes = clusterBytes * freeClusters;
  }
  VolumeSetSpace(root, ok, totalBytes, freeBytes, totalKiB, freeKiB);
}
