// The walk over the fixed volumes, drive letter by drive letter, and the space query it runs for
// each volume it yields. The platform's volume services are in volume-platform.h.
#include "wiper/volume.h"

#include <string.h>

#include "driver/output.h"
#include "wiper/volume-platform.h"

char g_volumeRoot[4];
uint32_t g_driveMask = 0;

namespace {

// Moves past the letter in g_volumeRoot, keeping bit 0 of the mask for the letter.
void VolumeAdvanceLetter() {
  g_driveMask >>= 1;
  ++g_volumeRoot[0];
}

}  // namespace

ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  if (root == nullptr) {
    g_driveMask = 0;
    return STATUS_OK;
  }
  if (g_driveMask != 0) {
    // Bit 0 still belongs to the volume yielded last.
    VolumeAdvanceLetter();
  } else {
    memcpy(g_volumeRoot, "A:\\", sizeof g_volumeRoot);
    g_driveMask = VolumeLogicalDrives();
    if (g_driveMask == 0) {
      if (g_verbosity > 0) {
        PrintSystemError(VolumeLastError());
        PrintErr("Failed to get logical drives.\n");
      }
      return STATUS_WIPE_FAILED;
    }
  }
  while (g_driveMask != 0 && g_volumeRoot[0] <= 'Z') {
    if ((g_driveMask & 1) != 0 && VolumeDriveType(g_volumeRoot) == VOLUME_DRIVE_FIXED) {
      VolumeRootPath(g_volumeRoot, root, VOLUME_ROOT_SIZE);
      GetVolumeSpaceKiB(root, totalKiB, freeKiB);
      return STATUS_OK;
    }
    VolumeAdvanceLetter();
  }
  root[0] = '\0';
  return STATUS_OK;
}

void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
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
