// The Windows volume services in the test prefix, where C: is a CD-ROM drive, there is no Z:,
// and the drive D: is a small scratch mount when the runner maps it (SHRINK_TEST_VOLUME_D names
// the mount, SHRINK_TEST_VOLUME_D_KIB its "total free" space in KiB).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "gtest/gtest.h"

#include "wiper/volume-drives.h"
#include "wiper/volume.h"

namespace {

// The whole walk, one line a volume: "root total free", then "end" or the failing status.
std::string Walk() {
  std::string text;
  char root[VOLUME_ROOT_SIZE];
  NextFixedVolume(nullptr, nullptr, nullptr);
  for (int n = 0; n < 30; ++n) {
    uint64_t totalKiB = 0;
    uint64_t freeKiB = 0;
    ToolStatus status = NextFixedVolume(root, &totalKiB, &freeKiB);
    char line[VOLUME_ROOT_SIZE + 64];
    if (status != STATUS_OK) {
      snprintf(line, sizeof line, "status %d\n", (int)status);
      text += line;
      break;
    }
    if (root[0] == '\0') {
      text += "end\n";
      break;
    }
    snprintf(line, sizeof line, "%s %llu %llu\n", root, (unsigned long long)totalKiB,
             (unsigned long long)freeKiB);
    text += line;
  }
  NextFixedVolume(nullptr, nullptr, nullptr);
  return text;
}

TEST(VolumeWin32Test, PassesOverTheCdromDrive) {
  uint32_t mask = VolumeLogicalDrives();
  EXPECT_NE(0u, mask & (1u << ('C' - 'A')));
  EXPECT_EQ(0u, mask & (1u << ('Z' - 'A')));
  EXPECT_EQ((uint32_t)DRIVE_CDROM, VolumeDriveType("C:\\"));
  EXPECT_TRUE(VolumeHasExtendedQuery());
  std::string walk = Walk();
  EXPECT_EQ(std::string::npos, walk.find("C:\\")) << walk;
}

TEST(VolumeWin32Test, ListsTheMappedFixedDrive) {
  const char* mount = getenv("SHRINK_TEST_VOLUME_D");
  const char* space = getenv("SHRINK_TEST_VOLUME_D_KIB");
  if (mount == nullptr || space == nullptr)
    GTEST_SKIP() << "D: is not mapped to a scratch mount";
  EXPECT_EQ((uint32_t)DRIVE_FIXED, VolumeDriveType("D:\\")) << mount;
  EXPECT_EQ(std::string("D:\\ ") + space + "\nend\n", Walk());

  // The cluster-based query, as a system without the extended one would use, agrees.
  uint32_t sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
  ASSERT_TRUE(VolumeClusterSpace("D:\\", &sectors, &bytes, &freeClusters, &totalClusters));
  uint64_t cluster = (uint64_t)sectors * bytes;
  char figures[64];
  snprintf(figures, sizeof figures, "%llu %llu",
           (unsigned long long)(cluster * totalClusters >> 10),
           (unsigned long long)(cluster * freeClusters >> 10));
  EXPECT_EQ(std::string(space), figures);
}

TEST(VolumeWin32Test, FailedSpaceQueryGivesTheError) {
  uint64_t totalBytes = 0, freeBytes = 0;
  EXPECT_FALSE(VolumeExtendedSpace("Q:\\", &totalBytes, &freeBytes));
  uint32_t error = VolumeLastError();
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_DRIVE ||
              error == ERROR_FILE_NOT_FOUND)
      << error;
}

}  // namespace
