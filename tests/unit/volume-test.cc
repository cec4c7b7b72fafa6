// Both fixed-volume walks and their space queries, over the table of fake volumes: the drive
// letters of the Windows tool and the mount list of the Linux tool.
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>

#include "gtest/gtest.h"

#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"
#include "wiper/volume-drives.h"
#include "wiper/volume-mounts.h"
#include "wiper/volume.h"

namespace {

const uint64_t KIB = 1024;
const uint64_t MIB = 1024 * KIB;
const uint64_t GIB = 1024 * MIB;
const uint64_t TIB = 1024 * GIB;

// Written into the caller's values before each call, to show which ones a call left alone.
const uint64_t UNTOUCHED = 77;

struct VolumeEntry {
  char letter;  // 0 ends the list
  uint32_t driveType;
  uint64_t totalBytes;
  uint64_t freeBytes;
};

// One call of the walk: a reset, or a call with a buffer and what it must give.
struct WalkStep {
  bool reset;
  ToolStatus status;
  const char* root;  // null: the buffer must be left as it was
  uint64_t totalKiB;
  uint64_t freeKiB;
};

struct WalkCase {
  const char* name;
  VolumeEntry volumes[4];
  bool noExtendedQuery;
  char clusterLetter;  // the volume given 8 x 512 byte clusters, 1,000,000 free of 2,000,000
  char failSpaceLetter;
  uint32_t failSpaceError;
  uint32_t failDrivesError;  // non-zero: the first VolumeLogicalDrives fails with it
  WalkStep steps[4];         // a step with a zero status and null root after the used ones
  const char* messages;      // standard error at verbosity 1
  const char* calls;         // the platform calls at verbosity 1, or null
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

const WalkStep END = {false, STATUS_OK, "", UNTOUCHED, UNTOUCHED};
const WalkStep RESET = {true, STATUS_OK, nullptr, 0, 0};

const WalkCase kWalkCases[] = {
    {"FixedThenOptical",
     {{'C', FAKE_DRIVE_FIXED, 40 * GIB, 10 * GIB},
      {'D', FAKE_DRIVE_CDROM, 700 * MIB, 0}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 40 * MIB, 10 * MIB},
      END,
      {false, STATUS_OK, "C:\\", 40 * MIB, 10 * MIB}},
     "",
     "drives\ntype C:\\\nhas-extended\nextended C:\\\n"
     "type D:\\\n"
     "drives\ntype C:\\\nhas-extended\nextended C:\\\n"},
    {"NoneFixed",
     {{'A', FAKE_DRIVE_REMOVABLE, 1440 * KIB, 0},
      {'D', FAKE_DRIVE_CDROM, 700 * MIB, 0},
      {'N', FAKE_DRIVE_REMOTE, 1 * TIB, 1 * GIB},
      {'R', FAKE_DRIVE_RAMDISK, 1 * GIB, 1 * GIB}},
     false, 0, 0, 0, 0,
     {END},
     "",
     "drives\ntype A:\\\ntype D:\\\ntype N:\\\ntype R:\\\n"},
    {"FirstAndLastLetter",
     {{'A', FAKE_DRIVE_FIXED, 2 * GIB, 1 * GIB},
      {'Z', FAKE_DRIVE_FIXED, 4 * GIB, 3 * GIB}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "A:\\", 2 * MIB, 1 * MIB},
      {false, STATUS_OK, "Z:\\", 4 * MIB, 3 * MIB},
      END},
     "",
     nullptr},
    {"ResetBeginsAgain",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB},
      {'D', FAKE_DRIVE_FIXED, 16 * GIB, 4 * GIB},
      {'E', FAKE_DRIVE_FIXED, 32 * GIB, 8 * GIB}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB},
      RESET,
      {false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB},
      {false, STATUS_OK, "D:\\", 16 * MIB, 4 * MIB}},
     "",
     nullptr},
    {"DriveListFails",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB}},
     false, 0, 0, 0, 5,
     {{false, STATUS_WIPE_FAILED, nullptr, UNTOUCHED, UNTOUCHED},
      {false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB}},
     "<error 5>Failed to get logical drives.\n",
     "drives\nlast-error\n"
     "drives\ntype C:\\\nhas-extended\nextended C:\\\n"},
    {"ClusterBasedQuery",
     {{'C', FAKE_DRIVE_FIXED, 0, 0}},
     true, 'C', 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 8000000, 4000000}, END},
     "",
     "drives\ntype C:\\\nhas-extended\nclusters C:\\\n"},
    {"SpaceQueryFails",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB},
      {'D', FAKE_DRIVE_FIXED, 16 * GIB, 4 * GIB}},
     false, 0, 'C', 21, 0,
     {{false, STATUS_OK, "C:\\", SPACE_UNAVAILABLE, SPACE_UNAVAILABLE},
      {false, STATUS_OK, "D:\\", 16 * MIB, 4 * MIB},
      END},
     "<error 21>Failed to get C:\\ free space\n",
     // No fallback to the cluster-based query after a failed extended one.
     "drives\ntype C:\\\nhas-extended\nextended C:\\\nlast-error\n"
     "type D:\\\nhas-extended\nextended D:\\\n"},
    {"ClusterQueryFails",
     {{'C', FAKE_DRIVE_FIXED, 0, 0}},
     true, 'C', 'C', 87, 0,
     {{false, STATUS_OK, "C:\\", SPACE_UNAVAILABLE, SPACE_UNAVAILABLE}, END},
     "<error 87>Failed to get C:\\ free space\n",
     nullptr},
    {"LessThanOneKiBFree",
     {{'C', FAKE_DRIVE_FIXED, 1 * MIB + 1023, 1023}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 1024, 0}, END},
     "",
     nullptr},
    {"AboveFourTiB",
     {{'C', FAKE_DRIVE_FIXED, 5 * TIB, 4 * TIB + 1536}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", UINT64_C(5368709120), UINT64_C(4294967297)}, END},
     "",
     nullptr},
};

// Each case at verbosity 1 and at 0: the same results, and at 0 no message and no error code
// asked for.
class VolumeWalkTest : public testing::TestWithParam<std::tuple<WalkCase, int32_t>> {
 protected:
  void SetUp() override {
    FakeBaseReset();
    FakeVolumeReset();
    VolumeLettersNext(nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    VolumeLettersNext(nullptr, nullptr, nullptr);
    g_verbosity = 1;
  }
};

std::string WithoutLine(std::string text, const std::string& line) {
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line))
    text.erase(at, line.size());
  return text;
}

TEST_P(VolumeWalkTest, YieldsFixedVolumesInLetterOrder) {
  const WalkCase& c = std::get<0>(GetParam());
  g_verbosity = std::get<1>(GetParam());
  for (const VolumeEntry& volume : c.volumes) {
    if (volume.letter == 0)
      break;
    FakeAddVolume(volume.letter, volume.driveType, volume.totalBytes, volume.freeBytes);
  }
  FakeSetExtendedQuery(!c.noExtendedQuery);
  if (c.clusterLetter != 0)
    FakeSetClusterSpace(c.clusterLetter, 8, 512, 1000000, 2000000);
  if (c.failSpaceLetter != 0)
    FakeFailSpaceQuery(c.failSpaceLetter, c.failSpaceError);
  if (c.failDrivesError != 0)
    FakeFailNextLogicalDrives(c.failDrivesError);

  testing::internal::CaptureStderr();
  int n = 0;
  for (const WalkStep& step : c.steps) {
    if (!step.reset && step.status == STATUS_OK && step.root == nullptr)
      break;
    SCOPED_TRACE("step " + std::to_string(n++));
    if (step.reset) {
      EXPECT_EQ(STATUS_OK, VolumeLettersNext(nullptr, nullptr, nullptr));
      continue;
    }
    char root[VOLUME_ROOT_SIZE];
    strcpy(root, "untouched");
    uint64_t totalKiB = UNTOUCHED;
    uint64_t freeKiB = UNTOUCHED;
    EXPECT_EQ(step.status, VolumeLettersNext(root, &totalKiB, &freeKiB));
    EXPECT_STREQ(step.root != nullptr ? step.root : "untouched", root);
    EXPECT_EQ(step.totalKiB, totalKiB);
    EXPECT_EQ(step.freeKiB, freeKiB);
  }
  std::string messages = testing::internal::GetCapturedStderr();

  if (g_verbosity > 0) {
    EXPECT_EQ(c.messages, messages);
    if (c.calls != nullptr) {
      EXPECT_EQ(c.calls, std::string(FakeVolumeCalls()));
    }
  } else {
    EXPECT_EQ("", messages);
    EXPECT_EQ(std::string::npos, std::string(FakeVolumeCalls()).find("last-error"));
    if (c.calls != nullptr) {
      EXPECT_EQ(WithoutLine(c.calls, "last-error\n"), std::string(FakeVolumeCalls()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VolumeWalkTest,
    testing::Combine(testing::ValuesIn(kWalkCases), testing::Values(1, 0)),
    [](const testing::TestParamInfo<VolumeWalkTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "AtVerbosity" +
             std::to_string(std::get<1>(info.param));
    });

// The space query on its own, as the wiper may ask it for a root it already has.
TEST(VolumeSpaceTest, WritesBothValuesOnEveryCall) {
  FakeBaseReset();
  FakeVolumeReset();
  FakeAddVolume('E', FAKE_DRIVE_FIXED, 100 * GIB + 2047, 3 * GIB + 1025);
  uint64_t totalKiB = UNTOUCHED;
  uint64_t freeKiB = UNTOUCHED;
  VolumeLettersSpace("E:\\", &totalKiB, &freeKiB);
  EXPECT_EQ(100 * MIB + 1, totalKiB);
  EXPECT_EQ(3 * MIB + 1, freeKiB);

  testing::internal::CaptureStderr();
  VolumeLettersSpace("Q:\\", &totalKiB, &freeKiB);
  EXPECT_EQ("<error 3>Failed to get Q:\\ free space\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(SPACE_UNAVAILABLE, totalKiB);
  EXPECT_EQ(SPACE_UNAVAILABLE, freeKiB);
}

// The mount-list walk of the Linux tool: what a number of calls yield, one line each ("root|total
// KiB|free KiB", "end", "status N", "reset" for a reset made between two calls), with the messages
// and the list calls.
struct MountWalkCase {
  const char* name;
  void (*setup)();
  int calls;
  int resetAfter;  // a reset after this many calls, or 0
  const char* walk;
  const char* messages;  // at verbosity 1
  const char* listCalls;  // the "list" and "list-free" lines of the record
};

void PrintTo(const MountWalkCase& c, std::ostream* os) { *os << c.name; }

std::string ThirtyVolumes() {
  std::string walk;
  for (int n = 0; n < 30; ++n)
    walk += "/vol/" + std::to_string(n) + "/|" + std::to_string(n + 1) + "|" +
            std::to_string(n) + "\n";
  return walk;
}

const std::string kThirtyVolumes = ThirtyVolumes();

const MountWalkCase kMountWalkCases[] = {
    // No limit of 26 and no letters: every listed disk is yielded, then the end, and a further
    // call begins a new walk.
    {"ThirtyVolumes",
     [] {
       for (int n = 0; n < 30; ++n)
         FakeAddMount(("/vol/" + std::to_string(n) + "/").c_str(), (n + 1) * KIB, n * KIB);
     },
     32, 0, nullptr, "", "list\nlist-free\nlist\n"},
    {"FixedDrivesOfTheTableWithTheirRoots",
     [] {
       FakeAddVolume('C', FAKE_DRIVE_FIXED, 3 * GIB, 1 * GIB);
       FakeSetVolumeRoot('C', "/srv/data one/");
       FakeAddVolume('D', FAKE_DRIVE_CDROM, 1 * GIB, 0);
       FakeAddVolume('E', FAKE_DRIVE_FIXED, 1 * MIB + 1023, 1023);
       FakeSetVolumeRoot('E', "/");
     },
     3, 0, "/srv/data one/|3145728|1048576\n/|1024|0\nend\n", "", "list\nlist-free\n"},
    {"NoFixedVolumeIsSaid", [] {}, 2, 0, "end\nend\n", "No fixed volume found\nNo fixed volume found\n",
     "list\nlist-free\nlist\nlist-free\n"},
    {"ListFailsThenSucceeds",
     [] {
       FakeAddMount("/", 8 * GIB, 2 * GIB);
       FakeFailNextLogicalDrives(5);
     },
     3, 0, "status 4\n/|8388608|2097152\nend\n", "<error 5>Failed to get logical drives.\n",
     "list\nlist\nlist-free\n"},
    {"SpaceQueryFailsWalkGoesOn",
     [] {
       FakeAddVolume('C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB);
       FakeSetVolumeRoot('C', "/a/");
       FakeFailSpaceQuery('C', 21);
       FakeAddMount("/b/", 4 * GIB, 1 * GIB);
     },
     3, 0, "/a/|18446744073709551615|18446744073709551615\n/b/|4194304|1048576\nend\n",
     "<error 21>Failed to get /a/ free space\n", "list\nlist-free\n"},
    {"ResetBeginsAgain",
     [] {
       FakeAddMount("/a/", 8 * GIB, 2 * GIB);
       FakeAddMount("/b/", 4 * GIB, 1 * GIB);
     },
     3, 1, "/a/|8388608|2097152\nreset\n/a/|8388608|2097152\n/b/|4194304|1048576\n", "",
     "list\nlist-free\nlist\n"},
    // A root cut to fit the buffer would name another directory.
    {"RootTooLongIsPassedOver",
     [] {
       FakeAddMount(("/" + std::string(1023, 'r') + "/").c_str(), 8 * GIB, 2 * GIB);
       FakeAddMount("/b/", 4 * GIB, 1 * GIB);
     },
     2, 0, "/b/|4194304|1048576\nend\n", "", "list\nlist-free\n"},
};

class MountWalkTest : public testing::TestWithParam<std::tuple<MountWalkCase, int32_t>> {
 protected:
  void SetUp() override {
    FakeBaseReset();
    FakeVolumeReset();
    VolumeMountsNext(nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    VolumeMountsNext(nullptr, nullptr, nullptr);
    g_verbosity = 1;
  }
};

TEST_P(MountWalkTest, YieldsListedVolumesInOrder) {
  const MountWalkCase& c = std::get<0>(GetParam());
  g_verbosity = std::get<1>(GetParam());
  c.setup();
  testing::internal::CaptureStderr();
  std::string walk;
  for (int n = 0; n < c.calls; ++n) {
    if (c.resetAfter != 0 && n == c.resetAfter) {
      EXPECT_EQ(STATUS_OK, VolumeMountsNext(nullptr, nullptr, nullptr));
      walk += "reset\n";
    }
    char root[VOLUME_ROOT_SIZE];
    uint64_t totalKiB = UNTOUCHED;
    uint64_t freeKiB = UNTOUCHED;
    ToolStatus status = VolumeMountsNext(root, &totalKiB, &freeKiB);
    if (status != STATUS_OK)
      walk += "status " + std::to_string(status) + "\n";
    else if (root[0] == '\0')
      walk += "end\n";
    else
      walk += std::string(root) + "|" + std::to_string(totalKiB) + "|" + std::to_string(freeKiB) +
              "\n";
    if (root[0] == '\0' && status == STATUS_OK) {
      EXPECT_EQ(UNTOUCHED, totalKiB);
      EXPECT_EQ(UNTOUCHED, freeKiB);
    }
  }
  std::string messages = testing::internal::GetCapturedStderr();
  std::string expected = c.walk != nullptr ? c.walk : kThirtyVolumes + "end\n" + "/vol/0/|1|0\n";
  EXPECT_EQ(expected, walk);
  EXPECT_EQ(g_verbosity > 0 ? c.messages : "", messages);
  std::string listCalls;
  std::string calls = FakeVolumeCalls();
  for (size_t at = 0; at < calls.size();) {
    size_t end = calls.find('\n', at);
    std::string line = calls.substr(at, end - at);
    if (line == "list" || line == "list-free")
      listCalls += line + "\n";
    if (g_verbosity == 0) {
      EXPECT_NE("last-error", line);
    }
    at = end + 1;
  }
  EXPECT_EQ(c.listCalls, listCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MountWalkTest,
    testing::Combine(testing::ValuesIn(kMountWalkCases), testing::Values(1, 0)),
    [](const testing::TestParamInfo<MountWalkTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "AtVerbosity" +
             std::to_string(std::get<1>(info.param));
    });

// A failed space query of the mount list: the messages, both values unavailable.
TEST(MountSpaceTest, FailedQueryLeavesBothUnavailable) {
  FakeBaseReset();
  FakeVolumeReset();
  FakeAddMount("/data/", 100 * GIB + 2047, 3 * GIB + 1025);
  uint64_t totalKiB = UNTOUCHED;
  uint64_t freeKiB = UNTOUCHED;
  VolumeMountsSpace("/data/", &totalKiB, &freeKiB);
  EXPECT_EQ(100 * MIB + 1, totalKiB);
  EXPECT_EQ(3 * MIB + 1, freeKiB);
  testing::internal::CaptureStderr();
  VolumeMountsSpace("/gone/", &totalKiB, &freeKiB);
  EXPECT_EQ("<error 3>Failed to get /gone/ free space\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(SPACE_UNAVAILABLE, totalKiB);
  EXPECT_EQ(SPACE_UNAVAILABLE, freeKiB);
}

}  // namespace
