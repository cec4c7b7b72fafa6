// The Linux volume services against real mounts: small ext4 images on loop devices, tmpfs, bind
// and read-only mounts, made in a private mount namespace inside a scratch root of their own,
// so that the machine's own disks are neither seen nor touched.
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <ostream>
#include <string>

#include "gtest/gtest.h"

#include "wiper/volume-mounts.h"
#include "wiper/volume.h"

namespace {

// The scratch root: a tmpfs mounted over /tmp in the child's own mount namespace.
const char* const SCRATCH = "/tmp";
const int EXIT_NO_LOOP = 77;
const off_t IMAGE_SIZE = 32 << 20;

enum Layout {
  LAYOUT_DISKS,          // three images mounted in the ways that count and that do not
  LAYOUT_NOTHING_FIXED,  // only the tmpfs root and /proc
  LAYOUT_NO_TABLE,       // no /proc at all: the mount table cannot be read
};

struct Scenario {
  const char* name;
  Layout layout;
  bool withDev;  // whether /dev is in the scratch root, so that the sources can be looked at
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

// The child's end of the pipe that carries its report, text lines, to the parent.
int g_report = -1;

void Fail(const char* what) {
  dprintf(g_report, "setup failed: %s: %s\n", what, strerror(errno));
  _exit(2);
}

void MakeDirectory(const char* path) {
  if (mkdir(path, 0755) != 0 && errno != EEXIST)
    Fail(path);
}

void Mount(const char* source, const char* target, const char* type, unsigned long flags,
           const char* data) {
  MakeDirectory(target);
  if (mount(source, target, type, flags, data) != 0)
    Fail(target);
}

// A 32 MiB ext4 image in the scratch tmpfs, on a loop device that goes away by itself once the
// last of its mounts is gone. Returns the loop device's path; its descriptor stays open for now.
std::string AttachImage(const char* image) {
  int file = open(image, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (file < 0 || ftruncate(file, IMAGE_SIZE) != 0)
    Fail(image);
  std::string command = std::string("mkfs.ext4 -q -F ") + image + " >/dev/null 2>&1";
  if (system(command.c_str()) != 0)
    Fail("mkfs.ext4");
  int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0)
    _exit(EXIT_NO_LOOP);
  // Someone else may take the free device first; then ask again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    int number = ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0)
      _exit(EXIT_NO_LOOP);
    std::string path = "/dev/loop" + std::to_string(number);
    int loop = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (loop < 0)
      continue;
    if (ioctl(loop, LOOP_SET_FD, file) != 0) {
      close(loop);
      continue;
    }
    struct loop_info64 info;
    memset(&info, 0, sizeof info);
    info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (ioctl(loop, LOOP_SET_STATUS64, &info) != 0)
      Fail("LOOP_SET_STATUS64");
    close(control);
    close(file);
    return path;
  }
  _exit(EXIT_NO_LOOP);
}

std::string In(const char* path) { return std::string(SCRATCH) + path; }

void BuildDisks() {
  MakeDirectory(In("/images").c_str());
  std::string one = AttachImage(In("/images/one").c_str());
  std::string two = AttachImage(In("/images/two").c_str());
  std::string three = AttachImage(In("/images/three").c_str());
  // One disk at two places (and a name with a space): listed once, at the first.
  Mount(one.c_str(), In("/disk one").c_str(), "ext4", 0, nullptr);
  Mount(one.c_str(), In("/again").c_str(), "ext4", 0, nullptr);
  // Memory, whatever its source is called.
  Mount(one.c_str(), In("/memory").c_str(), "tmpfs", 0, "size=1m");
  // A disk whose first mount point is covered by a later mount, then mounted elsewhere.
  Mount(two.c_str(), In("/covered").c_str(), "ext4", 0, nullptr);
  Mount("cover", In("/covered").c_str(), "tmpfs", 0, "size=1m");
  Mount(two.c_str(), In("/second").c_str(), "ext4", 0, nullptr);
  // A disk seen only through a read-only bind mount.
  Mount(three.c_str(), In("/images/three-rw").c_str(), "ext4", 0, nullptr);
  Mount(In("/images/three-rw").c_str(), In("/readonly").c_str(), nullptr, MS_BIND, nullptr);
  if (mount(nullptr, In("/readonly").c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
            nullptr) != 0)
    Fail("remount read-only");
  if (umount(In("/images/three-rw").c_str()) != 0)
    Fail("umount");
}

void ReportStatvfs(const char* root) {
  struct statvfs space;
  if (statvfs(root, &space) != 0)
    Fail(root);
  unsigned long long unit = space.f_frsize;
  dprintf(g_report, "statvfs %s|%llu|%llu|%llu\n", root,
          (unsigned long long)space.f_blocks * unit >> 10,
          (unsigned long long)space.f_bfree * unit >> 10,
          (unsigned long long)space.f_bavail * unit >> 10);
}

// The child: a private mount namespace, the scratch root built and entered, the walk reported.
void RunScenario(const Scenario& scenario) {
  if (unshare(CLONE_NEWNS) != 0)
    Fail("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    Fail("make-rprivate");
  if (mount("scratch", SCRATCH, "tmpfs", 0, "size=128m") != 0)
    Fail("scratch");
  if (scenario.layout != LAYOUT_NO_TABLE)
    Mount("/proc", In("/proc").c_str(), nullptr, MS_BIND, nullptr);
  if (scenario.withDev)
    Mount("/dev", In("/dev").c_str(), nullptr, MS_BIND, nullptr);
  if (scenario.layout == LAYOUT_DISKS)
    BuildDisks();
  if (scenario.layout == LAYOUT_NO_TABLE) {
    // The walk's messages are not what this test is about; the platform's text is not ours.
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDERR_FILENO) < 0)
      Fail("/dev/null");
  }
  if (chroot(SCRATCH) != 0 || chdir("/") != 0)
    Fail("chroot");

  if (scenario.layout == LAYOUT_DISKS) {
    ReportStatvfs("/disk one/");
    ReportStatvfs("/second/");
  }
  VolumeList list = {0, nullptr};
  bool listed = VolumeListFixed(&list);
  dprintf(g_report, "list %u error %u\n", (unsigned)list.count,
          listed ? 0u : (unsigned)VolumeLastError());
  VolumeListFree(&list);
  char root[VOLUME_ROOT_SIZE];
  for (int n = 0; n < 30; ++n) {
    uint64_t totalKiB = 0;
    uint64_t freeKiB = 0;
    ToolStatus status = NextFixedVolume(root, &totalKiB, &freeKiB);
    if (status != STATUS_OK) {
      dprintf(g_report, "status %d\n", (int)status);
      break;
    }
    if (root[0] == '\0') {
      dprintf(g_report, "end\n");
      break;
    }
    dprintf(g_report, "volume %s|%llu|%llu\n", root, (unsigned long long)totalKiB,
            (unsigned long long)freeKiB);
  }
  _exit(0);
}

class VolumePosixTest : public testing::TestWithParam<Scenario> {};

TEST_P(VolumePosixTest, ListsWritableDisksOnce) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mount namespaces and loop devices need root";
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeEnds[0]);
    g_report = pipeEnds[1];
    RunScenario(GetParam());
  }
  close(pipeEnds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, (size_t)got);
  close(pipeEnds[0]);
  int wstatus = 0;
  ASSERT_EQ(child, waitpid(child, &wstatus, 0));
  ASSERT_TRUE(WIFEXITED(wstatus)) << output;
  if (WEXITSTATUS(wstatus) == EXIT_NO_LOOP)
    GTEST_SKIP() << "no loop device to be had";
  ASSERT_EQ(0, WEXITSTATUS(wstatus)) << output;

  switch (GetParam().layout) {
    case LAYOUT_DISKS: {
      // The sizes as statvfs gives them: total and total free blocks, not those available to
      // the user, which the 5% reserve of ext4 makes smaller.
      std::map<std::string, std::string> sizes;
      size_t at = 0;
      while (output.compare(at, 8, "statvfs ") == 0) {
        size_t end = output.find('\n', at);
        std::string line = output.substr(at + 8, end - at - 8);
        size_t bar = line.find('|');
        std::string root = line.substr(0, bar);
        unsigned long long total = 0, free = 0, available = 0;
        ASSERT_EQ(3, sscanf(line.c_str() + bar + 1, "%llu|%llu|%llu", &total, &free,
                            &available));
        EXPECT_GT(total, 24000u);
        EXPECT_LE(total, 32768u);
        EXPECT_GT(free, available);
        sizes[root] = std::to_string(total) + "|" + std::to_string(free);
        at = end + 1;
      }
      EXPECT_EQ("list 2 error 0\n"
                "volume /disk one/|" + sizes["/disk one/"] + "\n"
                "volume /second/|" + sizes["/second/"] + "\n"
                "end\n",
                output.substr(at));
      break;
    }
    case LAYOUT_NOTHING_FIXED:
      EXPECT_EQ("list 0 error 0\nend\n", output);
      break;
    case LAYOUT_NO_TABLE:
      EXPECT_EQ("list 0 error " + std::to_string(ENOENT) + "\nstatus 4\n", output);
      break;
  }
}

const Scenario kScenarios[] = {
    {"DisksWithDeviceNodes", LAYOUT_DISKS, true},
    {"DisksWithoutDeviceNodes", LAYOUT_DISKS, false},
    {"NothingFixed", LAYOUT_NOTHING_FIXED, false},
    {"NoMountTable", LAYOUT_NO_TABLE, false},
};

INSTANTIATE_TEST_SUITE_P(Layouts, VolumePosixTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
