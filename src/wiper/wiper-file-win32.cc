// The wiper's file and memory services on Windows: CreateFileA with CREATE_NEW, compression cleared
// and deletion on close, WriteFile, CloseHandle, DeleteFileA, the process id, and the leftovers of
// dead runs in a root.
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
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

WiperFile WiperFileCreateNew(const char* name, bool* held) {
  // FSCTL_SET_COMPRESSION asks for read and write access to the file, so the handle has both; it
  // is shared with nobody but a deleter. CREATE_NEW never opens what is there, and with
  // FILE_FLAG_OPEN_REPARSE_POINT a link at the name is not followed to create its target.
  // A held file is deleted by the system when its handle is closed, by the process's end too,
  // however it ends: that takes DELETE access and the share mode that admits it.
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD share = 0;
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
  if (*held) {
    access |= DELETE;
    share = FILE_SHARE_DELETE;
    flags |= FILE_FLAG_DELETE_ON_CLOSE;
  }
  HANDLE file = CreateFileA(name, access, share, NULL, CREATE_NEW, flags, NULL);
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

bool WiperProcessRunning(uint32_t processId) {
  if (processId == 0)
    return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  // No such process is ERROR_INVALID_PARAMETER; any other refusal (access) means one is there.
  if (process == NULL)
    return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

void WiperRootFiles(const char* root, void (*visit)(const char* name, void* context),
                    void* context) {
  char pattern[MAX_PATH];
  if ((size_t)snprintf(pattern, sizeof pattern, "%s*", root) >= sizeof pattern)
    return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  const DWORD notRegular =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  do {
    if ((found.dwFileAttributes & notRegular) == 0)
      visit(found.cFileName, context);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

bool WiperFileDeleteLeftover(const char* name, uint64_t* bytes) {
  // The file itself is opened, never what a link there points to, and judged by its handle.
  HANDLE file = CreateFileA(name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                          FILE_ATTRIBUTE_DEVICE)) != 0)
    return false;
  // It must be on the root's own volume: a link that a system shows as the file it points to
  // (Wine does so with a Unix link) mostly leads elsewhere.
  char root[4] = {name[0], ':', '\\', '\0'};
  DWORD serial = 0;
  if (name[0] == '\0' || name[1] != ':' ||
      !GetVolumeInformationA(root, NULL, 0, &serial, NULL, NULL, NULL, 0) ||
      serial != info.dwVolumeSerialNumber)
    return false;
  *bytes = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return DeleteFileA(name) != 0;
}

char* WipeMemoryAllocate(uint32_t size) { return static_cast<char*>(malloc(size)); }

void WipeMemoryFree(char* block) { free(block); }
