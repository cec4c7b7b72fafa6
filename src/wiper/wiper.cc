// The free-space wiper: the walk over the fixed volumes, and one volume's pass of zero-filled
// wiper files with its progress line, key poll and deletions.
#include "wiper/wiper.h"

#include <string.h>

#include "console/console.h"
#include "base/interrupt.h"
#include "base/output.h"
#include "wiper/volume.h"
#include "wiper/wiper-platform.h"

char* g_wipeBuffer = nullptr;
uint32_t g_wipeBufferSize = 0;
// Each slot below the pass's file count is set when its file is created, before it is read.
WiperFile g_wiperHeld[WIPER_HELD_FILES_MAX];

namespace {

// What the key poll after a full block decided.
enum KeyAction { KEY_NONE, KEY_CANCEL, KEY_SKIP };

// Allocates and zero-fills the wiping buffer, halving its size while allocation fails.
// False when even the smallest size cannot be had.
bool WipeBufferPrepare() {
  g_wipeBufferSize = WIPE_BUFFER_MAX_SIZE;
  g_wipeBuffer = WipeMemoryAllocate(g_wipeBufferSize);
  while (g_wipeBuffer == nullptr) {
    g_wipeBufferSize >>= 1;
    if (g_wipeBufferSize < WIPE_BUFFER_MIN_SIZE)
      return false;
    g_wipeBuffer = WipeMemoryAllocate(g_wipeBufferSize);
  }
  memset(g_wipeBuffer, 0, g_wipeBufferSize);
  return true;
}

// The progress line: MiB written so far, and the free MiB when the space query gave them.
void PrintProgress(uint64_t progressKiB, uint64_t freeKiB) {
  if (freeKiB == SPACE_UNAVAILABLE)
    PrintOut("%llu MB complete (C: cancel / S: skip)\n",
             (unsigned long long)(progressKiB >> 10));
  else
    PrintOut("%llu / %llu MB complete (C: cancel / S: skip)\n",
             (unsigned long long)(progressKiB >> 10), (unsigned long long)(freeKiB >> 10));
}

// Reads every key waiting until one of the command keys or none is left. A failed read ends the
// poll too: it is no key, and asking again at once could repeat the failure for ever.
KeyAction PollCommandKey() {
  for (;;) {
    int key = PollKey();
    if (key <= 0)
      return KEY_NONE;
    if (key == 'C' || key == 'c')
      return KEY_CANCEL;
    if (key == 'S' || key == 's')
      return KEY_SKIP;
  }
}

void PrintCancelled() {
  if (g_verbosity > 0)
    PrintOut("Cencelled.\n");
}

// Frees file `number` of the pass: a held file by closing it, which lets the system drop it, any
// other by deleting it by its name.
void FreeWiperFile(const char* root, uint32_t number) {
  if (number >= WIPER_HELD_FILES_MAX || g_wiperHeld[number] == WIPER_FILE_INVALID) {
    DeleteWiperFile(root, number);
    return;
  }
  char name[WIPER_NAME_SIZE];
  if (g_wiperDeleteObserver != nullptr && FormatWiperFileName(name, root, WiperProcessId(), number))
    g_wiperDeleteObserver(name);
  WiperFileClose(g_wiperHeld[number]);
  g_wiperHeld[number] = WIPER_FILE_INVALID;
}

}  // namespace

ToolStatus WipeAllVolumes() {
  char root[VOLUME_ROOT_SIZE];
  uint64_t totalKiB = 0;
  uint64_t freeKiB = 0;
  ToolStatus status = STATUS_OK;
  for (;;) {
    status = NextFixedVolume(root, &totalKiB, &freeKiB);
    if (status != STATUS_OK || root[0] == '\0')
      break;
    if (g_verbosity > 0) {
      if (totalKiB == SPACE_UNAVAILABLE || freeKiB == SPACE_UNAVAILABLE)
        PrintOut("Wiping free space on %s.\n", root);
      else
        PrintOut("Wiping free space on %s (%llu / %llu MB free).\n", root,
                 (unsigned long long)(freeKiB >> 10), (unsigned long long)(totalKiB >> 10));
    }
    status = WipeVolume(root, freeKiB);
    if (status != STATUS_OK)
      break;
  }
  if (g_wipeBuffer != nullptr) {
    WipeMemoryFree(g_wipeBuffer);
    g_wipeBuffer = nullptr;
  }
  NextFixedVolume(nullptr, nullptr, nullptr);
  return status;
}

ToolStatus WipeVolume(const char* root, uint64_t freeKiB) {
  if (g_wipeBuffer == nullptr) {
    if (!WipeBufferPrepare()) {
      if (g_verbosity > 0)
        PrintErr("Cannot allocate wiping buffer\n");
      return STATUS_WIPE_FAILED;
    }
    if (g_verbosity >= 2)
      PrintOut("Wiping buffer: %u bytes\n", (unsigned)g_wipeBufferSize);
  }
  // What a dead run left is free space too: it is wiped with the rest.
  uint64_t leftoverBytes = RemoveLeftoverWiperFiles(root);
  if (freeKiB != SPACE_UNAVAILABLE)
    freeKiB += leftoverBytes >> 10;
  if (g_verbosity > 0) {
    if (freeKiB == SPACE_UNAVAILABLE)
      PrintOut("0 MB complete (C: cancel / S: skip)\n");
    else
      PrintOut("0 / %llu MB complete (C: cancel / S: skip)\n",
               (unsigned long long)(freeKiB >> 10));
  }
  // The terminal is kept quiet (no echo, keys without Enter) for the span of the file loop, on
  // platforms whose key check needs it.
  ConsoleQuietBegin();

  // Progress is kept in 64 bits so that the loop and the figures stay right above 4 TiB.
  uint64_t progressKiB = 0;
  uint32_t fileCount = 0;
  ToolStatus status = STATUS_OK;
  while (progressKiB < freeKiB) {
    bool held = fileCount < WIPER_HELD_FILES_MAX;
    WiperFile file = CreateWiperFile(root, fileCount, &held);
    if (file == WIPER_FILE_INVALID) {
      status = STATUS_WIPE_FAILED;
      break;
    }
    if (fileCount < WIPER_HELD_FILES_MAX)
      g_wiperHeld[fileCount] = held ? file : WIPER_FILE_INVALID;
    ++fileCount;
    uint32_t fileBytes = 0;
    bool endOfVolume = false;
    for (;;) {
      uint32_t written = WiperFileWrite(file, g_wipeBuffer, g_wipeBufferSize);
      fileBytes += written;
      progressKiB += written >> 10;
      if (g_verbosity > 0) {
        CursorUpLines(1);
        PrintProgress(progressKiB, freeKiB);
      }
      // An interrupt acts as the cancel key. It is tested before the write count, because a
      // write that the signal cut short says nothing about the space left.
      if (InterruptRequested()) {
        PrintCancelled();
        status = STATUS_WIPE_FAILED;
        break;
      }
      if (written != g_wipeBufferSize) {
        endOfVolume = true;
        break;
      }
      KeyAction action = PollCommandKey();
      if (action == KEY_CANCEL) {
        PrintCancelled();
        status = STATUS_WIPE_FAILED;
        break;
      }
      if (action == KEY_SKIP) {
        if (g_verbosity > 0)
          PrintOut("Skipped.\n");
        endOfVolume = true;
        break;
      }
      if (fileBytes >= WIPER_FILE_LIMIT)
        break;
    }
    // A held file stays open until the pass ends, so that it vanishes if the process dies.
    if (!held)
      WiperFileClose(file);
    if (status != STATUS_OK || endOfVolume)
      break;
  }

  ConsoleQuietEnd();
  // The zeros reach the disk before any file is freed, held files included.
  if (fileCount > 0)
    WiperVolumeFlush(root);
  // Newest first; a file whose creation failed was never counted.
  for (uint32_t number = fileCount; number > 0; --number)
    FreeWiperFile(root, number - 1);
  return status;
}
