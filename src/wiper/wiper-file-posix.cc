// The wiper's file and memory services on Linux: exclusive creation without following links,
// compression turned off where the file system has it, plain writes streamed to the disk as they
// are made (wiper-stream-posix.cc), unlink and the process id.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
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
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
    return;
  int wanted = (flags & ~FS_COMPR_FL) | FS_NOCOW_FL;
  if (wanted == flags || ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0)
    return;
  wanted = (flags & ~FS_COMPR_FL) | FS_NOCOMP_FL;
  if (wanted != flags)
    ioctl(fd, FS_IOC_SETFLAGS, &wanted);
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

WiperFile WiperFileCreateNew(const char* name) {
  // O_EXCL fails on any name that exists, a symbolic link included, dangling or not; O_NOFOLLOW
  // says so once more.
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return WIPER_FILE_INVALID;
  WiperFileDisableCompression(fd);
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

char* WipeMemoryAllocate(uint32_t size) {
  void* block = nullptr;
  // Page-aligned, so that each block goes to the page cache in whole pages.
  if (posix_memalign(&block, 4096, size) != 0)
    return nullptr;
  return static_cast<char*>(block);
}

void WipeMemoryFree(char* block) { free(block); }
