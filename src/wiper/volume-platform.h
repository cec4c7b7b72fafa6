// The platform's volume services that the walk rests on: Win32 drive letters, or on Linux the
// block-device file systems of the mount table given letters in table order.
// Defined in volume-win32.cc / volume-posix.cc; unit tests link a table of fake volumes instead.
#ifndef SHRINK_WIPER_VOLUME_PLATFORM_H_
#define SHRINK_WIPER_VOLUME_PLATFORM_H_

#include <stddef.h>
#include <stdint.h>

/// The present drive letters, bit n for letter A+n (GetLogicalDrives); 0 on failure. On Linux
/// this reads the mount table into the snapshot that the other calls answer from.
uint32_t VolumeLogicalDrives();

/// The drive type of a letter root such as "C:\\" (GetDriveTypeA); VOLUME_DRIVE_FIXED for a
/// fixed volume.
uint32_t VolumeDriveType(const char* letterRoot);

/// The root path of the volume behind a letter root, into `root` of `size` characters: the letter
/// root itself on Windows, the mount point with a trailing "/" on Linux.
void VolumeRootPath(const char* letterRoot, char* root, size_t size);

/// Whether the extended space query exists, looked up afresh on every call.
bool VolumeHasExtendedQuery();

/// The extended space query: total and total-free bytes. False on failure.
bool VolumeExtendedSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes);

/// The cluster-based space query. False on failure.
bool VolumeClusterSpace(const char* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                        uint32_t* freeClusters, uint32_t* totalClusters);

/// The error code of the last failed volume call, for PrintSystemError.
uint32_t VolumeLastError();

#endif  // SHRINK_WIPER_VOLUME_PLATFORM_H_
