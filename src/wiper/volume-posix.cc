// The volume services on Linux: the writable block-device file systems of the mount table, each
// once, given drive letters from A in table order; their space from statvfs.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include "wiper/volume-platform.h"
#include "wiper/volume.h"

namespace {

const uint32_t VOLUME_LETTERS = 26;
const uint32_t VOLUME_DRIVE_NO_ROOT_DIR = 1;

// The fixed volumes found when the drive mask was last asked for: the walk that follows sees one
// table, whatever is mounted or unmounted meanwhile.
struct VolumeSnapshot {
  uint32_t count;
  dev_t device[VOLUME_LETTERS];
  char root[VOLUME_LETTERS][VOLUME_ROOT_SIZE];
};

VolumeSnapshot g_snapshot;
int g_lastErrno = 0;

// Memory-backed and network file systems, and those that cannot be written at all: a source that
// looks like a device does not make them disks.
const char* const kNotFixedTypes[] = {"tmpfs", "ramfs",  "devtmpfs", "hugetlbfs", "nfs",
                                      "nfs4",  "cifs",   "smb3",     "smbfs",     "9p",
                                      "ceph",  "afs",    "virtiofs", "squashfs",  "iso9660"};

// Undoes the octal escapes (\040 for a space, \011, \012, \134) of a mount table field, in place.
void VolumeDecodeField(char* field) {
  char* out = field;
  for (const char* in = field; *in != '\0'; ++out) {
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
        in[3] >= '0' && in[3] <= '7') {
      *out = (char)(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
      in += 4;
    } else {
      *out = *in++;
    }
  }
  *out = '\0';
}

// Whether a comma-separated option list holds "ro".
bool VolumeOptionsReadOnly(const char* options) {
  for (const char* at = options; *at != '\0';) {
    size_t length = strcspn(at, ",");
    if (length == 2 && strncmp(at, "ro", 2) == 0)
      return true;
    at += length;
    if (*at == ',')
      ++at;
  }
  return false;
}

bool VolumeTypeNotFixed(const char* type) {
  for (const char* name : kNotFixedTypes) {
    if (strcmp(type, name) == 0)
      return true;
  }
  return false;
}

// One line of /proc/self/mountinfo, split into the fields the walk needs; pointers into the line.
// The line is "id parent major:minor root mountpoint options [optional...] - type source super".
struct MountEntry {
  unsigned major;
  unsigned minor;
  char* mountPoint;
  char* options;
  char* type;
  char* source;
  char* superOptions;
};

bool VolumeParseMountLine(char* line, MountEntry* entry) {
  char* fields[32];
  int count = 0;
  char* save = nullptr;
  for (char* field = strtok_r(line, " \n", &save); field != nullptr && count < 32;
       field = strtok_r(nullptr, " \n", &save))
    fields[count++] = field;
  if (count < 10)
    return false;
  int separator = 6;
  while (separator < count && strcmp(fields[separator], "-") != 0)
    ++separator;
  if (separator + 3 >= count)
    return false;
  if (sscanf(fields[2], "%u:%u", &entry->major, &entry->minor) != 2)
    return false;
  entry->mountPoint = fields[4];
  entry->options = fields[5];
  entry->type = fields[separator + 1];
  entry->source = fields[separator + 2];
  entry->superOptions = fields[separator + 3];
  VolumeDecodeField(entry->mountPoint);
  VolumeDecodeField(entry->source);
  return true;
}

// Decides whether an entry is a fixed volume, giving the device that identifies its file system
// (the source device, so that every mount of one disk, btrfs subvolumes included, counts once).
bool VolumeEntryFixed(const MountEntry& entry, dev_t* device) {
  if (VolumeOptionsReadOnly(entry.options) || VolumeOptionsReadOnly(entry.superOptions))
    return false;
  if (VolumeTypeNotFixed(entry.type))
    return false;
  dev_t mounted = makedev(entry.major, entry.minor);
  struct stat source;
  if (entry.source[0] == '/' && stat(entry.source, &source) == 0 && S_ISBLK(source.st_mode)) {
    *device = source.st_rdev;
  } else if (entry.major != 0) {
    // A disk file system whose device node is not where the table says ("/dev/root", or no /dev
    // in this root): its own device number is that of the disk. File systems without a disk have
    // major number 0.
    *device = mounted;
  } else {
    return false;
  }
  // The mount point must still show this file system: a later mount over it (or over a directory
  // above it) would have the wiper fill that one instead.
  struct stat point;
  if (stat(entry.mountPoint, &point) != 0 || point.st_dev != mounted)
    return false;
  return true;
}

// Adds an entry's mount point to the snapshot, unless its disk is there already or its root with
// the trailing "/" does not fit a root buffer.
void VolumeSnapshotAdd(const MountEntry& entry, dev_t device) {
  for (uint32_t n = 0; n < g_snapshot.count; ++n) {
    if (g_snapshot.device[n] == device)
      return;
  }
  size_t length = strlen(entry.mountPoint);
  bool slash = length > 0 && entry.mountPoint[length - 1] == '/';
  if (length + (slash ? 0 : 1) + 1 > VOLUME_ROOT_SIZE)
    return;
  char* root = g_snapshot.root[g_snapshot.count];
  memcpy(root, entry.mountPoint, length);
  if (!slash)
    root[length++] = '/';
  root[length] = '\0';
  g_snapshot.device[g_snapshot.count++] = device;
}

}  // namespace

uint32_t VolumeLogicalDrives() {
  g_snapshot.count = 0;
  FILE* table = fopen("/proc/self/mountinfo", "re");
  if (table == nullptr) {
    g_lastErrno = errno;
    return 0;
  }
  char* line = nullptr;
  size_t size = 0;
  while (g_snapshot.count < VOLUME_LETTERS && getline(&line, &size, table) >= 0) {
    MountEntry entry;
    dev_t device;
    if (VolumeParseMountLine(line, &entry) && VolumeEntryFixed(entry, &device))
      VolumeSnapshotAdd(entry, device);
  }
  bool failed = ferror(table) != 0;
  int readErrno = errno;
  free(line);
  fclose(table);
  if (failed) {
    g_snapshot.count = 0;
    g_lastErrno = readErrno;
    return 0;
  }
  // With no fixed volume, letter A stands as a drive without a volume, so that the walk finds
  // nothing to wipe instead of taking an empty mask for a failed drive list.
  if (g_snapshot.count == 0)
    return 1;
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
