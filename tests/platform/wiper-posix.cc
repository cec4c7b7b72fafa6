// The wiper on real Linux file systems: small ext4, FAT and btrfs images on a tmpfs, mounted in
// the test's own mount namespace, filled by WipeVolume and freed again. Needs root.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/status.h"
#include "platform/wiper-observed.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper-stream.h"
#include "wiper/wiper.h"

namespace {

const uint64_t MIB = UINT64_C(1) << 20;

// Bytes of the file at `path` that are in the page cache now (mincore over a mapping of it).
uint64_t CachedBytes(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
    if (fd >= 0)
      close(fd);
    return 0;
  }
  void* map = mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED)
    return ~UINT64_C(0);
  long page = sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((st.st_size + page - 1) / page);
  uint64_t cached = ~UINT64_C(0);
  if (mincore(map, st.st_size, resident.data()) == 0) {
    cached = 0;
    for (unsigned char entry : resident)
      cached += (entry & 1) ? page : 0;
  }
  munmap(map, st.st_size);
  return cached;
}

uint64_t FreeBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0)
    return ~UINT64_C(0);
  return (uint64_t)st.f_bfree * st.f_frsize;
}

// Room for more data. Unlike the free count it leaves out what btrfs keeps for metadata.
uint64_t AvailableBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0)
    return ~UINT64_C(0);
  return (uint64_t)st.f_bavail * st.f_frsize;
}

uint64_t TotalBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0)
    return 0;
  return (uint64_t)st.f_blocks * st.f_frsize;
}

void SyncVolume(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    syncfs(fd);
    close(fd);
  }
}

bool RunQuietly(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool HasProgram(const char* name) { return RunQuietly(std::string("command -v ") + name); }

bool KernelHasFileSystem(const char* type) {
  FILE* list = fopen("/proc/filesystems", "r");
  if (list == nullptr)
    return false;
  char line[128];
  bool found = false;
  while (!found && fgets(line, sizeof line, list) != nullptr) {
    char* name = strrchr(line, '\t');
    name = name != nullptr ? name + 1 : line;
    name[strcspn(name, "\n")] = '\0';
    found = strcmp(name, type) == 0;
  }
  fclose(list);
  return found;
}

bool WriteFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0)
    return false;
  bool ok = write(fd, content.data(), content.size()) == (ssize_t)content.size();
  return close(fd) == 0 && ok;
}

std::string ReadFile(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return "<missing>";
  char chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0)
    content.append(chunk, got);
  close(fd);
  return content;
}

// Bytes that no file system writes by itself: a user file whose every byte must survive.
std::string UserBytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = (char)(state >> 24);
  }
  return bytes;
}

std::string WiperName(const std::string& root, uint32_t number) {
  char name[WIPER_NAME_SIZE];
  FormatWiperFileName(name, root.c_str(), WiperProcessId(), number);
  return name;
}

// Names in `dir` that start with "tzl_wiper_".
std::string WiperFilesIn(const std::string& dir) {
  std::string found;
  std::string command = "ls -a '" + dir + "'";
  FILE* list = popen(command.c_str(), "r");
  char line[512];
  while (list != nullptr && fgets(line, sizeof line, list) != nullptr) {
    if (strncmp(line, "tzl_wiper_", 10) == 0)
      found += line;
  }
  if (list != nullptr)
    pclose(list);
  return found;
}

// The MiB figure of the last progress line in `out`.
uint64_t LastProgressMiB(const std::string& out) {
  size_t end = out.rfind(" / ");
  if (end == std::string::npos)
    return ~UINT64_C(0);
  size_t start = out.rfind('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return strtoull(out.substr(start, end - start).c_str(), nullptr, 10);
}

// The kinds of volume the tests make.
enum VolumeKind { VOLUME_EXT4, VOLUME_FAT, VOLUME_BTRFS_ZSTD, VOLUME_TMPFS_1100M };

const char* VolumeKindName(VolumeKind kind) {
  switch (kind) {
    case VOLUME_EXT4: return "ext4";
    case VOLUME_FAT: return "FAT";
    case VOLUME_BTRFS_ZSTD: return "btrfs, compress=zstd";
    case VOLUME_TMPFS_1100M: return "tmpfs";
  }
  return "?";
}

// A scratch tmpfs in a mount namespace of the test's own, for the images and their mount points.
// Mounts made there vanish with the process even if it dies, and loop devices with them.
class WiperVolumeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) {
      s_skipReason = "needs root for mounts";
      return;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      s_skipReason = std::string("no private mount namespace: ") + strerror(errno);
      return;
    }
    char scratch[] = "/tmp/shrink-wiper-XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
      s_skipReason = "no scratch directory";
      return;
    }
    s_scratch = scratch;
  }

  static void TearDownTestSuite() {
    if (!s_scratch.empty())
      rmdir(s_scratch.c_str());
    s_scratch.clear();
  }

  // Each test gets a fresh tmpfs; detaching it at the end takes everything in it away.
  void SetUp() override {
    if (!s_skipReason.empty())
      GTEST_SKIP() << s_skipReason;
    if (mount("tmpfs", s_scratch.c_str(), "tmpfs", 0, "size=400m") != 0)
      GTEST_SKIP() << "no tmpfs: " << strerror(errno);
    m_scratchMounted = true;
  }

  void TearDown() override {
    for (size_t i = m_mounts.size(); i > 0; --i)
      umount2(m_mounts[i - 1].c_str(), MNT_DETACH);
    if (m_fuse > 0) {
      kill(m_fuse, SIGTERM);
      waitpid(m_fuse, nullptr, 0);
    }
    if (m_scratchMounted)
      umount2(s_scratch.c_str(), MNT_DETACH);
  }

  // Makes a volume of `kind` and returns its root with a trailing "/", or "" with the reason in
  // `skip` when this machine cannot make it.
  std::string MakeVolume(VolumeKind kind, std::string* skip) {
    std::string name = std::to_string(m_mounts.size());
    std::string image = s_scratch + "/image" + name;
    std::string root = s_scratch + "/volume" + name;
    mkdir(root.c_str(), 0755);
    switch (kind) {
      case VOLUME_EXT4:
        if (!MakeImage(image, 32) || !RunQuietly("mkfs.ext4 -q -F -E nodiscard '" + image + "'") ||
            !RunQuietly("mount -o loop '" + image + "' '" + root + "'"))
          return Fail("cannot make an ext4 volume", skip);
        break;
      case VOLUME_FAT:
        if (!MakeImage(image, 24) || !RunQuietly("mkfs.vfat '" + image + "'"))
          return Fail("cannot make a FAT image", skip);
        if (KernelHasFileSystem("vfat")) {
          if (!RunQuietly("mount -o loop -t vfat '" + image + "' '" + root + "'"))
            return Fail("cannot mount a FAT volume", skip);
        } else if (!MountFuseFat(image, root)) {
          return Fail("no vfat in the kernel and no fusefat (package fusefat) to mount FAT with",
                      skip);
        }
        break;
      case VOLUME_BTRFS_ZSTD:
        // mkfs.btrfs takes nothing much smaller.
        if (!KernelHasFileSystem("btrfs") || !MakeImage(image, 112) ||
            !RunQuietly("mkfs.btrfs -q -f '" + image + "'") ||
            !RunQuietly("mount -o loop,compress=zstd '" + image + "' '" + root + "'"))
          return Fail("cannot make a btrfs volume", skip);
        break;
      case VOLUME_TMPFS_1100M:
        if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1100m") != 0)
          return Fail("cannot mount a tmpfs", skip);
        break;
    }
    m_mounts.push_back(root);
    return root + "/";
  }

  // MakeVolume for a test that needs every kind it names: a kind this machine cannot make fails.
  std::string MakeVolumeOrFail(VolumeKind kind) {
    std::string skip;
    std::string root = MakeVolume(kind, &skip);
    if (root.empty())
      ADD_FAILURE() << skip;
    return root;
  }

  static std::string s_skipReason;
  static std::string s_scratch;

 private:
  // An image filled with a pattern, so that what the wipe did not reach can be told from zeros.
  bool MakeImage(const std::string& image, uint32_t mib) {
    std::string pattern(MIB, (char)0xAA);
    int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0;
    for (uint32_t i = 0; ok && i < mib; ++i)
      ok = write(fd, pattern.data(), pattern.size()) == (ssize_t)pattern.size();
    return fd >= 0 && close(fd) == 0 && ok;
  }

  // fusefat in the foreground as a child that dies with the test, so that nothing outlives it.
  bool MountFuseFat(const std::string& image, const std::string& root) {
    if (!HasProgram("fusefat"))
      return false;
    dev_t before = DeviceOf(root);
    pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execlp("fusefat", "fusefat", "-f", "-s", "-o", "rw+", image.c_str(), root.c_str(),
             (char*)nullptr);
      _exit(127);
    }
    if (child < 0)
      return false;
    m_fuse = child;
    for (int i = 0; i < 200; ++i) {
      if (DeviceOf(root) != before)
        return true;
      usleep(10000);
    }
    return false;
  }

  static dev_t DeviceOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
  }

  std::string Fail(const char* reason, std::string* skip) {
    *skip = reason;
    return "";
  }

  std::vector<std::string> m_mounts;
  pid_t m_fuse = 0;
  bool m_scratchMounted = false;
};

std::string WiperVolumeTest::s_skipReason;
std::string WiperVolumeTest::s_scratch;

// Each file system really fills, the wiper files are gone afterwards, the user's files are
// unchanged, and the space is free again.
TEST_F(WiperVolumeTest, FillsTheVolumeAndFreesItAgain) {
  const VolumeKind kinds[] = {VOLUME_EXT4, VOLUME_FAT, VOLUME_BTRFS_ZSTD};
  for (VolumeKind kind : kinds) {
    SCOPED_TRACE(VolumeKindName(kind));
    std::string root = MakeVolumeOrFail(kind);
    if (root.empty())
      continue;
    const std::string user = UserBytes(300 * 1024);
    ASSERT_TRUE(WriteFile(root + "keep.bin", user, 0644));
    ASSERT_EQ(0, mkdir((root + "docs").c_str(), 0755));
    ASSERT_TRUE(WriteFile(root + "docs/note.txt", "a note\n", 0644));
    SyncVolume(root);
    uint64_t total = TotalBytes(root);
    uint64_t freeBefore = FreeBytes(root);
    uint64_t availableBefore = AvailableBytes(root);

    ObservedWipe result = WipeObserved(root, freeBefore >> 10, AvailableBytes);

    EXPECT_EQ(STATUS_OK, result.status);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(0u, result.out.rfind("0 / " + std::to_string(freeBefore >> 20) + " MB", 0))
        << result.out.substr(0, 80);
    EXPECT_EQ(std::vector<std::string>{WiperName(root, 0)}, result.deleted);
    // Full: what is left is less than one block of the wipe and 2 % of the volume.
    EXPECT_LT(result.measuredAtFirstDeletion, std::min<uint64_t>(MIB, total / 50))
        << "free before " << freeBefore << " of " << total;
    // The zeros took real blocks: the pass wrote what was available, and no more than the volume
    // holds, as it would with compressed zeros.
    uint64_t writtenMiB = LastProgressMiB(result.out);
    EXPECT_LE(writtenMiB, total >> 20);
    EXPECT_GE(writtenMiB + 2, availableBefore >> 20);
    EXPECT_EQ("", WiperFilesIn(root));
    EXPECT_TRUE(ReadFile(root + "keep.bin") == user);
    EXPECT_EQ("a note\n", ReadFile(root + "docs/note.txt"));
    SyncVolume(root);
    EXPECT_GT(FreeBytes(root) + 2 * MIB, freeBefore);
  }
}

// The zeros reach the disk: after the wipe, the image keeps the pattern only where the file
// system has its own blocks.
TEST_F(WiperVolumeTest, ZerosReachTheDisk) {
  std::string skip;
  std::string root = MakeVolume(VOLUME_EXT4, &skip);
  ASSERT_FALSE(root.empty()) << skip;
  std::string image = s_scratch + "/image0";
  std::string mountPoint = root.substr(0, root.size() - 1);
  ASSERT_EQ(0, umount(mountPoint.c_str()));
  std::string before = ReadFile(image);
  size_t patternBefore = 0;
  for (char byte : before)
    patternBefore += byte == (char)0xAA;
  ASSERT_TRUE(RunQuietly("mount -o loop '" + image + "' '" + mountPoint + "'"));

  ObservedWipe result = WipeObserved(root, FreeBytes(root) >> 10, AvailableBytes);
  ASSERT_EQ(STATUS_OK, result.status);
  ASSERT_EQ(0, umount(mountPoint.c_str()));

  std::string after = ReadFile(image);
  size_t patternAfter = 0;
  for (char byte : after)
    patternAfter += byte == (char)0xAA;
  // Most of the image was free space holding the pattern; the wipe leaves only metadata areas.
  EXPECT_GT(patternBefore, 20 * MIB);
  EXPECT_LT(patternAfter, 8 * MIB) << "of " << patternBefore << " before";
}

// With compression left on, zeros take next to no space: a plain file of three times the free
// space fits, so a wiper file like it would never reach the free blocks.
TEST_F(WiperVolumeTest, CompressedZerosWouldNotFillBtrfs) {
  std::string skip;
  std::string root = MakeVolume(VOLUME_BTRFS_ZSTD, &skip);
  ASSERT_FALSE(root.empty()) << skip;
  uint64_t freeBefore = FreeBytes(root);
  std::string zeros(MIB, '\0');
  int fd = open((root + "plain").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  uint64_t written = 0;
  while (written < 3 * freeBefore && write(fd, zeros.data(), MIB) == (ssize_t)MIB)
    written += MIB;
  fdatasync(fd);
  close(fd);
  SyncVolume(root);
  EXPECT_GE(written, 3 * freeBefore);
  EXPECT_GT(FreeBytes(root), freeBefore / 2);
  unlink((root + "plain").c_str());
}

// What stands at the name of the next wiper file is never followed, opened, truncated or
// removed: the creation fails with its message and nothing is deleted.
TEST_F(WiperVolumeTest, NamesInTheWayAreLeftAlone) {
  enum Plant { PLANT_LINK, PLANT_DANGLING_LINK, PLANT_DIRECTORY, PLANT_READ_ONLY_FILE };
  struct Case {
    VolumeKind kind;
    Plant plant;
    const char* name;
  };
  const Case cases[] = {
      {VOLUME_EXT4, PLANT_LINK, "ext4, link to a file elsewhere"},
      {VOLUME_EXT4, PLANT_DANGLING_LINK, "ext4, link to nothing"},
      {VOLUME_EXT4, PLANT_DIRECTORY, "ext4, directory"},
      {VOLUME_EXT4, PLANT_READ_ONLY_FILE, "ext4, read-only file"},
      {VOLUME_FAT, PLANT_DIRECTORY, "FAT, directory"},
      {VOLUME_FAT, PLANT_READ_ONLY_FILE, "FAT, read-only file"},
  };
  const std::string target = s_scratch + "/target.txt";
  const std::string absent = s_scratch + "/absent.txt";
  ASSERT_TRUE(WriteFile(target, "outside the volume\n", 0644));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string root = MakeVolumeOrFail(c.kind);
    if (root.empty())
      continue;
    std::string name = WiperName(root, 0);
    switch (c.plant) {
      case PLANT_LINK: ASSERT_EQ(0, symlink(target.c_str(), name.c_str())); break;
      case PLANT_DANGLING_LINK: ASSERT_EQ(0, symlink(absent.c_str(), name.c_str())); break;
      case PLANT_DIRECTORY:
        ASSERT_EQ(0, mkdir(name.c_str(), 0755));
        ASSERT_TRUE(WriteFile(name + "/inside.txt", "inside\n", 0644));
        break;
      case PLANT_READ_ONLY_FILE: ASSERT_TRUE(WriteFile(name, "read only\n", 0444)); break;
    }

    ObservedWipe result = WipeObserved(root, FreeBytes(root) >> 10, AvailableBytes);

    EXPECT_EQ(STATUS_WIPE_FAILED, result.status);
    EXPECT_EQ("Failed to create a wiper file " + name + "\n", result.err);
    EXPECT_EQ("0 / " + std::to_string(FreeBytes(root) >> 20) +
                  " MB complete (C: cancel / S: skip)\n",
              result.out);
    EXPECT_TRUE(result.deleted.empty());
    struct stat st;
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    char link[512] = "";
    switch (c.plant) {
      case PLANT_LINK:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_GT(readlink(name.c_str(), link, sizeof link - 1), 0);
        EXPECT_EQ(target, link);
        EXPECT_EQ("outside the volume\n", ReadFile(target));
        break;
      case PLANT_DANGLING_LINK:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(-1, access(absent.c_str(), F_OK));
        break;
      case PLANT_DIRECTORY:
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ("inside\n", ReadFile(name + "/inside.txt"));
        break;
      case PLANT_READ_ONLY_FILE:
        EXPECT_TRUE(S_ISREG(st.st_mode));
        // FAT drivers show modes of their own.
        if (c.kind != VOLUME_FAT) {
          EXPECT_EQ(0u, st.st_mode & 0222);
        }
        EXPECT_EQ("read only\n", ReadFile(name));
        break;
    }
  }
}

// Streamed writes on ext4: at most a window of a file is in the page cache while it is written,
// none of it once it is closed, and its zeros are on the disk; with the window at 0 (the plain
// writes of before) everything written stays cached.
TEST_F(WiperVolumeTest, StreamedWritesLeaveLittleInThePageCache) {
  struct Case {
    uint64_t window;
    uint64_t maxCachedWriting;
    uint64_t minCachedWriting;
    uint64_t maxCachedClosed;
  };
  const uint64_t written = 20 * MIB;
  const Case cases[] = {
      {WIPER_STREAM_WINDOW, WIPER_STREAM_WINDOW + MIB, 0, 0},
      {2 * MIB, 3 * MIB, 0, 0},
      {0, written, written, written},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window);
    std::string skip;
    std::string root = MakeVolume(VOLUME_EXT4, &skip);
    ASSERT_FALSE(root.empty()) << skip;
    g_wiperStreamWindow = c.window;
    std::string name = root + "streamed";
    std::string zeros(MIB, '\0');
    bool held = false;
    WiperFile file = WiperFileCreateNew(name.c_str(), &held);
    ASSERT_NE(WIPER_FILE_INVALID, file);
    uint64_t peak = 0;
    for (uint64_t done = 0; done < written; done += MIB) {
      ASSERT_EQ(MIB, WiperFileWrite(file, zeros.data(), MIB));
      peak = std::max(peak, CachedBytes(name));
    }
    EXPECT_LE(peak, c.maxCachedWriting);
    EXPECT_GE(peak, c.minCachedWriting);
    WiperFileClose(file);
    EXPECT_LE(CachedBytes(name), c.maxCachedClosed);
    g_wiperStreamWindow = WIPER_STREAM_WINDOW;
    std::string content = ReadFile(name);
    EXPECT_EQ(written, content.size());
    EXPECT_EQ(std::string::npos, content.find_first_not_of('\0'));
    WiperFileDelete(name.c_str());
  }
}

// A name in the way after a complete 1 GiB file: only the run's own file is deleted.
TEST_F(WiperVolumeTest, OnlyTheRunsOwnFilesAreDeleted) {
  std::string skip;
  std::string root = MakeVolume(VOLUME_TMPFS_1100M, &skip);
  ASSERT_FALSE(root.empty()) << skip;
  const std::string target = s_scratch + "/target.txt";
  ASSERT_TRUE(WriteFile(target, "outside the volume\n", 0644));
  std::string second = WiperName(root, 1);
  ASSERT_EQ(0, symlink(target.c_str(), second.c_str()));

  ObservedWipe result = WipeObserved(root, FreeBytes(root) >> 10, AvailableBytes);

  EXPECT_EQ(STATUS_WIPE_FAILED, result.status);
  EXPECT_EQ("Failed to create a wiper file " + second + "\n", result.err);
  EXPECT_EQ(std::vector<std::string>{WiperName(root, 0)}, result.deleted);
  EXPECT_EQ(second.substr(root.size()) + "\n", WiperFilesIn(root));
  EXPECT_EQ("outside the volume\n", ReadFile(target));
}

// While the pass is under way its file has no name where the file system frees such files after
// a crash, and keeps it on FAT (fusefat here: FUSE, and FAT below it); either way the volume is
// full before anything is freed, and nothing is left after.
TEST_F(WiperVolumeTest, HeldFilesHaveNoNameWhereOrphansAreFreed) {
  struct Case {
    VolumeKind kind;
    bool named;
  };
  const Case cases[] = {{VOLUME_EXT4, false}, {VOLUME_BTRFS_ZSTD, false}, {VOLUME_FAT, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(VolumeKindName(c.kind));
    std::string root = MakeVolumeOrFail(c.kind);
    if (root.empty())
      continue;
    uint64_t freeBefore = FreeBytes(root);
    ObservedWipe result = WipeObserved(root, freeBefore >> 10, AvailableBytes);
    EXPECT_EQ(STATUS_OK, result.status);
    EXPECT_EQ(std::vector<std::string>{WiperName(root, 0)}, result.deleted);
    std::vector<std::string> named;
    if (c.named)
      named.push_back(WiperName(root, 0).substr(root.size()));
    EXPECT_EQ(named, result.namedAtFirstDeletion);
    EXPECT_LT(result.measuredAtFirstDeletion, MIB);
    EXPECT_EQ("", WiperFilesIn(root));
    SyncVolume(root);
    EXPECT_GT(FreeBytes(root) + 2 * MIB, freeBefore);
  }
}

// A process id that no process has: a child's, once it has been reaped.
uint32_t DeadProcessId() {
  pid_t child = fork();
  if (child == 0)
    _exit(0);
  waitpid(child, nullptr, 0);
  return (uint32_t)child;
}

// Leftovers of dead runs on real file systems: a regular file of a dead process id goes, with
// the message; one whose process runs, a link and a directory of that name pattern stay, and so
// does what the link points to.
TEST_F(WiperVolumeTest, LeftoversOfDeadRunsOnly) {
  const VolumeKind kinds[] = {VOLUME_EXT4, VOLUME_FAT};
  const std::string target = s_scratch + "/target.txt";
  ASSERT_TRUE(WriteFile(target, "outside the volume\n", 0644));
  for (VolumeKind kind : kinds) {
    SCOPED_TRACE(VolumeKindName(kind));
    std::string root = MakeVolumeOrFail(kind);
    if (root.empty())
      continue;
    const std::string dead = std::to_string(DeadProcessId());
    const std::string alive = std::to_string(getppid());
    const std::string leftover = root + "tzl_wiper_" + dead + ".0";
    const std::string running = root + "tzl_wiper_" + alive + ".0";
    const std::string link = root + "tzl_wiper_" + dead + ".1";
    const std::string directory = root + "tzl_wiper_" + dead + ".2";
    const std::string other = root + "tzl_wiper_" + dead + ".3.txt";
    ASSERT_TRUE(WriteFile(leftover, UserBytes(2 * MIB), 0644));
    ASSERT_TRUE(WriteFile(running, "still wiping\n", 0644));
    ASSERT_TRUE(WriteFile(other, "mine\n", 0644));
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    ASSERT_TRUE(WriteFile(directory + "/inside.txt", "inside\n", 0644));
    // FAT has no links.
    const bool links = kind != VOLUME_FAT;
    if (links) {
      ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    }

    testing::internal::CaptureStdout();
    uint64_t bytes = RemoveLeftoverWiperFiles(root.c_str());
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ("Removed 1 wiper files left by an earlier run on " + root + "\n", out);
    EXPECT_GE(bytes, 2 * MIB);
    EXPECT_EQ(-1, access(leftover.c_str(), F_OK));
    EXPECT_EQ("still wiping\n", ReadFile(running));
    EXPECT_EQ("mine\n", ReadFile(other));
    EXPECT_EQ("inside\n", ReadFile(directory + "/inside.txt"));
    if (links) {
      struct stat st;
      EXPECT_EQ(0, lstat(link.c_str(), &st));
      EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    EXPECT_EQ("outside the volume\n", ReadFile(target));
  }
}

}  // namespace
