// The walk over the fixed volumes that a Linux mount table lists, and the services it rests on:
// the list of those volumes with their roots, and their space.
// The services are defined in volume-posix.cc; unit tests link a table of fake volumes instead.
#ifndef SHRINK_WIPER_VOLUME_MOUNTS_H_
#define SHRINK_WIPER_VOLUME_MOUNTS_H_

#include <stdint.h>

#include "base/status.h"

/// The fixed volumes listed at the start of a walk: each root is a mount point ending in "/".
struct VolumeList {
  uint32_t count;
  char** roots;
};

/// The next listed volume, as NextFixedVolume gives it. The list is taken when a walk begins, so
/// that the walk sees one table whatever is mounted meanwhile; a null `root` resets it. With no
/// fixed volume at all it says so ("No fixed volume found\n", level 1) and ends the walk.
ToolStatus VolumeMountsNext(char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// GetVolumeSpaceKiB over VolumeMountSpace.
void VolumeMountsSpace(const char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// Fills `list` (empty before) with the fixed volumes in table order, each disk once, however
/// many there are. False when the table cannot be read; the list is empty then.
bool VolumeListFixed(VolumeList* list);

/// Releases what VolumeListFixed gave and leaves the list empty.
void VolumeListFree(VolumeList* list);

/// Total and total-free bytes of the volume at `root`. False on failure.
bool VolumeMountSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes);

#endif  // SHRINK_WIPER_VOLUME_MOUNTS_H_
