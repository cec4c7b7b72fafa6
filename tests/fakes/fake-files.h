// A model of the wiper's files and memory (wiper-platform.h): files by name that count bytes
// instead of storing them, room per volume root, chosen failures, and a log of every call.
#ifndef SHRINK_TESTS_FAKES_FAKE_FILES_H_
#define SHRINK_TESTS_FAKES_FAKE_FILES_H_

#include <stdint.h>

#include <string>
#include <vector>

/// The process id that WiperProcessId gives.
const uint32_t FAKE_PROCESS_ID = 508;

/// Back to: no file, unlimited room, no failure, an empty log.
void FakeFilesReset();

/// All files together hold at most `bytes` more bytes; a write that does not fit is short.
void FakeSetRoom(uint64_t bytes);

/// Files whose name begins with `root` hold at most `bytes` more bytes, apart from other roots.
/// Deleting a file gives its bytes back.
void FakeSetVolumeRoom(const char* root, uint64_t bytes);

/// The next write writes only `written` bytes; 0 stands for a write that failed (an I/O error).
void FakeFailNextWrite(uint32_t written);

/// Runs `action` inside the `number`-th write (1 = the first since the reset), after its bytes
/// are counted: a key queued there is waiting when the wiper polls after that block.
void FakeAtWrite(uint32_t number, void (*action)());

/// The creation of `name` fails, whether the name exists or not.
void FakeFailCreate(const char* name);

/// Every deletion from now on fails and leaves the file where it is.
void FakeFailDeletions();

/// A file of `name` exists already, holding `bytes` bytes, so that creating it fails.
void FakeAddExistingFile(const char* name, uint64_t bytes);

/// Files under `root` cannot be held: their file system would not free them after a crash, so
/// they keep their names.
void FakeKeepNames(const char* root);

/// At most `count` files are held open at the same time (descriptors); later ones keep their names.
void FakeHoldLimit(uint32_t count);

/// A process of this id is running.
void FakeSetRunning(uint32_t processId);

/// Allocations of exactly `size` bytes fail; FakeFailAllAllocations makes every one fail.
void FakeFailAllocation(uint32_t size);
void FakeFailAllAllocations();

/// What happened, one line per call in order, with runs of equal full writes folded:
///   "alloc 1048576", "alloc 1048576 failed", "free 1048576",
///   "create C:\\tzl_wiper_508.0", "create C:\\tzl_wiper_508.0 failed",
///   "unlink C:\\tzl_wiper_508.0" (a held file's name removed; its close frees it),
///   "write 1048576 x1024" (full writes), "write 1048576 -> 1500" (short or failed),
///   "close C:\\tzl_wiper_508.0", "flush C:\\" (the volume written out before the deletions),
///   "delete C:\\tzl_wiper_508.0", "delete ... failed", "list C:\\" (a root's files listed),
///   "delete leftover C:\\tzl_wiper_77.0", "delete leftover ... failed",
///   "writeback NAME 0+1048576", "await NAME 0+1048576", "drop NAME 0+1048576" (the streaming's
///   range services of wiper-stream.h, called only by its unit tests here),
///   "bad handle" for a write or close of a handle that is not open, "bad free", and
///   "write of non-zero bytes" for a block that was not zero-filled.
std::string FakeFilesLog();

/// The log without the writes, for tests that look at the files' lifecycle only.
std::string FakeFilesLogWithoutWrites();

/// The files that exist now by name, with their byte counts, as "name bytes" lines in name order.
/// Held files whose name is gone are not among them.
std::string FakeFilesPresent();

/// Files open now (held or not).
uint32_t FakeFilesOpen();

/// The byte count of every file ever created, in order of creation (deleted ones included).
std::vector<uint64_t> FakeCreatedFileBytes();

#endif  // SHRINK_TESTS_FAKES_FAKE_FILES_H_
