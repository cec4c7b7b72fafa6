// The wiper's file and memory services on Windows: CreateFileA with CREATE_NEW and compression
// cleared, WriteFile, CloseHandle, DeleteFileA and the process id.
#include <windows.h>
#include <winioctl.h>

#include <stdlib.h>

#include "wiper/wiper-platform.h"

namespace {

// A file created in a compressed folder or on a compressed drive is compressed too, and its zero
// blocks would take next to no space: the wipe would never reach the free clusters. A file system
// without compression refuses the call, which is no reason to give up.
void WiperFileDisableCompression(HANDLE file) {
  USHORT format = COMPRESSION_FORMAT_NONE;
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, NULL, 0, &returned, NULL);
}

}  // namespace

WiperFile WiperFileCreateNew(const char* name) {
  // FSCTL_SET_COMPRESSION asks for read and write access to the file, so the handle has both; it
  // is still not shared. CREATE_NEW never opens what is there, and with
  // FILE_FLAG_OPEN_REPARSE_POINT a link at the name is not followed to create its target.
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                            FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return WIPER_FILE_INVALID;
  WiperFileDisableCompression(file);
  return reinterpret_cast<WiperFile>(file);
}

uint32_t WiperFileWrite(WiperFile file, const char* buffer, uint32_t size) {
  DWORD written = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(file), buffer, size, &written, NULL))
    return 0;
  return written;
}

void WiperFileClose(WiperFile file) {
  // Data still in the cache when the file is deleted is dropped unwritten, and the disk keeps
  // what it held before: the zeros are written out first.
  FlushFileBuffers(reinterpret_cast<HANDLE>(file));
  CloseHandle(reinterpret_cast<HANDLE>(file));
}

// Each file was flushed as it was closed: flushing a whole volume would need a handle on the
// volume device itself.
void WiperVolumeFlush(const char* root) { (void)root; }

void WiperFileDelete(const char* name) { DeleteFileA(name); }

uint32_t WiperProcessId() { return GetCurrentProcessId(); }

char* WipeMemoryAllocate(uint32_t size) { return static_cast<char*>(malloc(size)); }

void WipeMemoryFree(char* block) { free(block); }
