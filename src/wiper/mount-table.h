// Which entries of a Linux mount table (/proc/self/mountinfo) are fixed volumes: the parsing and
// the choice, kept apart from the system calls that answer its questions so that a table of
// mount tables can test it.
#ifndef SHRINK_WIPER_MOUNT_TABLE_H_
#define SHRINK_WIPER_MOUNT_TABLE_H_

#include <stdint.h>

/// One line of the mount table, split into the fields the choice needs; pointers into the line.
/// The line is "id parent major:minor root mountpoint options [optional...] - type source super".
struct MountEntry {
  uint64_t mountId;
  uint64_t parentId;
  unsigned major;
  unsigned minor;
  char* mountPoint;
  char* options;
  char* type;
  char* source;
  char* superOptions;
};

/// What the kernel says of the mount that a path shows now.
enum MountIdAnswer {
  MOUNT_ID_FOUND,        ///< the id of the mount at the path
  MOUNT_ID_UNSUPPORTED,  ///< the kernel gives no mount ids (before 5.8)
  MOUNT_ID_FAILED,       ///< the path cannot be looked at
};

/// The questions the choice asks of the system. Real answers come from stat and statx
/// (volume-posix.cc); unit tests answer from a table.
struct MountLookup {
  /// The device numbers of the block device node at `path`; false when there is none there.
  bool (*blockDevice)(const char* path, unsigned* major, unsigned* minor);
  /// The id of the mount that `path` shows now, without triggering an automount.
  MountIdAnswer (*mountIdAt)(const char* path, uint64_t* mountId);
};

/// A fixed volume chosen from the table: the entry it came from and the disk it lives on
/// (major number in the upper 32 bits, minor in the lower).
struct MountChoice {
  uint32_t entry;
  uint64_t device;
};

/// Splits one table line into `entry`, undoing the octal escapes of the mount point and the
/// source in place. False for a line that does not have the table's shape.
bool MountParseLine(char* line, MountEntry* entry);

/// Chooses the fixed volumes among `count` entries in table order: read-write mounts of
/// block-device file systems that are not memory-backed, network or read-only by nature, whose
/// mount point still shows that very mount, each disk once (at its first such mount).
/// `choices` has room for `count`; returns how many were written.
uint32_t MountChooseFixed(const MountEntry* entries, uint32_t count, const MountLookup& lookup,
                          MountChoice* choices);

#endif  // SHRINK_WIPER_MOUNT_TABLE_H_
