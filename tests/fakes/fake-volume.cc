// Fake volume services: a table of 26 drive letters with types and space figures, mounts that
// only the mount list has, and a record of every call, so that both walks and the wiper run
// without a real volume.
#include "fakes/fake-volume.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "wiper/volume-drives.h"
#include "wiper/volume-mounts.h"
#include "wiper/volume.h"

namespace {

struct FakeVolume {
  bool present;
  uint32_t driveType;
  uint64_t totalBytes;
  uint64_t freeBytes;
  uint32_t sectorsPerCluster;
  uint32_t bytesPerSector;
  uint32_t freeClusters;
  uint32_t totalClusters;
  bool spaceFails;
  uint32_t spaceError;
  std::string root;
};

FakeVolume g_volumes[26];
std::vector<FakeVolume> g_mounts;
bool g_mountWalk = false;
bool g_extendedQuery = true;
bool g_failNextDrives = false;
uint32_t g_drivesError = 0;
uint32_t g_lastError = 0;
// Grows as needed, so that no call of a long walk is lost from the record.
std::string g_calls;

void FakeRecord(const char* what, const char* root) {
  g_calls += what;
  if (root != nullptr) {
    g_calls += ' ';
    g_calls += root;
  }
  g_calls += '\n';
}

// The table entry behind a letter root or a mount-point root; null for none.
FakeVolume* FakeFind(const char* root) {
  for (FakeVolume& volume : g_volumes) {
    std::string letterRoot = std::string(1, (char)('A' + (&volume - g_volumes))) + ":\\";
    if (volume.present && (volume.root == root || letterRoot == root))
      return &volume;
  }
  for (FakeVolume& volume : g_mounts) {
    if (volume.root == root)
      return &volume;
  }
  return nullptr;
}

// The volume a space query is made for, or null with the query's error as the last error.
FakeVolume* FakeQueried(const char* root) {
  FakeVolume* volume = FakeFind(root);
  if (volume == nullptr || volume->spaceFails) {
    // Windows gives ERROR_PATH_NOT_FOUND (3) for a root that is not there.
    g_lastError = volume != nullptr ? volume->spaceError : 3;
    return nullptr;
  }
  return volume;
}

FakeVolume* FakeLetter(char letter) {
  if (letter < 'A' || letter > 'Z')
    return nullptr;
  return &g_volumes[letter - 'A'];
}

}  // namespace

void FakeVolumeReset() {
  for (FakeVolume& volume : g_volumes)
    volume = FakeVolume();
  g_mounts.clear();
  g_mountWalk = false;
  g_extendedQuery = true;
  g_failNextDrives = false;
  g_drivesError = 0;
  g_lastError = 0;
  g_calls.clear();
}

void FakeAddVolume(char letter, uint32_t driveType, uint64_t totalBytes, uint64_t freeBytes) {
  FakeVolume* volume = FakeLetter(letter);
  if (volume == nullptr)
    return;
  *volume = FakeVolume();
  volume->present = true;
  volume->driveType = driveType;
  volume->totalBytes = totalBytes;
  volume->freeBytes = freeBytes;
  volume->root = std::string(1, letter) + ":\\";
}

void FakeUseMountWalk(bool mounts) { g_mountWalk = mounts; }

void FakeAddMount(const char* root, uint64_t totalBytes, uint64_t freeBytes) {
  FakeVolume volume = FakeVolume();
  volume.present = true;
  volume.driveType = FAKE_DRIVE_FIXED;
  volume.totalBytes = totalBytes;
  volume.freeBytes = freeBytes;
  volume.root = root;
  g_mounts.push_back(volume);
}

void FakeSetClusterSpace(char letter, uint32_t sectorsPerCluster, uint32_t bytesPerSector,
                         uint32_t freeClusters, uint32_t totalClusters) {
  FakeVolume* volume = FakeLetter(letter);
  if (volume == nullptr)
    return;
  volume->sectorsPerCluster = sectorsPerCluster;
  volume->bytesPerSector = bytesPerSector;
  volume->freeClusters = freeClusters;
  volume->totalClusters = totalClusters;
}

void FakeSetVolumeRoot(char letter, const char* root) {
  FakeVolume* volume = FakeLetter(letter);
  if (volume != nullptr)
    volume->root = root;
}

void FakeSetExtendedQuery(bool present) { g_extendedQuery = present; }

void FakeFailSpaceQuery(char letter, uint32_t errorCode) {
  FakeVolume* volume = FakeLetter(letter);
  if (volume == nullptr)
    return;
  volume->spaceFails = true;
  volume->spaceError = errorCode;
}

void FakeFailNextLogicalDrives(uint32_t errorCode) {
  g_failNextDrives = true;
  g_drivesError = errorCode;
}

const char* FakeVolumeCalls() { return g_calls.c_str(); }

ToolStatus NextFixedVolume(char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  ToolStatus status = g_mountWalk ? VolumeMountsNext(root, totalKiB, freeKiB)
                                  : VolumeLettersNext(root, totalKiB, freeKiB);
  // After the walk's own calls, so that a walk left idle ends the record with it.
  if (root == nullptr)
    FakeRecord("reset", nullptr);
  return status;
}

void GetVolumeSpaceKiB(const char* root, uint64_t* totalKiB, uint64_t* freeKiB) {
  if (g_mountWalk)
    VolumeMountsSpace(root, totalKiB, freeKiB);
  else
    VolumeLettersSpace(root, totalKiB, freeKiB);
}

uint32_t VolumeLogicalDrives() {
  FakeRecord("drives", nullptr);
  if (g_failNextDrives) {
    g_failNextDrives = false;
    g_lastError = g_drivesError;
    return 0;
  }
  uint32_t mask = 0;
  for (uint32_t n = 0; n < 26; ++n) {
    if (g_volumes[n].present)
      mask |= UINT32_C(1) << n;
  }
  return mask;
}

uint32_t VolumeDriveType(const char* letterRoot) {
  FakeRecord("type", letterRoot);
  FakeVolume* volume = FakeLetter(letterRoot[0]);
  if (volume == nullptr || !volume->present)
    return FAKE_DRIVE_NO_ROOT_DIR;
  return volume->driveType;
}

bool VolumeHasExtendedQuery() {
  FakeRecord("has-extended", nullptr);
  return g_extendedQuery;
}

bool VolumeExtendedSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes) {
  FakeRecord("extended", root);
  FakeVolume* volume = FakeQueried(root);
  if (volume == nullptr)
    return false;
  *totalBytes = volume->totalBytes;
  *totalFreeBytes = volume->freeBytes;
  return true;
}

bool VolumeClusterSpace(const char* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                        uint32_t* freeClusters, uint32_t* totalClusters) {
  FakeRecord("clusters", root);
  FakeVolume* volume = FakeQueried(root);
  if (volume == nullptr)
    return false;
  *sectorsPerCluster = volume->sectorsPerCluster;
  *bytesPerSector = volume->bytesPerSector;
  *freeClusters = volume->freeClusters;
  *totalClusters = volume->totalClusters;
  return true;
}

uint32_t VolumeLastError() {
  FakeRecord("last-error", nullptr);
  return g_lastError;
}

bool VolumeListFixed(VolumeList* list) {
  FakeRecord("list", nullptr);
  list->count = 0;
  list->roots = nullptr;
  if (g_failNextDrives) {
    g_failNextDrives = false;
    g_lastError = g_drivesError;
    return false;
  }
  std::vector<const FakeVolume*> fixed;
  for (const FakeVolume& volume : g_volumes) {
    if (volume.present && volume.driveType == FAKE_DRIVE_FIXED)
      fixed.push_back(&volume);
  }
  for (const FakeVolume& volume : g_mounts)
    fixed.push_back(&volume);
  list->roots = static_cast<char**>(malloc((fixed.size() + 1) * sizeof(char*)));
  for (const FakeVolume* volume : fixed)
    list->roots[list->count++] = strdup(volume->root.c_str());
  return true;
}

void VolumeListFree(VolumeList* list) {
  if (list->roots != nullptr)
    FakeRecord("list-free", nullptr);
  for (uint32_t n = 0; n < list->count; ++n)
    free(list->roots[n]);
  free(list->roots);
  list->count = 0;
  list->roots = nullptr;
}

bool VolumeMountSpace(const char* root, uint64_t* totalBytes, uint64_t* totalFreeBytes) {
  FakeRecord("space", root);
  FakeVolume* volume = FakeQueried(root);
  if (volume == nullptr)
    return false;
  *totalBytes = volume->totalBytes;
  *totalFreeBytes = volume->freeBytes;
  return true;
}
