// Which entries of a Linux mount table are fixed volumes: each line split into its fields, then
// the choice of read-write disk file systems that their mount points still show, each disk once.
#include "wiper/mount-table.h"

#include <stdio.h>
#include <string.h>

namespace {

// Memory-backed and network file systems, and those that cannot be written at all: a source that
// looks like a device does not make them disks.
const char* const kNotFixedTypes[] = {"tmpfs", "ramfs",  "devtmpfs", "hugetlbfs", "nfs",
                                      "nfs4",  "cifs",   "smb3",     "smbfs",     "9p",
                                      "ceph",  "afs",    "virtiofs", "squashfs",  "iso9660"};

const int MOUNT_FIELDS_MAX = 32;

// Undoes the octal escapes (\040 for a space, \011, \012, \134) of a mount table field, in place.
void MountDecodeField(char* field) {
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
bool MountOptionsReadOnly(const char* options) {
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

bool MountTypeNotFixed(const char* type) {
  for (const char* name : kNotFixedTypes) {
    if (strcmp(type, name) == 0)
      return true;
  }
  return false;
}

// Whether `outer` is `inner` itself or a directory above it ("/a" is above "/a/b", not "/ab").
bool MountPathAtOrAbove(const char* outer, const char* inner) {
  size_t length = strlen(outer);
  while (length > 1 && outer[length - 1] == '/')
    --length;
  if (length == 1 && outer[0] == '/')
    return true;
  return strncmp(outer, inner, length) == 0 && (inner[length] == '\0' || inner[length] == '/');
}

// Whether entry `above` is one of the mounts that entry `below` hangs from.
bool MountIsAncestor(const MountEntry* entries, uint32_t count, uint32_t above, uint32_t below) {
  uint64_t id = entries[below].parentId;
  // Each step goes one mount up; more steps than entries would be a loop in a torn table.
  for (uint32_t steps = 0; steps < count; ++steps) {
    if (id == entries[above].mountId)
      return true;
    uint32_t parent = 0;
    while (parent < count && entries[parent].mountId != id)
      ++parent;
    // The root's parent is not in the table.
    if (parent == count)
      return false;
    id = entries[parent].parentId;
  }
  return false;
}

// Without mount ids from the kernel: the table lists mounts in the order they were made, so a
// mount is covered when a later one sits at its mount point or above it, unless that later one is
// a mount it hangs from (a parent moved into place after its children, as a switch of the root
// from an initial ramdisk does). Device numbers cannot tell this: on btrfs the number that stat
// gives differs from the table's for every mount.
bool MountCoveredLater(const MountEntry* entries, uint32_t count, uint32_t index) {
  for (uint32_t later = index + 1; later < count; ++later) {
    if (MountPathAtOrAbove(entries[later].mountPoint, entries[index].mountPoint) &&
        !MountIsAncestor(entries, count, later, index))
      return true;
  }
  return false;
}

// Whether the entry's mount point still shows this very mount: a later mount over it (or over a
// directory above it) would have the wiper fill that one instead.
bool MountStillShown(const MountEntry* entries, uint32_t count, uint32_t index,
                     const MountLookup& lookup) {
  uint64_t shown = 0;
  switch (lookup.mountIdAt(entries[index].mountPoint, &shown)) {
    case MOUNT_ID_FOUND:
      if (shown == entries[index].mountId)
        return true;
      // An id that the table does not have is no answer: a mount made since the table was read,
      // or a statx that sets the mask without the id (qemu-i386 gives 0).
      for (uint32_t n = 0; n < count; ++n) {
        if (entries[n].mountId == shown)
          return false;
      }
      return !MountCoveredLater(entries, count, index);
    case MOUNT_ID_UNSUPPORTED:
      return !MountCoveredLater(entries, count, index);
    case MOUNT_ID_FAILED:
      break;
  }
  return false;
}

// The disk that an entry's file system lives on, or false for one without a disk. The source's
// device node counts first, so that every mount of one disk counts once: btrfs gives each
// subvolume a device number of its own.
bool MountEntryDevice(const MountEntry& entry, const MountLookup& lookup, uint64_t* device) {
  unsigned major = 0;
  unsigned minor = 0;
  if (entry.source[0] == '/' && lookup.blockDevice(entry.source, &major, &minor)) {
    *device = ((uint64_t)major << 32) | minor;
    return true;
  }
  // A disk file system whose device node is not where the table says ("/dev/root", or no /dev in
  // this root): its own device number is that of the disk. File systems without a disk have
  // major number 0.
  if (entry.major == 0)
    return false;
  *device = ((uint64_t)entry.major << 32) | entry.minor;
  return true;
}

}  // namespace

bool MountParseLine(char* line, MountEntry* entry) {
  char* fields[MOUNT_FIELDS_MAX];
  int count = 0;
  char* save = nullptr;
  for (char* field = strtok_r(line, " \n", &save); field != nullptr && count < MOUNT_FIELDS_MAX;
       field = strtok_r(nullptr, " \n", &save))
    fields[count++] = field;
  if (count < 10)
    return false;
  int separator = 6;
  while (separator < count && strcmp(fields[separator], "-") != 0)
    ++separator;
  if (separator + 3 >= count)
    return false;
  unsigned long long mountId = 0;
  unsigned long long parentId = 0;
  char end = 0;
  if (sscanf(fields[0], "%llu%c", &mountId, &end) != 1 ||
      sscanf(fields[1], "%llu%c", &parentId, &end) != 1 ||
      sscanf(fields[2], "%u:%u", &entry->major, &entry->minor) != 2)
    return false;
  entry->mountId = mountId;
  entry->parentId = parentId;
  entry->mountPoint = fields[4];
  entry->options = fields[5];
  entry->type = fields[separator + 1];
  entry->source = fields[separator + 2];
  entry->superOptions = fields[separator + 3];
  MountDecodeField(entry->mountPoint);
  MountDecodeField(entry->source);
  return true;
}

uint32_t MountChooseFixed(const MountEntry* entries, uint32_t count, const MountLookup& lookup,
                          MountChoice* choices) {
  uint32_t chosen = 0;
  for (uint32_t index = 0; index < count; ++index) {
    const MountEntry& entry = entries[index];
    if (MountOptionsReadOnly(entry.options) || MountOptionsReadOnly(entry.superOptions) ||
        MountTypeNotFixed(entry.type))
      continue;
    uint64_t device = 0;
    if (!MountEntryDevice(entry, lookup, &device) ||
        !MountStillShown(entries, count, index, lookup))
      continue;
    bool seen = false;
    for (uint32_t n = 0; n < chosen && !seen; ++n)
      seen = choices[n].device == device;
    if (seen)
      continue;
    choices[chosen].entry = index;
    choices[chosen].device = device;
    ++chosen;
  }
  return chosen;
}
