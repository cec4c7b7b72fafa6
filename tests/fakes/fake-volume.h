// A table of fake volumes by drive letter, standing in for the platform's volume services of both
// walks: the drive letters of volume-drives.h, and the mount list of volume-mounts.h, which lists
// the fixed drives of the table in letter order (with their roots) and then the mounts added
// apart. A record of the calls the walks made.
#ifndef SHRINK_TESTS_FAKES_FAKE_VOLUME_H_
#define SHRINK_TESTS_FAKES_FAKE_VOLUME_H_

#include <stdint.h>

/// Drive types as GetDriveTypeA gives them, for FakeAddVolume.
const uint32_t FAKE_DRIVE_NO_ROOT_DIR = 1;
const uint32_t FAKE_DRIVE_REMOVABLE = 2;
const uint32_t FAKE_DRIVE_FIXED = 3;
const uint32_t FAKE_DRIVE_REMOTE = 4;
const uint32_t FAKE_DRIVE_CDROM = 5;
const uint32_t FAKE_DRIVE_RAMDISK = 6;

/// Back to: no volume, the extended query present, every call succeeding, the record empty, and
/// NextFixedVolume walking the drive letters.
void FakeVolumeReset();

/// Makes NextFixedVolume and GetVolumeSpaceKiB use the mount-list walk (true) or the drive-letter
/// walk (false), as the Linux and the Windows tool do.
void FakeUseMountWalk(bool mounts);

/// Adds a fixed volume that only the mount list gives, after the table's drives: its root (at
/// most 1023 characters, or longer to see it passed over) and byte counts.
void FakeAddMount(const char* root, uint64_t totalBytes, uint64_t freeBytes);

/// Adds (or replaces) the volume of `letter` ('A' to 'Z') with its drive type and byte counts,
/// which the extended query gives. Its root path is the letter root ("C:\\").
void FakeAddVolume(char letter, uint32_t driveType, uint64_t totalBytes, uint64_t freeBytes);

/// Gives the volume of `letter` the figures of the cluster-based query.
void FakeSetClusterSpace(char letter, uint32_t sectorsPerCluster, uint32_t bytesPerSector,
                         uint32_t freeClusters, uint32_t totalClusters);

/// Gives the volume of `letter` another root path in the mount list (at most 1023 characters), as
/// a mount point. The drive-letter walk knows letter roots only.
void FakeSetVolumeRoot(char letter, const char* root);

/// Whether the extended space query exists (it does after a reset).
void FakeSetExtendedQuery(bool present);

/// Makes both space queries of `letter` fail with `errorCode`, until the next reset.
void FakeFailSpaceQuery(char letter, uint32_t errorCode);

/// Makes the next call of VolumeLogicalDrives give 0, or of VolumeListFixed fail, with `errorCode`
/// as the last error.
void FakeFailNextLogicalDrives(uint32_t errorCode);

/// The calls made since the reset, one line each: "drives", "type C:\\", "extended C:\\",
/// "clusters C:\\", "has-extended", "last-error"; of the mount list "list", "space /mnt/",
/// "list-free"; "reset" for NextFixedVolume with no buffer.
const char* FakeVolumeCalls();

#endif  // SHRINK_TESTS_FAKES_FAKE_VOLUME_H_
