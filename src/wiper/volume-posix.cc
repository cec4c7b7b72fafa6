// The volume services on Linux: the fixed volumes that the mount table gives (mount-table.h), each
// disk once, given drive letters from A in table order; their space from statvfs.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include "driver/output.h"
#include "wiper/mount-table.h"
#include "wiper/volume-platform.h"
#include "wiper/volume.h"

namespace {

const uint32_t VOLUME_LETTERS = 26;
const uint32_t VOLUME_DRIVE_NO_ROOT_DIR = 1;

// The fixed volumes found when the drive mask was last asked for: the walk that follows sees one
// table, whatever is mounted or unmounted meanwhile.
struct VolumeSnapshot {
  uint32_t count;
  char root[VOLUME_LETTERS][VOLUME_ROOT_SIZE];
};

VolumeSnapshot g_snapshot;
int g_lastErrno = 0;

bool VolumeBlockDevice(const char* path, unsigned* major, unsigned* minor) {
  struct stat node;
  if (stat(path, &node) != 0 || !S_ISBLK(node.st_mode))
    return false;
  *major = major(node.st_rdev);
  *minor = minor(node.st_rdev);
  return true;
}

MountIdAnswer VolumeMountIdAt(const char* path, uint64_t* mountId) {
  struct statx shown;
  // Before 5.8 the kernel fills no mount id; before 4.11 the C library answers statx from stat,
  // which has none either. Both leave STATX_MNT_ID out of the mask.
  if (statx(AT_FDCWD, path, AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID, &shown) != 0)
    return errno == ENOSYS ? MOUNT_ID_UNSUPPORTED : MOUNT_ID_FAILED;
  if ((shown.stx_mask & STATX_MNT_ID) == 0)
    return MOUNT_ID_UNSUPPORTED;
  *mountId = shown.stx_mnt_id;
  return MOUNT_ID_FOUND;
}

const MountLookup kVolumeLookup = {VolumeBlockDevice, VolumeMountIdAt};

// Reads the whole mount table into one NUL-terminated block (null and errno on failure): the
// choice looks at later lines when it decides about earlier ones.
char* VolumeReadMountTable(size_t* length) {
  FILE* table = fopen("/proc/self/mountinfo", "re");
  if (table == nullptr)
    return nullptr;
  size_t size = 0;
  size_t used = 0;
  char* text = nullptr;
  for (;;) {
    if (size - used < 4096) {
      size = size == 0 ? 16384 : size * 2;
      char* larger = static_cast<char*>(realloc(text, size));
      if (larger == nullptr) {
        free(text);
        fclose(table);
        errno = ENOMEM;
        return nullptr;
      }
      text = larger;
    }
    size_t got = fread(text + used, 1, size - used - 1, table);
    used += got;
    if (got == 0)
      break;
  }
  int readErrno = errno;
  bool failed = ferror(table) != 0;
  fclose(table);
  if (failed) {
    free(text);
    errno = readErrno;
    return nullptr;
  }
  text[used] = '\0';
  *length = used;
  return text;
}

// Splits the table into lines and entries; false with errno when there is no memory for them.
bool VolumeParseMountTable(char* text, size_t length, MountEntry** entries, uint32_t* count) {
  uint32_t lines = 0;
  for (size_t at = 0; at < length; ++at)
    lines += text[at] == '\n';
  *entries = static_cast<MountEntry*>(malloc((lines + 1) * sizeof(MountEntry)));
  if (*entries == nullptr) {
    errno = ENOMEM;
    return false;
  }
  *count = 0;
  for (char* line = text; *line != '\0';) {
    char* end = strchr(line, '\n');
    char* next = end != nullptr ? end + 1 : line + strlen(line);
    if (end != nullptr)
      *end = '\0';
    if (MountParseLine(line, &(*entries)[*count]))
      ++*count;
    line = next;
  }
  return true;
}

// Adds a chosen mount point to the snapshot, unless its root with the trailing "/" does not fit
// a root buffer.
void VolumeSnapshotAdd(const char* mountPoint) {
  size_t length = strlen(mountPoint);
  bool slash = length > 0 && mountPoint[length - 1] == '/';
  if (length + (slash ? 0 : 1) + 1 > VOLUME_ROOT_SIZE)
    return;
  char* root = g_snapshot.root[g_snapshot.count];
  memcpy(root, mountPoint, length);
  if (!slash)
    root[length++] = '/';
  root[length] = '\0';
  ++g_snapshot.count;
}

}  // namespace

uint32_t VolumeLogicalDrives() {
  g_snapshot.count = 0;
  size_t length = 0;
  char* text = VolumeReadMountTable(&length);
  MountEntry* entries = nullptr;
  uint32_t count = 0;
  if (text == nullptr || !VolumeParseMountTable(text, length, &entries, &count)) {
    g_lastErrno = errno;
    free(text);
    return 0;
  }
  MountChoice* choices = static_cast<MountChoice*>(malloc((count + 1) * sizeof(MountChoice)));
  if (choices == nullptr) {
    g_lastErrno = ENOMEM;
    free(entries);
    free(text);
    return 0;
  }
  uint32_t chosen = MountChooseFixed(entries, count, kVolumeLookup, choices);
  for (uint32_t n = 0; n < chosen && g_snapshot.count < VOLUME_LETTERS; ++n)
    VolumeSnapshotAdd(entries[choices[n].entry].mountPoint);
  free(choices);
  free(entries);
  free(text);
  // With no fixed volume, letter A stands as a drive without a volume, so that the walk finds
  // nothing to wipe instead of taking an empty mask for a failed drive list. A guest whose disks
  // are all missed would otherwise look like one that was wiped.
  if (g_snapshot.count == 0) {
    if (g_verbosity > 0)
      PrintErr("No fixed volume found\n");
    return 1;
  }
  return (uint32_t)((UINT64_C(1) << g_snapshot.count) - 1);
}

uint32_t VolumeDriveType(const char* letterRoot) {
  uint32_t letter = (uint32_t)(unsigned char)letterRoot[0] - 'A';
  return letter < g_snapshot.count ? VOLUME_DRIVE_FIXED : VOLUME_DRIVE_NO_ROOT_DIR;
}

void VolumeRootPath(const char* letterRoot, char* root, size_t size) {
  uint32_t letter = (uint32_t)(unsigned char)letterRoot[0] - 'A';
  snprintf(root, size, "%s", letter < g_snapshot.count ? g_snapshot.root[letter] : "");
}

bool VolumeHasExtendedQuery() { return true; }

bool VolumeExtendedSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes) {
  struct statvfs space;
  if (statvfs(root, &space) != 0) {
    g_lastErrno = errno;
    return false;
  }
  *totalBytes = (uint64_t)space.f_blocks * space.f_frsize;
  *totalFreeBytes = (uint64_t)space.f_bfree * space.f_frsize;
  return true;
}

bool VolumeClusterSpace(const char* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                        uint32_t* freeClusters, uint32_t* totalClusters) {
  // Never asked for: the extended query always exists here.
  (void)root;
  (void)sectorsPerCluster;
  (void)bytesPerSector;
  (void)freeClusters;
  (void)totalClusters;
  g_lastErrno = ENOSYS;
  return false;
}

uint32_t VolumeLastError() { return (uint32_t)g_lastErrno; }
