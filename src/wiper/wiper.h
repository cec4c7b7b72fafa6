// The free-space wiper: fills each fixed volume's free space with zero-filled files and frees it.
#ifndef SHRINK_WIPER_WIPER_H_
#define SHRINK_WIPER_WIPER_H_

#include <stdint.h>

#include "base/status.h"

const uint32_t WIPE_BUFFER_MAX_SIZE = 0x100000;  ///< first buffer size tried
const uint32_t WIPE_BUFFER_MIN_SIZE = 1024;      ///< smallest buffer size tried
const uint32_t WIPER_FILE_LIMIT = 0x40000000;    ///< bytes after which a wiper file is closed
const uint32_t WIPER_NAME_SIZE = 260;            ///< characters of a wiper file name buffer

/// Handle of an open wiper file; WIPER_FILE_INVALID stands for INVALID_HANDLE_VALUE.
typedef intptr_t WiperFile;
const WiperFile WIPER_FILE_INVALID = -1;

/// The block written again and again: g_wipeBufferSize zero bytes, or null outside a wipe.
extern char* g_wipeBuffer;
extern uint32_t g_wipeBufferSize;

/// Wiper files of one pass kept open until its end at most (1 GiB each, so 4 TiB); later files of
/// the pass are closed once written and deleted by name.
const uint32_t WIPER_HELD_FILES_MAX = 4096;

/// The open files of the volume pass under way, by file number, or WIPER_FILE_INVALID for a file
/// that was closed when written and keeps its name until it is deleted. The wiper keeps more than
/// one file open at a time only for this: a held file has no name left (Linux) or is deleted when
/// closed (Windows), so the system frees it however the process ends, killed or crashed
/// included. Each pass writes its data out and then closes them, newest first; none is open
/// between passes.
extern WiperFile g_wiperHeld[WIPER_HELD_FILES_MAX];

/// Wipes every fixed volume in turn. Returns STATUS_OK when each was wiped or skipped, else
/// STATUS_WIPE_FAILED (drive list, buffer, creation, cancel key or interrupt), messages written.
/// The buffer is released and the volume walk reset before it returns.
ToolStatus WipeAllVolumes();

/// Wipes one volume's free space (`freeKiB` may be SPACE_UNAVAILABLE) and deletes its files.
ToolStatus WipeVolume(const char* root, uint64_t freeKiB);

/// Creates wiper file `number` in `root`, exclusively and uncompressed; WIPER_FILE_INVALID with
/// "Failed to create a wiper file %s\n" (level 1) when that fails. With `*held` set it asks for a
/// file that the system removes by itself once it is closed or the process ends, and leaves
/// `*held` telling whether it is one (else it keeps its name until DeleteWiperFile).
WiperFile CreateWiperFile(const char* root, uint32_t number, bool* held);

/// The blocks are written with WiperFileWrite and the files closed with WiperFileClose
/// (wiper-platform.h).

/// Deletes wiper file `number` in `root` by its name; the outcome is ignored, nothing is written.
void DeleteWiperFile(const char* root, uint32_t number);

/// For tests on real volumes: when set, called with each wiper file's name just before it is
/// deleted or, for a held file, closed, while the volume is as full as its pass left it. Null in
/// the tool.
extern void (*g_wiperDeleteObserver)(const char* name);

/// Deletes the wiper files that runs no longer alive left in `root` (killed on a file system that
/// keeps their names, a power loss, an older version of the tool): regular files named exactly as
/// FormatWiperFileName makes them whose process is not running. Links, directories and other names
/// are never touched; a file that cannot be deleted is left silently. Writes "Removed %lu wiper
/// files left by an earlier run on %s\n" (level 1, standard output) when it removed any. Returns
/// the bytes those files held.
uint64_t RemoveLeftoverWiperFiles(const char* root);

/// Whether `name` (without a directory) is "tzl_wiper_<process id>.<number>" with both numbers
/// in plain decimal as FormatWiperFileName writes them and within 32 bits; sets `*processId`.
bool ParseWiperFileName(const char* name, uint32_t* processId);

/// Forms "%stzl_wiper_%lu.%lu" from root, process id and number into `name` (WIPER_NAME_SIZE).
/// Returns false when the name does not fit.
bool FormatWiperFileName(char* name, const char* root, uint32_t processId, uint32_t number);

#endif  // SHRINK_WIPER_WIPER_H_
