// The walk over the fixed volumes, drive letter A to Z, with each volume's total and free space.
#ifndef SHRINK_WIPER_VOLUME_H_
#define SHRINK_WIPER_VOLUME_H_

#include <stdint.h>

#include "driver/status.h"

/// A space value that the query failed to obtain. Space values are KiB counts carried in 64 bits,
/// so that volumes of 4 TiB and more show right figures; below that they equal the 32-bit ones.
const uint64_t SPACE_UNAVAILABLE = UINT64_C(0xFFFFFFFFFFFFFFFF);

/// Room that a caller's root buffer must have: a drive root on Windows, a mount point on Linux.
const uint32_t VOLUME_ROOT_SIZE = 1024;

/// Drive type of a fixed volume, as GetDriveTypeA gives it.
const uint32_t VOLUME_DRIVE_FIXED = 3;

/// The drive letter under consideration: letter, colon, backslash, NUL.
extern char g_volumeRoot[4];
/// The drive letters not yet passed, bit 0 standing for g_volumeRoot; 0 when no walk is under way.
extern uint32_t g_driveMask;

/// Yields the next fixed volume: its root into `root` (VOLUME_ROOT_SIZE characters) and its space
/// into the two values. At the end `root` is empty and the values are not written. Returns
/// STATUS_OK, or STATUS_WIPE_FAILED with both messages written when the drive list cannot be
/// obtained. A null `root` resets the walk and returns STATUS_OK.
ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// Writes the total and total-free space of the volume at `root` in KiB; on a failed query writes
/// the platform text and "Failed to get %s free space\n" (level 1) and sets both to
/// SPACE_UNAVAILABLE.
void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB);

#endif  // SHRINK_WIPER_VOLUME_H_
