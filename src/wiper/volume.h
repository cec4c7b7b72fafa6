// The walk over the fixed volumes, with each volume's total and free space: over the drive
// letters A to Z on Windows (volume-drives.h), over the mount table's disks on Linux
// (volume-mounts.h). The platform file chooses the walk.
#ifndef SHRINK_WIPER_VOLUME_H_
#define SHRINK_WIPER_VOLUME_H_

#include <stdint.h>

#include "base/status.h"

/// A space value that the query failed to obtain. Space values are KiB counts carried in 64 bits,
/// so that volumes of 4 TiB and more show right figures; below that they equal the 32-bit ones.
const uint64_t SPACE_UNAVAILABLE = UINT64_C(0xFFFFFFFFFFFFFFFF);

/// Room that a caller's root buffer must have: a drive root on Windows, a mount point on Linux.
const uint32_t VOLUME_ROOT_SIZE = 1024;

/// Yields the next fixed volume: its root into `root` (VOLUME_ROOT_SIZE characters) and its space
/// into the two values. At the end `root` is empty and the values are not written. Returns
/// STATUS_OK, or STATUS_WIPE_FAILED with both messages written when the volume list cannot be
/// obtained. A null `root` resets the walk and returns STATUS_OK.
/// Defined in volume-win32.cc / volume-posix.cc, over the walk of that platform.
ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// Writes the total and total-free space of the volume at `root` in KiB; on a failed query writes
/// the platform text and "Failed to get %s free space\n" (level 1) and sets both to
/// SPACE_UNAVAILABLE. Defined beside NextFixedVolume.
void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB);

/// The error code of the last failed volume call, for PrintSystemError. Defined with the
/// platform's volume services.
uint32_t VolumeLastError();

/// For both walks: the messages of a volume list that could not be obtained (level 1; the error
/// code is asked for only then).
void VolumeReportListFailure();

/// For both walks: sets the two values from byte counts, or when `ok` is false writes the
/// messages of a failed space query (level 1) and sets both to SPACE_UNAVAILABLE.
void VolumeSetSpace(const char* root, bool ok, uint64_t totalBytes, uint64_t freeBytes,
                    uint64_t* totalKiB, uint64_t* freeKiB);

#endif  // SHRINK_WIPER_VOLUME_H_
