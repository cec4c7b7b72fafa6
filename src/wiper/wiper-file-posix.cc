// The wiper's file and memory services on Linux: exclusive creation without following links,
// compression turned off where the file system has it, the name removed at once from files kept
// open, plain writes streamed to the disk as they are made (wiper-stream-posix.cc), unlink, the
// process id, and the leftovers of dead runs in a root.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "base/interrupt.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper-stream.h"

namespace {

// A compressing file system (btrfs mounted with compress=, or a directory whose compression flag
// new files inherit) would store the zero blocks in next to no space, and the wipe would never
// reach the free blocks. btrfs mounted with compress-force= compresses even files marked not to
// be, but never those without copy-on-write, a flag that only an empty file takes and that btrfs
// does not take together with the mark: that flag first, the mark where it is refused.
// File systems without the flags refuse the calls, which is no reason to give up.
void WiperFileDisableCompression(int fd) {
  // The kernel reads and writes an int, but the request numbers say long: a zeroed long holds it
  // (in its low half on x86), so that no byte the call is said to read is left unset.
  long flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
    return;
  long wanted = (flags & ~FS_COMPR_FL) | FS_NOCOW_FL;
  if (wanted == flags || ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0)
    return;
  wanted = (flags & ~FS_COMPR_FL) | FS_NOCOMP_FL;
  if (wanted != flags)
    ioctl(fd, FS_IOC_SETFLAGS, &wanted);
}

// Descriptors left free for what the run still opens while files are held: the file that keeps
// its name, the volume flush, the next root's listing, the console.
const rlim_t WIPER_SPARE_DESCRIPTORS = 8;

// File systems that do not free a file without a name after a crash: FAT and exFAT have no
// notion of it (the check at the next mount finds lost clusters at best), NTFS and HFS+ as Linux
// drives them neither, and a FUSE daemon may keep it as a hidden file of its own.
bool WiperFileSystemFreesOrphans(int fd) {
  const long NO_ORPHAN_RECOVERY[] = {
      0x4d44,      // MSDOS_SUPER_MAGIC: vfat, msdos
      0x2011BAB0,  // EXFAT_SUPER_MAGIC
      0x65735546,  // FUSE_SUPER_MAGIC: fusefat, exfat-fuse, ntfs-3g
      0x5346544e,  // NTFS_SB_MAGIC: ntfs, ntfs3
      0x4244,      // HFS_SUPER_MAGIC
      0x482b,      // HFSPLUS_SUPER_MAGIC
  };
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0)
    return false;
  for (long type : NO_ORPHAN_RECOVERY) {
    if ((long)fs.f_type == type)
      return false;
  }
  return true;
}

// The soft limit on descriptors, raised once as far as the hard limit allows: every held file
// takes one.
rlim_t WiperDescriptorLimit() {
  static bool raised = false;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  if (!raised && limit.rlim_cur < limit.rlim_max) {
    raised = true;
    struct rlimit wanted = limit;
    wanted.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &wanted) == 0)
      limit = wanted;
  }
  return limit.rlim_cur;
}

// Removes the name of the file just created at `name` and open as `fd`, if the name still is that
// file (same device and inode) and the system will free the file by itself: at the close, at the
// process's end whatever ends it, or by the file system's orphan recovery after a crash.
bool WiperFileUnlinkOpen(int fd, const char* name) {
  rlim_t limit = WiperDescriptorLimit();
  if (limit != RLIM_INFINITY && (rlim_t)fd + WIPER_SPARE_DESCRIPTORS >= limit)
    return false;
  if (!WiperFileSystemFreesOrphans(fd))
    return false;
  struct stat opened, named;
  if (fstat(fd, &opened) != 0 || fstatat(AT_FDCWD, name, &named, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
    return false;
  return unlink(name) == 0;
}

// Smallest piece of a block tried when the volume takes no more whole blocks: one sector.
const uint32_t WIPER_PIECE_MIN = 512;

// One write(2), again after a signal that was not an interrupt; the count or -1.
ssize_t WiperWriteOnce(int fd, const char* buffer, uint32_t size) {
  for (;;) {
    ssize_t written = write(fd, buffer, size);
    // A signal that came before anything was written is worth one more try, unless it was an
    // interrupt: the wiper then ends the pass as cancelled.
    if (written >= 0 || errno != EINTR || InterruptRequested())
      return written;
  }
}

// The rest of a block that the volume did not take whole, in halves down to one sector. Some file
// systems allocate a whole request or nothing (the FUSE drivers of exFAT, for one): a block that
// they have not all the room for is refused although part of it fits, and the last free clusters
// would keep what they held.
uint32_t WiperWriteTail(int fd, const char* buffer, uint32_t size, uint32_t done) {
  uint32_t piece = size / 2;
  while (done < size && piece >= WIPER_PIECE_MIN && !InterruptRequested()) {
    uint32_t want = piece < size - done ? piece : size - done;
    ssize_t written = WiperWriteOnce(fd, buffer + done, want);
    if (written > 0)
      done += static_cast<uint32_t>(written);
    if (written != static_cast<ssize_t>(want))
      piece /= 2;
  }
  return done;
}

}  // namespace

WiperFile WiperFileCreateNew(const char* name, bool* held) {
  // O_EXCL fails on any name that exists, a symbolic link included, dangling or not; O_NOFOLLOW
  // says so once more.
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return WIPER_FILE_INVALID;
  WiperFileDisableCompression(fd);
  if (*held)
    *held = WiperFileUnlinkOpen(fd, name);
  return fd;
}

uint32_t WiperFileWrite(WiperFile file, const char* buffer, uint32_t size) {
  int fd = static_cast<int>(file);
  // Where the block lands, for its writeback; a file that cannot tell is written unstreamed.
  off_t offset = lseek(fd, 0, SEEK_CUR);
  ssize_t written = WiperWriteOnce(fd, buffer, size);
  uint32_t done = written > 0 ? static_cast<uint32_t>(written) : 0;
  // No space, no quota left: what the volume still takes is written, and the short count ends
  // the pass as on a full volume. An I/O error or an interrupt ends it at once.
  if (done < size && !(written < 0 && (errno == EINTR || (errno != ENOSPC && errno != EDQUOT &&
                                                          errno != EFBIG))))
    done = WiperWriteTail(fd, buffer, size, done);
  if (offset >= 0 && done > 0)
    WiperStreamWritten(file, static_cast<uint64_t>(offset), done);
  return done;
}

void WiperRangeStartWriteback(WiperFile file, uint64_t offset, uint64_t length) {
  sync_file_range(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
}

void WiperRangeAwaitWriteback(WiperFile file, uint64_t offset, uint64_t length) {
  sync_file_range(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

void WiperRangeDropCached(WiperFile file, uint64_t offset, uint64_t length) {
  posix_fadvise(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                POSIX_FADV_DONTNEED);
}

void WiperFileClose(WiperFile file) {
  // Writeback of whatever is left starts now. Streamed writes leave only their last window, which
  // is waited for and dropped; otherwise the next file is written meanwhile. WiperVolumeFlush
  // waits for all of it before anything is deleted.
  sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE);
  WiperStreamClosing(file);
  close(static_cast<int>(file));
}

void WiperVolumeFlush(const char* root) {
  int directory = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0)
    return;
  syncfs(directory);
  close(directory);
}

void WiperFileDelete(const char* name) { unlink(name); }

uint32_t WiperProcessId() { return static_cast<uint32_t>(getpid()); }

bool WiperProcessRunning(uint32_t processId) {
  // Process ids stop below INT_MAX, and 0 or a negative value would ask after a process group.
  if (processId == 0)
    return true;
  if (processId > (uint32_t)INT_MAX)
    return false;
  // EPERM: it runs, as another user.
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

void WiperRootFiles(const char* root, void (*visit)(const char* name, void* context),
                    void* context) {
  DIR* directory = opendir(root);
  if (directory == nullptr)
    return;
  while (struct dirent* entry = readdir(directory)) {
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      regular = fstatat(dirfd(directory), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode);
    }
    if (regular)
      visit(entry->d_name, context);
  }
  closedir(directory);
}

bool WiperFileDeleteLeftover(const char* name, uint64_t* bytes) {
  struct stat st;
  if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  *bytes = (uint64_t)st.st_blocks * 512;
  return unlink(name) == 0;
}

char* WipeMemoryAllocate(uint32_t size) {
  void* block = nullptr;
  // Page-aligned, so that each block goes to the page cache in whole pages.
  if (posix_memalign(&block, 4096, size) != 0)
    return nullptr;
  return static_cast<char*>(block);
}

void WipeMemoryFree(char* block) { free(block); }
