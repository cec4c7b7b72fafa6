// Unit tests of the free-space wiper over fake volumes, files and console: how each pass ends,
// the progress and key handling, the buffer, and what is left on the volumes.
#include "wiper/wiper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "base/status.h"
#include "fakes/fake-console.h"
#include "fakes/fake-files.h"
#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"
#include "wiper/volume.h"
#include "wiper/wiper-platform.h"

namespace {

const uint64_t MIB = UINT64_C(1) << 20;
const uint64_t GIB = UINT64_C(1) << 30;
const uint64_t TIB = UINT64_C(1) << 40;
const char PROGRESS_TAIL[] = " MB complete (C: cancel / S: skip)\n";
const std::string FILE_OF_1GIB = "write 1048576 x1024\n";

// The progress lines "from / total" to "to / total", one per MiB; without a total when it is null.
std::string ProgressLines(uint64_t fromMiB, uint64_t toMiB, const char* totalMiB) {
  std::string lines;
  for (uint64_t mib = fromMiB; mib <= toMiB; ++mib) {
    lines += std::to_string(mib);
    if (totalMiB != nullptr) lines += std::string(" / ") + totalMiB;
    lines += PROGRESS_TAIL;
  }
  return lines;
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

std::string Name(const char* root, int number) {
  return std::string(root) + "tzl_wiper_508." + std::to_string(number);
}

std::string Create(const char* root, int number) { return "create " + Name(root, number) + "\n"; }
std::string Close(const char* root, int number) { return "close " + Name(root, number) + "\n"; }
std::string Delete(const char* root, int number) { return "delete " + Name(root, number) + "\n"; }
std::string Flush(const char* root) { return "flush " + std::string(root) + "\n"; }
std::string List(const char* root) { return "list " + std::string(root) + "\n"; }
// A file held open without its name until the pass ends, when its close frees it.
std::string Held(const char* root, int number) {
  return Create(root, number) + "unlink " + Name(root, number) + "\n";
}

// Whether the last the volume walk was asked was a reset, so that the next wipe begins anew.
bool WalkEndedWithReset() {
  std::string calls = FakeVolumeCalls();
  return calls.size() >= 6 && calls.compare(calls.size() - 6, 6, "reset\n") == 0;
}

// The console record of one pass that wrote `blocks` blocks at level 1 and above.
std::string QuietPass(int blocks) {
  return "quiet begin\n" + Repeat("up 1\n", blocks) + "quiet end\n";
}

void QueueSkip() { FakeConsoleQueueKeys("S"); }

struct WipeRun {
  ToolStatus status;
  std::string out;
  std::string err;
};

class WiperTest : public testing::Test {
 protected:
  void SetUp() override {
    g_verbosity = 1;
    g_wipeBuffer = nullptr;
    g_wipeBufferSize = 0;
    NextFixedVolume(nullptr, nullptr, nullptr);
    FakeFilesReset();
    FakeConsoleReset();
    FakeVolumeReset();
    FakeBaseReset();
  }

  void TearDown() override {
    // WipeVolume alone keeps the buffer for the next volume, as the walk does.
    if (g_wipeBuffer != nullptr) WipeMemoryFree(g_wipeBuffer);
    g_wipeBuffer = nullptr;
    g_verbosity = 1;
  }

  WipeRun RunVolume(const char* root, uint64_t freeKiB) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ToolStatus status = WipeVolume(root, freeKiB);
    std::string out = testing::internal::GetCapturedStdout();
    return WipeRun{status, out, testing::internal::GetCapturedStderr()};
  }

  WipeRun RunAll() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ToolStatus status = WipeAllVolumes();
    std::string out = testing::internal::GetCapturedStdout();
    return WipeRun{status, out, testing::internal::GetCapturedStderr()};
  }
};

// A pass that only the volume's room and its free figure end.
TEST_F(WiperTest, PassEndsWhenFreeSpaceIsCoveredOrVolumeIsFull) {
  struct Case {
    const char* name;
    uint64_t freeKiB;
    uint64_t roomBytes;
    std::string log;
    std::vector<uint64_t> fileBytes;
    std::string out;
    int blocks;
    bool ioError;
  };
  const Case cases[] = {
      {"nothing free", 0, 10 * MIB, "alloc 1048576\n" + List("C:\\"), {}, ProgressLines(0, 0, "0"),
       0, false},
      {"exactly 2 GiB free with room left",
       2097152,
       3 * GIB,
       "alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + FILE_OF_1GIB + Held("C:\\", 1) +
           FILE_OF_1GIB + Flush("C:\\") + Close("C:\\", 1) + Close("C:\\", 0),
       {GIB, GIB},
       ProgressLines(0, 2048, "2048"),
       2048,
       false},
      {"full during file 2, last write 1500 bytes",
       10 * GIB >> 10,
       2 * GIB + 5 * MIB + 1500,
       "alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + FILE_OF_1GIB + Held("C:\\", 1) +
           FILE_OF_1GIB + Held("C:\\", 2) + "write 1048576 x5\nwrite 1048576 -> 1500\n" +
           Flush("C:\\") + Close("C:\\", 2) + Close("C:\\", 1) + Close("C:\\", 0),
       {GIB, GIB, 5 * MIB + 1500},
       // The 1500 bytes add 1 KiB, which leaves the MiB figure of the last line as it was.
       ProgressLines(0, 2053, "10240") + "2053 / 10240" + PROGRESS_TAIL,
       2054,
       false},
      {"a failed write (I/O error) ends it as a full volume",
       10240,
       10 * MIB,
       "alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + "write 1048576 -> 0\n" +
           Flush("C:\\") + Close("C:\\", 0),
       {0},
       ProgressLines(0, 0, "10") + ProgressLines(0, 0, "10"),
       1,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    FakeSetVolumeRoom("C:\\", c.roomBytes);
    if (c.ioError) FakeFailNextWrite(0);
    WipeRun run = RunVolume("C:\\", c.freeKiB);
    EXPECT_EQ(STATUS_OK, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.log, FakeFilesLog());
    EXPECT_EQ(c.fileBytes, FakeCreatedFileBytes());
    EXPECT_EQ("", FakeFilesPresent());
    EXPECT_EQ(0u, FakeFilesOpen());
    EXPECT_EQ(QuietPass(c.blocks), FakeConsoleCalls());
  }
}

// A volume whose space query failed: no total, and writing goes on until the volume is full.
TEST_F(WiperTest, FreeSpaceUnavailableWritesUntilFull) {
  FakeSetVolumeRoom("/data/", 3 * MIB);
  WipeRun run = RunVolume("/data/", SPACE_UNAVAILABLE);
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ(
      "0 MB complete (C: cancel / S: skip)\n"
      "1 MB complete (C: cancel / S: skip)\n"
      "2 MB complete (C: cancel / S: skip)\n"
      "3 MB complete (C: cancel / S: skip)\n"
      "3 MB complete (C: cancel / S: skip)\n",
      run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(
      "alloc 1048576\nlist /data/\ncreate /data/tzl_wiper_508.0\nunlink /data/tzl_wiper_508.0\n"
      "write 1048576 x3\nwrite 1048576 -> 0\nflush /data/\nclose /data/tzl_wiper_508.0\n",
      FakeFilesLog());
}

// Keys read after a full block: which ones end the pass and how.
TEST_F(WiperTest, KeysAfterAFullBlock) {
  struct Case {
    const char* keys;
    bool failFirstRead;
    ToolStatus status;
    std::string out;
    int blocks;
    bool keysLeft;
  };
  const std::string skipped = ProgressLines(0, 1, "5") + "Skipped.\n";
  const std::string cancelled = ProgressLines(0, 1, "5") + "Cencelled.\n";
  const Case cases[] = {
      {"S", false, STATUS_OK, skipped, 1, false},
      {"s", false, STATUS_OK, skipped, 1, false},
      {"C", false, STATUS_WIPE_FAILED, cancelled, 1, false},
      {"c", false, STATUS_WIPE_FAILED, cancelled, 1, false},
      // Keys waiting together: the x is read and dropped, the S takes effect, the c waits.
      {"xS", false, STATUS_OK, skipped, 1, false},
      {"x1 Sc", false, STATUS_OK, skipped, 1, true},
      // Any other key is read and ignored; the volume is written until full.
      {"x", false, STATUS_OK, ProgressLines(0, 3, "5") + ProgressLines(3, 3, "5"), 4, false},
      // A read that fails is no key: writing goes on and the key is read after the next block.
      {"S", true, STATUS_OK, ProgressLines(0, 2, "5") + "Skipped.\n", 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    SetUp();
    FakeSetVolumeRoom("C:\\", 3 * MIB);
    FakeConsoleQueueKeys(c.keys);
    if (c.failFirstRead) FakeConsoleFailNextRead();
    WipeRun run = RunVolume("C:\\", 5 * 1024);
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + Flush("C:\\") + Close("C:\\", 0),
              FakeFilesLogWithoutWrites());
    EXPECT_EQ(QuietPass(c.blocks), FakeConsoleCalls());
    EXPECT_EQ(!c.keysLeft, FakeConsoleQueueEmpty());
  }
}

// The key poll comes before the file limit: S in the block that completes a file still skips,
// and no further file is created on that volume.
TEST_F(WiperTest, SkipInTheBlockThatCompletesAFile) {
  FakeSetVolumeRoom("C:\\", 5 * GIB);
  FakeAtWrite(1024, QueueSkip);
  WipeRun run = RunVolume("C:\\", 5 * GIB >> 10);
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ(ProgressLines(0, 1024, "5120") + "Skipped.\n", run.out);
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + FILE_OF_1GIB + Flush("C:\\") +
                Close("C:\\", 0),
            FakeFilesLog());
}

// An interrupt acts as the cancel key, also when it cut the block short.
TEST_F(WiperTest, InterruptCancelsThePass) {
  struct Case {
    const char* name;
    uint64_t roomBytes;
    std::string writes;
    std::string out;
  };
  const Case cases[] = {
      {"after a full block", 10 * MIB, "write 1048576 x3\n",
       ProgressLines(0, 3, "10") + "Cencelled.\n"},
      {"on a short block: not a full volume", 2 * MIB + 512 * 1024,
       "write 1048576 x2\nwrite 1048576 -> 524288\n",
       ProgressLines(0, 2, "10") + ProgressLines(2, 2, "10") + "Cencelled.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    FakeSetVolumeRoom("C:\\", c.roomBytes);
    FakeInterruptAtCheck(3);
    WipeRun run = RunVolume("C:\\", 10 * 1024);
    EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + c.writes + Flush("C:\\") +
                  Close("C:\\", 0),
              FakeFilesLog());
  }
}

// The buffer falls back by halving; a completed file still holds exactly 1 GiB.
TEST_F(WiperTest, HalfSizeBufferFillsA1GiBFileIn2048Blocks) {
  g_verbosity = 2;
  FakeSetVolumeRoom("C:\\", 2 * GIB);
  FakeFailAllocation(1048576);
  WipeRun run = RunVolume("C:\\", GIB >> 10);
  EXPECT_EQ(STATUS_OK, run.status);
  std::string expected = "Wiping buffer: 524288 bytes\n" + ProgressLines(0, 0, "1024");
  for (int mib = 0; mib < 1024; ++mib) {
    expected += std::to_string(mib) + " / 1024" + PROGRESS_TAIL;
    expected += std::to_string(mib + 1) + " / 1024" + PROGRESS_TAIL;
  }
  EXPECT_EQ(expected, run.out);
  EXPECT_EQ("alloc 1048576 failed\nalloc 524288\n" + List("C:\\") + Held("C:\\", 0) +
                "write 524288 x2048\n" + Flush("C:\\") + Close("C:\\", 0),
            FakeFilesLog());
  EXPECT_EQ(std::vector<uint64_t>{GIB}, FakeCreatedFileBytes());
  EXPECT_EQ(524288u, g_wipeBufferSize);
}

// The smallest size that can be had is used: every size down to 1 KiB is tried once.
TEST_F(WiperTest, BufferSizesTriedDownTo1KiB) {
  for (uint32_t size = WIPE_BUFFER_MAX_SIZE; size > WIPE_BUFFER_MIN_SIZE; size >>= 1)
    FakeFailAllocation(size);
  g_verbosity = 2;
  FakeSetVolumeRoom("C:\\", 3 * 1024);
  WipeRun run = RunVolume("C:\\", 3);
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ("Wiping buffer: 1024 bytes\n" + ProgressLines(0, 0, "0") +
                Repeat(ProgressLines(0, 0, "0"), 4),
            run.out);
  EXPECT_EQ(
      "alloc 1048576 failed\nalloc 524288 failed\nalloc 262144 failed\nalloc 131072 failed\n"
      "alloc 65536 failed\nalloc 32768 failed\nalloc 16384 failed\nalloc 8192 failed\n"
      "alloc 4096 failed\nalloc 2048 failed\nalloc 1024\n" +
          List("C:\\") + Held("C:\\", 0) + "write 1024 x3\nwrite 1024 -> 0\n" + Flush("C:\\") +
          Close("C:\\", 0),
      FakeFilesLog());
}

// Every buffer size fails: the first volume's heading, the message, and nothing else.
TEST_F(WiperTest, NoBufferStopsTheWipe) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 10 * MIB);
  FakeAddVolume('D', FAKE_DRIVE_FIXED, 20 * MIB, 10 * MIB);
  FakeFailAllAllocations();
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (10 / 20 MB free).\n", run.out);
  EXPECT_EQ("Cannot allocate wiping buffer\n", run.err);
  EXPECT_EQ(
      "alloc 1048576 failed\nalloc 524288 failed\nalloc 262144 failed\nalloc 131072 failed\n"
      "alloc 65536 failed\nalloc 32768 failed\nalloc 16384 failed\nalloc 8192 failed\n"
      "alloc 4096 failed\nalloc 2048 failed\nalloc 1024 failed\n",
      FakeFilesLog());
  EXPECT_EQ("", std::string(FakeConsoleCalls()));
  EXPECT_EQ(nullptr, g_wipeBuffer);
  EXPECT_TRUE(WalkEndedWithReset());
}

// The walk: each volume in turn with its heading, one buffer for all, released at the end.
TEST_F(WiperTest, WalkWipesEveryFixedVolumeWithOneBuffer) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 2 * MIB);
  FakeAddVolume('D', FAKE_DRIVE_CDROM, 20 * MIB, 2 * MIB);
  FakeAddVolume('E', FAKE_DRIVE_FIXED, 30 * MIB, MIB + 1536);
  FakeAddVolume('F', FAKE_DRIVE_FIXED, 30 * MIB, 3 * MIB);
  FakeFailSpaceQuery('F', 5);
  FakeSetVolumeRoom("C:\\", 2 * MIB);
  FakeSetVolumeRoom("E:\\", MIB + 1536);
  FakeSetVolumeRoom("F:\\", MIB);
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (2 / 20 MB free).\n" + ProgressLines(0, 2, "2") +
                ProgressLines(2, 2, "2") + "Wiping free space on E:\\ (1 / 30 MB free).\n" +
                ProgressLines(0, 1, "1") + ProgressLines(1, 1, "1") +
                "Wiping free space on F:\\.\n" + ProgressLines(0, 1, nullptr) +
                ProgressLines(1, 1, nullptr),
            run.out);
  EXPECT_EQ("<error 5>Failed to get F:\\ free space\n", run.err);
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) +
                "write 1048576 x2\nwrite 1048576 -> 0\n" + Flush("C:\\") + Close("C:\\", 0) +
                List("E:\\") + Held("E:\\", 0) + "write 1048576 x1\nwrite 1048576 -> 1536\n" +
                Flush("E:\\") + Close("E:\\", 0) + List("F:\\") + Held("F:\\", 0) +
                "write 1048576 x1\nwrite 1048576 -> 0\n" + Flush("F:\\") + Close("F:\\", 0) +
                "free 1048576\n",
            FakeFilesLog());
  EXPECT_EQ(QuietPass(3) + QuietPass(2) + QuietPass(2), FakeConsoleCalls());
  EXPECT_EQ(nullptr, g_wipeBuffer);
  EXPECT_TRUE(WalkEndedWithReset());
}

// Walks that wipe nothing: no fixed volume at all, or no drive list. No buffer is made.
TEST_F(WiperTest, WalkThatWipesNothing) {
  struct Case {
    const char* name;
    uint32_t driveType;
    uint32_t drivesError;
    ToolStatus status;
    const char* err;
  };
  const Case cases[] = {
      {"no fixed volume", FAKE_DRIVE_CDROM, 0, STATUS_OK, ""},
      {"no drive list", FAKE_DRIVE_FIXED, 21, STATUS_WIPE_FAILED,
       "<error 21>Failed to get logical drives.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    FakeAddVolume('D', c.driveType, 20 * MIB, 2 * MIB);
    if (c.drivesError != 0) FakeFailNextLogicalDrives(c.drivesError);
    WipeRun run = RunAll();
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ("", FakeFilesLog());
    EXPECT_EQ("", std::string(FakeConsoleCalls()));
  }
}

// Cancel on the first of three volumes: its files are deleted, the others are not touched.
TEST_F(WiperTest, CancelOnTheFirstOfThreeVolumes) {
  const char* stoppers[] = {"C", "interrupt"};
  for (const char* stopper : stoppers) {
    SCOPED_TRACE(stopper);
    SetUp();
    FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 10 * MIB);
    FakeAddVolume('D', FAKE_DRIVE_FIXED, 20 * MIB, 10 * MIB);
    FakeAddVolume('E', FAKE_DRIVE_FIXED, 20 * MIB, 10 * MIB);
    if (std::string(stopper) == "C")
      FakeConsoleQueueKeys("C");
    else
      FakeInterruptAtCheck(1);
    WipeRun run = RunAll();
    EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
    EXPECT_EQ("Wiping free space on C:\\ (10 / 20 MB free).\n" + ProgressLines(0, 1, "10") +
                  "Cencelled.\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + "write 1048576 x1\n" +
                  Flush("C:\\") + Close("C:\\", 0) + "free 1048576\n",
              FakeFilesLog());
    EXPECT_EQ(std::string::npos, std::string(FakeVolumeCalls()).find("D:\\"));
    EXPECT_TRUE(WalkEndedWithReset());
  }
}

// A name that exists on the second volume: named in the message, that volume's earlier files
// deleted, the third volume untouched, what was there before left alone.
TEST_F(WiperTest, ExistingNameOnTheSecondVolume) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 2 * MIB);
  FakeAddVolume('D', FAKE_DRIVE_FIXED, 4 * GIB, 3 * GIB);
  FakeAddVolume('E', FAKE_DRIVE_FIXED, 20 * MIB, 2 * MIB);
  FakeSetVolumeRoom("C:\\", 2 * MIB);
  FakeAddExistingFile("D:\\tzl_wiper_508.1", 77);
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (2 / 20 MB free).\n" + ProgressLines(0, 2, "2") +
                ProgressLines(2, 2, "2") + "Wiping free space on D:\\ (3072 / 4096 MB free).\n" +
                ProgressLines(0, 1024, "3072"),
            run.out);
  EXPECT_EQ("Failed to create a wiper file D:\\tzl_wiper_508.1\n", run.err);
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + Flush("C:\\") +
                Close("C:\\", 0) + List("D:\\") + Held("D:\\", 0) +
                "create D:\\tzl_wiper_508.1 failed\n" + Flush("D:\\") + Close("D:\\", 0) +
                "free 1048576\n",
            FakeFilesLogWithoutWrites());
  EXPECT_EQ("D:\\tzl_wiper_508.1 77\n", FakeFilesPresent());
  EXPECT_EQ(std::string::npos, std::string(FakeVolumeCalls()).find("E:\\"));
}

// The first file cannot be created: the message, nothing to delete, the walk stops.
TEST_F(WiperTest, FirstFileCannotBeCreated) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 2 * MIB);
  FakeAddVolume('D', FAKE_DRIVE_FIXED, 20 * MIB, 2 * MIB);
  FakeFailCreate("C:\\tzl_wiper_508.0");
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (2 / 20 MB free).\n" + ProgressLines(0, 0, "2"), run.out);
  EXPECT_EQ("Failed to create a wiper file C:\\tzl_wiper_508.0\n", run.err);
  EXPECT_EQ("alloc 1048576\nlist C:\\\ncreate C:\\tzl_wiper_508.0 failed\nfree 1048576\n",
            FakeFilesLog());
  EXPECT_EQ(QuietPass(0), FakeConsoleCalls());
}

// Deletions that fail are ignored without a message; the files (named ones, on a file system
// that would not free a held file after a crash) stay where they are.
TEST_F(WiperTest, FailedDeletionsLeaveTheFilesSilently) {
  FakeSetVolumeRoom("C:\\", GIB + 3 * MIB);
  FakeKeepNames("C:\\");
  FakeFailDeletions();
  WipeRun run = RunVolume("C:\\", 2 * GIB >> 10);
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ("C:\\tzl_wiper_508.0 1073741824\nC:\\tzl_wiper_508.1 3145728\n", FakeFilesPresent());
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Create("C:\\", 0) + Close("C:\\", 0) +
                Create("C:\\", 1) + Close("C:\\", 1) + Flush("C:\\") +
                "delete C:\\tzl_wiper_508.1 failed\n" +
                "delete C:\\tzl_wiper_508.0 failed\n",
            FakeFilesLogWithoutWrites());
}

// Figures of a volume above 4 TiB are shown whole, and the pass is not cut short by them.
TEST_F(WiperTest, VolumeAbove4TiB) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 6 * TIB, 4 * TIB);
  FakeSetVolumeRoom("C:\\", 2 * MIB);
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (4194304 / 6291456 MB free).\n" +
                ProgressLines(0, 2, "4194304") + ProgressLines(2, 2, "4194304"),
            run.out);
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) +
                "write 1048576 x2\nwrite 1048576 -> 0\n" + Flush("C:\\") + Close("C:\\", 0) +
                "free 1048576\n",
            FakeFilesLog());
}

// Verbosity gates every message at its place; the wipe itself is the same at every level.
TEST_F(WiperTest, VerbosityGatesEveryMessage) {
  struct Case {
    int32_t verbosity;
    std::string out;
    std::string err;
    std::string console;
  };
  const std::string level1 =
      "Wiping free space on C:\\ (1 / 20 MB free).\n" + ProgressLines(0, 1, "1") + "Skipped.\n" +
      "Wiping free space on D:\\ (1 / 20 MB free).\n" + ProgressLines(0, 0, "1");
  const std::string quiet = "quiet begin\nquiet end\nquiet begin\nquiet end\n";
  const Case cases[] = {
      {-1, "", "", quiet},
      {0, "", "", quiet},
      {1, level1, "Failed to create a wiper file D:\\tzl_wiper_508.0\n",
       "quiet begin\nup 1\nquiet end\nquiet begin\nquiet end\n"},
      {2,
       "Wiping free space on C:\\ (1 / 20 MB free).\nWiping buffer: 1048576 bytes\n" +
           level1.substr(level1.find('\n') + 1),
       "Failed to create a wiper file D:\\tzl_wiper_508.0\n",
       "quiet begin\nup 1\nquiet end\nquiet begin\nquiet end\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verbosity);
    SetUp();
    g_verbosity = c.verbosity;
    FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, MIB);
    FakeAddVolume('D', FAKE_DRIVE_FIXED, 20 * MIB, MIB);
    FakeConsoleQueueKeys("S");
    FakeFailCreate("D:\\tzl_wiper_508.0");
    WipeRun run = RunAll();
    EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.console, FakeConsoleCalls());
    EXPECT_EQ("alloc 1048576\n" + List("C:\\") + Held("C:\\", 0) + "write 1048576 x1\n" +
                  Flush("C:\\") + Close("C:\\", 0) + List("D:\\") +
                  "create D:\\tzl_wiper_508.0 failed\nfree 1048576\n",
              FakeFilesLog());
  }
}

// Each progress line follows a rewind over the previous one.
TEST_F(WiperTest, ProgressLineRewrittenAfterEveryBlock) {
  FakeConsoleShowRewinds(true);
  FakeSetVolumeRoom("C:\\", MIB + 4096);
  WipeRun run = RunVolume("C:\\", 1024);
  EXPECT_EQ(STATUS_OK, run.status);
  // File 0 goes on past the free figure, which is tested only before a new file, until the
  // volume is full.
  EXPECT_EQ(
      "0 / 1 MB complete (C: cancel / S: skip)\n"
      "<up 1>1 / 1 MB complete (C: cancel / S: skip)\n"
      "<up 1>1 / 1 MB complete (C: cancel / S: skip)\n",
      run.out);
}

// A root too long for the name buffer: nothing is created under a cut name, the message names
// the whole file.
TEST_F(WiperTest, NameThatDoesNotFitIsNeverCreated) {
  std::string root = "/" + std::string(250, 'm') + "/";
  WipeRun run = RunVolume(root.c_str(), 1024);
  EXPECT_EQ(STATUS_WIPE_FAILED, run.status);
  EXPECT_EQ(ProgressLines(0, 0, "1"), run.out);
  EXPECT_EQ("Failed to create a wiper file " + root + "tzl_wiper_508.0\n", run.err);
  EXPECT_EQ("alloc 1048576\nlist " + root + "\n", FakeFilesLog());
}

// How each file of a pass goes away: held open without its name and closed newest first after the
// flush, or, where the file system would not free such a file after a crash or descriptors run
// out, closed once written and deleted by name. What the user sees is the same in every case.
TEST_F(WiperTest, HeldFilesAndFilesThatKeepTheirNames) {
  struct Case {
    const char* name;
    bool keepNames;
    uint32_t holdLimit;
    std::string log;
  };
  const char* c = "C:\\";
  const std::string lastFile = "write 1048576 x3\nwrite 1048576 -> 0\n";
  const Case cases[] = {
      {"every file held", false, UINT32_MAX,
       "alloc 1048576\n" + List(c) + Held(c, 0) + FILE_OF_1GIB + Held(c, 1) + FILE_OF_1GIB +
           Held(c, 2) + lastFile + Flush(c) + Close(c, 2) + Close(c, 1) + Close(c, 0)},
      {"no orphan recovery: every file named", true, UINT32_MAX,
       "alloc 1048576\n" + List(c) + Create(c, 0) + FILE_OF_1GIB + Close(c, 0) + Create(c, 1) +
           FILE_OF_1GIB + Close(c, 1) + Create(c, 2) + lastFile + Close(c, 2) + Flush(c) +
           Delete(c, 2) + Delete(c, 1) + Delete(c, 0)},
      {"descriptors for one file only", false, 1,
       "alloc 1048576\n" + List(c) + Held(c, 0) + FILE_OF_1GIB + Create(c, 1) + FILE_OF_1GIB +
           Close(c, 1) + Create(c, 2) + lastFile + Close(c, 2) + Flush(c) + Delete(c, 2) +
           Delete(c, 1) + Close(c, 0)},
      {"no descriptor to spare", false, 0,
       "alloc 1048576\n" + List(c) + Create(c, 0) + FILE_OF_1GIB + Close(c, 0) + Create(c, 1) +
           FILE_OF_1GIB + Close(c, 1) + Create(c, 2) + lastFile + Close(c, 2) + Flush(c) +
           Delete(c, 2) + Delete(c, 1) + Delete(c, 0)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SetUp();
    FakeSetVolumeRoom(c, 2 * GIB + 3 * MIB);
    if (k.keepNames) FakeKeepNames(c);
    FakeHoldLimit(k.holdLimit);
    WipeRun run = RunVolume(c, 3 * GIB >> 10);
    EXPECT_EQ(STATUS_OK, run.status);
    EXPECT_EQ(ProgressLines(0, 2051, "3072") + ProgressLines(2051, 2051, "3072"), run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(k.log, FakeFilesLog());
    EXPECT_EQ((std::vector<uint64_t>{GIB, GIB, 3 * MIB}), FakeCreatedFileBytes());
    EXPECT_EQ("", FakeFilesPresent());
    EXPECT_EQ(0u, FakeFilesOpen());
  }
}

// Leftovers of runs that died: only regular files of the tool's own name pattern whose process is
// gone are deleted, before the first file; their space is wiped with the rest.
TEST_F(WiperTest, LeftoversOfDeadRunsAreRemovedBeforeTheFirstFile) {
  const char* kept[] = {
      "C:\\tzl_wiper_78.3",          // its process runs
      "C:\\tzl_wiper_508.9",         // the running tool's own id
      "C:\\tzl_wiper_77.0.bak",      // other names
      "C:\\tzl_wiper_077.1",         "C:\\tzl_wiper_77.", "C:\\tzl_wiper_.1",
      "C:\\tzl_wiper_77.-1",         "C:\\tzl_wiper_4294967296.0", "C:\\xtzl_wiper_77.4",
      "C:\\TZL_WIPER_77.5",          "C:\\tzl_wiper_77_6",
      "C:\\docs\\tzl_wiper_77.7",   // not in the root
      "D:\\tzl_wiper_77.8",          // another volume's, for its own pass
  };
  for (const char* name : kept) FakeAddExistingFile(name, 1000);
  FakeSetRunning(78);
  FakeAddExistingFile("C:\\tzl_wiper_77.0", 4 * MIB);
  FakeAddExistingFile("C:\\tzl_wiper_4294967295.12", 2 * MIB);
  FakeSetVolumeRoom("C:\\", 2 * MIB);
  WipeRun run = RunVolume("C:\\", 5 * 1024);
  EXPECT_EQ(STATUS_OK, run.status);
  // The 6 MiB of the two leftovers are part of the pass: 11 MiB in all.
  EXPECT_EQ("Removed 2 wiper files left by an earlier run on C:\\\n" +
                ProgressLines(0, 8, "11") + ProgressLines(8, 8, "11"),
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ("alloc 1048576\n" + List("C:\\") + "delete leftover C:\\tzl_wiper_4294967295.12\n" +
                "delete leftover C:\\tzl_wiper_77.0\n" + Held("C:\\", 0) + Flush("C:\\") +
                Close("C:\\", 0),
            FakeFilesLogWithoutWrites());
  std::string present;
  std::vector<std::string> sorted(std::begin(kept), std::end(kept));
  std::sort(sorted.begin(), sorted.end());
  for (const std::string& name : sorted) present += name + " 1000\n";
  EXPECT_EQ(present, FakeFilesPresent());
}

// A leftover that cannot be deleted stays without a message; at level 0 nothing is written.
TEST_F(WiperTest, LeftoversQuietlyKeptOrRemoved) {
  struct Case {
    const char* name;
    int32_t verbosity;
    bool failDeletions;
    const char* present;
  };
  const Case cases[] = {
      {"deletion fails", 1, true, "C:\\tzl_wiper_77.0 4096\n"},
      {"level 0", 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    g_verbosity = c.verbosity;
    FakeAddExistingFile("C:\\tzl_wiper_77.0", 4096);
    FakeKeepNames("C:\\");
    if (c.failDeletions) FakeFailDeletions();
    WipeRun run = RunVolume("C:\\", 0);
    EXPECT_EQ(STATUS_OK, run.status);
    EXPECT_EQ(c.verbosity > 0 ? ProgressLines(0, 0, "0") : "", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.present, FakeFilesPresent());
  }
}

// The walk looks at each volume's root once, as its pass begins, and reports each on its own.
TEST_F(WiperTest, LeftoversOfEachVolumeReportedInItsPass) {
  FakeAddVolume('C', FAKE_DRIVE_FIXED, 20 * MIB, 0);
  FakeAddVolume('D', FAKE_DRIVE_FIXED, 20 * MIB, 0);
  FakeAddExistingFile("C:\\tzl_wiper_70.0", 0);
  FakeAddExistingFile("D:\\tzl_wiper_71.0", 0);
  FakeAddExistingFile("D:\\tzl_wiper_71.1", 0);
  WipeRun run = RunAll();
  EXPECT_EQ(STATUS_OK, run.status);
  EXPECT_EQ("Wiping free space on C:\\ (0 / 20 MB free).\n"
            "Removed 1 wiper files left by an earlier run on C:\\\n" +
                ProgressLines(0, 0, "0") +
                "Wiping free space on D:\\ (0 / 20 MB free).\n"
                "Removed 2 wiper files left by an earlier run on D:\\\n" +
                ProgressLines(0, 0, "0"),
            run.out);
  EXPECT_EQ("", FakeFilesPresent());
}

TEST(WiperFileNameTest, ParsesOnlyTheToolsOwnNames) {
  struct Case {
    const char* name;
    bool matches;
    uint32_t processId;
  };
  const Case cases[] = {
      {"tzl_wiper_508.0", true, 508},
      {"tzl_wiper_0.0", true, 0},
      {"tzl_wiper_4294967295.4294967295", true, 4294967295u},
      {"tzl_wiper_4294967296.0", false, 0},
      {"tzl_wiper_1.4294967296", false, 0},
      {"tzl_wiper_0508.0", false, 0},
      {"tzl_wiper_508.00", false, 0},
      {"tzl_wiper_508", false, 0},
      {"tzl_wiper_508.", false, 0},
      {"tzl_wiper_.0", false, 0},
      {"tzl_wiper_508.0 ", false, 0},
      {"tzl_wiper_+5.0", false, 0},
      {"tzl_wiper_5.0.0", false, 0},
      {"tzl_wiper_", false, 0},
      {"tzl_wipe", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t processId = 0;
    EXPECT_EQ(c.matches, ParseWiperFileName(c.name, &processId));
    if (c.matches) {
      EXPECT_EQ(c.processId, processId);
    }
  }
}

TEST(WiperFileNameTest, FormsRootProcessIdAndNumber) {
  struct Case {
    std::string root;
    uint32_t processId;
    uint32_t number;
    bool fits;
    std::string name;
  };
  // The longest root that fits leaves room for "tzl_wiper_1.2" and the NUL.
  const std::string longest(WIPER_NAME_SIZE - 14, 'r');
  const Case cases[] = {
      {"C:\\", 508, 0, true, "C:\\tzl_wiper_508.0"},
      {"/mnt/data/", 4294967295u, 4294967295u, true, "/mnt/data/tzl_wiper_4294967295.4294967295"},
      {longest, 1, 2, true, longest + "tzl_wiper_1.2"},
      {longest + "r", 1, 2, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    char name[WIPER_NAME_SIZE];
    EXPECT_EQ(c.fits, FormatWiperFileName(name, c.root.c_str(), c.processId, c.number));
    if (c.fits) {
      EXPECT_EQ(c.name, name);
    }
  }
}

}  // namespace
