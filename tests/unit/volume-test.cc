// The fixed-volume walk and the space query, over the table of fake volumes.
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>

#include "gtest/gtest.h"

#include "fakes/fake-report.h"
#include "fakes/fake-volume.h"
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
  const char* root;  // null for the letter root
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
     {{'C', FAKE_DRIVE_FIXED, 40 * GIB, 10 * GIB, nullptr},
      {'D', FAKE_DRIVE_CDROM, 700 * MIB, 0, nullptr}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 40 * MIB, 10 * MIB},
      END,
      {false, STATUS_OK, "C:\\", 40 * MIB, 10 * MIB}},
     "",
     "drives\ntype C:\\\nroot C:\\\nhas-extended\nextended C:\\\n"
     "type D:\\\n"
     "drives\ntype C:\\\nroot C:\\\nhas-extended\nextended C:\\\n"},
    {"NoneFixed",
     {{'A', FAKE_DRIVE_REMOVABLE, 1440 * KIB, 0, nullptr},
      {'D', FAKE_DRIVE_CDROM, 700 * MIB, 0, nullptr},
      {'N', FAKE_DRIVE_REMOTE, 1 * TIB, 1 * GIB, nullptr},
      {'R', FAKE_DRIVE_RAMDISK, 1 * GIB, 1 * GIB, nullptr}},
     false, 0, 0, 0, 0,
     {END},
     "",
     "drives\ntype A:\\\ntype D:\\\ntype N:\\\ntype R:\\\n"},
    {"FirstAndLastLetter",
     {{'A', FAKE_DRIVE_FIXED, 2 * GIB, 1 * GIB, nullptr},
      {'Z', FAKE_DRIVE_FIXED, 4 * GIB, 3 * GIB, nullptr}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "A:\\", 2 * MIB, 1 * MIB},
      {false, STATUS_OK, "Z:\\", 4 * MIB, 3 * MIB},
      END},
     "",
     nullptr},
    {"ResetBeginsAgain",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB, nullptr},
      {'D', FAKE_DRIVE_FIXED, 16 * GIB, 4 * GIB, nullptr},
      {'E', FAKE_DRIVE_FIXED, 32 * GIB, 8 * GIB, nullptr}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB},
      RESET,
      {false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB},
      {false, STATUS_OK, "D:\\", 16 * MIB, 4 * MIB}},
     "",
     nullptr},
    {"DriveListFails",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB, nullptr}},
     false, 0, 0, 0, 5,
     {{false, STATUS_WIPE_FAILED, nullptr, UNTOUCHED, UNTOUCHED},
      {false, STATUS_OK, "C:\\", 8 * MIB, 2 * MIB}},
     "<error 5>Failed to get logical drives.\n",
     "drives\nlast-error\n"
     "drives\ntype C:\\\nroot C:\\\nhas-extended\nextended C:\\\n"},
    {"ClusterBasedQuery",
     {{'C', FAKE_DRIVE_FIXED, 0, 0, nullptr}},
     true, 'C', 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 8000000, 4000000}, END},
     "",
     "drives\ntype C:\\\nroot C:\\\nhas-extended\nclusters C:\\\n"},
    {"SpaceQueryFails",
     {{'C', FAKE_DRIVE_FIXED, 8 * GIB, 2 * GIB, nullptr},
      {'D', FAKE_DRIVE_FIXED, 16 * GIB, 4 * GIB, nullptr}},
     false, 0, 'C', 21, 0,
     {{false, STATUS_OK, "C:\\", SPACE_UNAVAILABLE, SPACE_UNAVAILABLE},
      {false, STATUS_OK, "D:\\", 16 * MIB, 4 * MIB},
      END},
     "<error 21>Failed to get C:\\ free space\n",
     // No fallback to the cluster-based query after a failed extended one.
     "drives\ntype C:\\\nroot C:\\\nhas-extended\nextended C:\\\nlast-error\n"
     "type D:\\\nroot D:\\\nhas-extended\nextended D:\\\n"},
    {"ClusterQueryFails",
     {{'C', FAKE_DRIVE_FIXED, 0, 0, nullptr}},
     true, 'C', 'C', 87, 0,
     {{false, STATUS_OK, "C:\\", SPACE_UNAVAILABLE, SPACE_UNAVAILABLE}, END},
     "<error 87>Failed to get C:\\ free space\n",
     nullptr},
    {"LessThanOneKiBFree",
     {{'C', FAKE_DRIVE_FIXED, 1 * MIB + 1023, 1023, nullptr}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", 1024, 0}, END},
     "",
     nullptr},
    {"AboveFourTiB",
     {{'C', FAKE_DRIVE_FIXED, 5 * TIB, 4 * TIB + 1536, nullptr}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "C:\\", UINT64_C(5368709120), UINT64_C(4294967297)}, END},
     "",
     nullptr},
    {"MountPointRoot",
     {{'A', FAKE_DRIVE_FIXED, 3 * GIB, 1 * GIB, "/srv/data one/"}},
     false, 0, 0, 0, 0,
     {{false, STATUS_OK, "/srv/data one/", 3 * MIB, 1 * MIB}, END},
     "",
     "drives\ntype A:\\\nroot A:\\\nhas-extended\nextended /srv/data one/\n"},
};

// Each case at verbosity 1 and at 0: the same results, and at 0 no message and no error code
// asked for.
class VolumeWalkTest : public testing::TestWithParam<std::tuple<WalkCase, int32_t>> {
 protected:
  void SetUp() override {
    FakeReportReset();
    FakeVolumeReset();
    NextFixedVolume(nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    NextFixedVolume(nullptr, nullptr, nullptr);
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
    if (volume.root != nullptr)
      FakeSetVolumeRoot(volume.letter, volume.root);
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
      EXPECT_EQ(STATUS_OK, NextFixedVolume(nullptr, nullptr, nullptr));
      continue;
    }
    char root[VOLUME_ROOT_SIZE];
    strcpy(root, "untouched");
    uint64_t totalKiB = UNTOUCHED;
    uint64_t freeKiB = UNTOUCHED;
    EXPECT_EQ(step.status, NextFixedVolume(root, &totalKiB, &freeKiB));
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
  FakeReportReset();
  FakeVolumeReset();
  FakeAddVolume('E', FAKE_DRIVE_FIXED, 100 * GIB + 2047, 3 * GIB + 1025);
  uint64_t totalKiB = UNTOUCHED;
  uint64_t freeKiB = UNTOUCHED;
  GetVolumeSpaceKiB("E:\\", &totalKiB, &freeKiB);
  EXPECT_EQ(100 * MIB + 1, totalKiB);
  EXPECT_EQ(3 * MIB + 1, freeKiB);

  testing::internal::CaptureStderr();
  GetVolumeSpaceKiB("Q:\\", &totalKiB, &freeKiB);
  EXPECT_EQ("<error 3>Failed to get Q:\\ free space\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(SPACE_UNAVAILABLE, totalKiB);
  EXPECT_EQ(SPACE_UNAVAILABLE, freeKiB);
}

}  // namespace
