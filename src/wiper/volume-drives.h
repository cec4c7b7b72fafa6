// The walk over drive letters A to Z, and the Windows volume services it rests on: the drive
// mask, drive types and the two space queries.
// The services are defined in volume-win32.cc; unit tests link a table of fake drives instead.
#ifndef SHRINK_WIPER_VOLUME_DRIVES_H_
#define SHRINK_WIPER_VOLUME_DRIVES_H_

#include <stdint.h>

#include "base/status.h"

/// Drive type of a fixed volume, as GetDriveTypeA gives it.
const uint32_t VOLUME_DRIVE_FIXED = 3;

/// The next fixed drive in letter order, as NextFixedVolume gives it: the root is the letter
/// root ("C:\\"). The position is kept between calls; a null `root` resets it.
ToolStatus VolumeLettersNext(char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// GetVolumeSpaceKiB over the extended query, or the cluster-based one where it is absent.
void VolumeLettersSpace(const char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// The present drive letters, bit n for letter A+n (GetLogicalDrives); 0 on failure.
uint32_t VolumeLogicalDrives();

/// The drive type of a letter root such as "C:\\" (GetDriveTypeA).
uint32_t VolumeDriveType(const char* letterRoot);

/// Whether the extended space query exists, looked up afresh on every call.
bool VolumeHasExtendedQuery();

/// The extended space query: total and total-free bytes. False on failure.
bool VolumeExtendedSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes);

/// The cluster-based space query. False on failure.
bool VolumeClusterSpace(const char* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                        uint32_t* freeClusters, uint32_t* totalClusters);

#endif  // SHRINK_WIPER_VOLUME_DRIVES_H_
