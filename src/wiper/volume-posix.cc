// The volume services on Linux: the fixed volumes that the mount table gives (mount-table.h),
// each disk once, in table order, and their space from statvfs; the walk over them is the
// mount-table walk.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include "wiper/mount-table.h"
#include "wiper/volume-mounts.h"
#include "wiper/volume.h"

namespace {

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

// A mount point as a root: with a trailing "/", and only when that fits a root buffer, since a
// root cut short would name another directory. Null when it does not fit or there is no memory.
char* VolumeRootOf(const char* mountPoint) {
  size_t length = strlen(mountPoint);
  bool slash = length > 0 && mountPoint[length - 1] == '/';
  if (length + (slash ? 0 : 1) + 1 > VOLUME_ROOT_SIZE)
    return nullptr;
  char* root = static_cast<char*>(malloc(length + 2));
  if (root == nullptr)
    return nullptr;
  memcpy(root, mountPoint, length);
  if (!slash)
    root[length++] = '/';
  root[length] = '\0';
  return root;
}

}  // namespace

ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  return VolumeMountsNext(root, totalKiB, freeKiB);
}

void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  VolumeMountsSpace(root, totalKiB, freeKiB);
}

bool VolumeListFixed(VolumeList* list) {
  list->count = 0;
  list->roots = nullptr;
  size_t length = 0;
  char* text = VolumeReadMountTable(&length);
  MountEntry* entries = nullptr;
  uint32_t count = 0;
  if (text == nullptr || !VolumeParseMountTable(text, length, &entries, &count)) {
    g_lastErrno = errno;
    free(text);
    return false;
  }
  MountChoice* choices = static_cast<MountChoice*>(malloc((count + 1) * sizeof(MountChoice)));
  list->roots = static_cast<char**>(malloc((count + 1) * sizeof(char*)));
  bool ok = choices != nullptr && list->roots != nullptr;
  if (ok) {
    uint32_t chosen = MountChooseFixed(entries, count, kVolumeLookup, choices);
    for (uint32_t n = 0; n < chosen; ++n) {
      char* root = VolumeRootOf(entries[choices[n].entry].mountPoint);
      if (root != nullptr)
        list->roots[list->count++] = root;
    }
  }
  free(choices);
  free(entries);
  free(text);
  if (!ok) {
    VolumeListFree(list);
    g_lastErrno = ENOMEM;
  }
  return ok;
}

void VolumeListFree(VolumeList* list) {
  for (uint32_t n = 0; n < list->count; ++n)
    free(list->roots[n]);
  free(list->roots);
  list->count = 0;
  list->roots = nullptr;
}

bool VolumeMountSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes) {
  struct statvfs space;
  if (statvfs(root, &space) != 0) {
    g_lastErrno = errno;
    return false;
  }
  *totalBytes = (uint64_t)space.f_blocks * space.f_frsize;
  *totalFreeBytes = (uint64_t)space.f_bfree * space.f_frsize;
  return true;
}

uint32_t VolumeLastError() { return (uint32_t)g_lastErrno; }
