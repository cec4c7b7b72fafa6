// The platform's file and memory services that the wiper rests on.
// Defined in wiper-file-win32.cc / wiper-file-posix.cc; unit tests link a byte-counting model.
#ifndef SHRINK_WIPER_WIPER_PLATFORM_H_
#define SHRINK_WIPER_WIPER_PLATFORM_H_

#include <stdint.h>

#include "wiper/wiper.h"

/// Creates a new file for writing, without sharing, failing when the name exists (never following
/// or opening what is there), with compression turned off where the file system offers it.
/// WIPER_FILE_INVALID on failure. With `*held` set it also makes the system free the file by itself
/// once it is closed or the process ends in any way, and clears `*held` where that cannot be had:
/// Linux removes the name at once, if it still is this file, on file systems that free such files
/// after a crash and while descriptors are to spare; Windows deletes it on close.
WiperFile WiperFileCreateNew(const char* name, bool* held);

/// One plain write; the count written, 0 on failure. A write stopped by no space (or quota) is
/// short or 0, like a full volume.
uint32_t WiperFileWrite(WiperFile file, const char* buffer, uint32_t size);

/// Writes the file's data out to the disk, then closes it; failures are ignored. A file deleted
/// with its zeros still cached would never have them reach the disk. Closing a held file frees it.
void WiperFileClose(WiperFile file);

/// Deletes the file by name, without following a link there; the outcome is ignored.
void WiperFileDelete(const char* name);

/// Writes out everything written to the volume at `root` so far. Called once per pass, before its
/// wiper files are deleted: blocks still in the cache when a file is deleted are dropped unwritten,
/// and the disk would keep what it held before. The outcome is ignored.
void WiperVolumeFlush(const char* root);

/// A number that identifies the running process, constant for its lifetime.
uint32_t WiperProcessId();

/// Whether a process of this id is running; true also when that cannot be told.
bool WiperProcessRunning(uint32_t processId);

/// Calls `visit` with the name (no directory) of each regular file directly in `root`: links,
/// directories and other kinds are left out. Nothing when the directory cannot be read.
void WiperRootFiles(const char* root, void (*visit)(const char* name, void* context),
                    void* context);

/// Deletes the file at `name` if it still is a regular file there, never following a link; sets
/// `*bytes` to what it held. False when nothing was deleted.
bool WiperFileDeleteLeftover(const char* name, uint64_t* bytes);

/// Allocates `size` bytes, or returns null: never ends the process. Released by WipeMemoryFree.
char* WipeMemoryAllocate(uint32_t size);
void WipeMemoryFree(char* block);

#endif  // SHRINK_WIPER_WIPER_PLATFORM_H_
