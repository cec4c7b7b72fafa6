// The wiper's file and memory services on Linux: exclusive creation without following links,
// compression turned off where the file system has it, plain writes streamed to the disk as they
// are made (wiper-stream-posix.cc), unlink and the process id.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "driver/interrupt.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper-stream.h"

namespace {

// A compressing file system (btrfs mounted with compress=, or a directory whose compression flag
// new files inherit) would store the zero blocks in next to no space, and the wipe would never
// reach the free blocks.
// File systems without the flags refuse the calls, which is no reason to give up.
void WiperFileDisableCompression(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
    return;
  int wanted = (flags & ~FS_COMPR_FL) | FS_NOCOMP_FL;
  if (wanted != flags)
    ioctl(fd, FS_IOC_SETFLAGS, &wanted);
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
  for (;;) {
    ssize_t written = write(fd, buffer, size);
    if (written >= 0) {
      if (offset >= 0)
        WiperStreamWritten(file, static_cast<uint64_t>(offset), static_cast<uint64_t>(written));
      return static_cast<uint32_t>(written);
    }
    // A signal that came before anything was written is worth one more try, unless it was an
    // interrupt: the wiper then ends the pass as cancelled.
    if (errno == EINTR && !InterruptRequested())
      continue;
    // No space, no quota left, an I/O error or anything else: the pass ends as on a full volume.
    return 0;
  }
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
