// The volume services on Windows: drive letters, drive types and free space from the Win32
// volume calls; the walk over them is the drive-letter walk.
#include <windows.h>

#include "wiper/volume-drives.h"
#include "wiper/volume.h"

namespace {

typedef BOOL(WINAPI* GetDiskFreeSpaceExAFunction)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                                  PULARGE_INTEGER);

// The extended query where kernel32.dll has it (from Windows 95 OSR2 on); null elsewhere.
GetDiskFreeSpaceExAFunction VolumeFindExtendedQuery() {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr)
    return nullptr;
  FARPROC entry = GetProcAddress(kernel32, "GetDiskFreeSpaceExA");
  // Through the generic function type, which converts to any other without a warning.
  return reinterpret_cast<GetDiskFreeSpaceExAFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace

ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  return VolumeLettersNext(root, totalKiB, freeKiB);
}

void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  VolumeLettersSpace(root, totalKiB, freeKiB);
}

uint32_t VolumeLogicalDrives() { return GetLogicalDrives(); }

uint32_t VolumeDriveType(const char* letterRoot) { return GetDriveTypeA(letterRoot); }

bool VolumeHasExtendedQuery() { return VolumeFindExtendedQuery() != nullptr; }

bool VolumeExtendedSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes) {
  GetDiskFreeSpaceExAFunction query = VolumeFindExtendedQuery();
  if (query == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  ULARGE_INTEGER available, total, free;
  if (!query(root, &available, &total, &free))
    return false;
  *totalBytes = total.QuadPart;
  *totalFreeBytes = free.QuadPart;
  return true;
}

bool VolumeClusterSpace(const char* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                        uint32_t* freeClusters, uint32_t* totalClusters) {
  DWORD sectors, bytes, freeCount, totalCount;
  if (!GetDiskFreeSpaceA(root, &sectors, &bytes, &freeCount, &totalCount))
    return false;
  *sectorsPerCluster = sectors;
  *bytesPerSector = bytes;
  *freeClusters = freeCount;
  *totalClusters = totalCount;
  return true;
}

uint32_t VolumeLastError() { return GetLastError(); }
