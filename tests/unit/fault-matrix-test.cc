// Fault matrices over a whole run: the platform failing each file operation in turn and the
// allocation failing at each size. In every cell the status is the one the failure calls for, the
// channel is closed, and no wiper file is left behind unless its deletion itself failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/shrink.h"
#include "fakes/fake-backdoor.h"
#include "fakes/fake-console.h"
#include "fakes/fake-files.h"
#include "fakes/fake-platform.h"
#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"
#include "sim/host.h"
#include "wiper/wiper.h"

namespace {

const uint64_t MIB = 1024 * 1024;

uint32_t g_failWith = 0;
void FailNextWrite() { FakeFailNextWrite(g_failWith); }

class FaultMatrixTest : public testing::Test {
 protected:
  void SetUp() override {
    FakePlatformReset();
    // Two and a half files' worth on C:, a small D:.
    FakeAddVolume('C', FAKE_DRIVE_FIXED, 8192 * MIB, 2560 * MIB);
    FakeSetVolumeRoom("C:\\", 2560 * MIB);
    FakeAddVolume('D', FAKE_DRIVE_FIXED, 64 * MIB, 3 * MIB);
    FakeSetVolumeRoom("D:\\", 3 * MIB);
  }

  ToolStatus Run(int32_t verbosity = 1) {
    g_verbosity = verbosity;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ToolStatus status = ShrinkRun();
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    g_verbosity = 1;
    EXPECT_EQ(std::vector<uint32_t>{1}, g_simHost.closed);
    return status;
  }

  std::string out_;
  std::string err_;
};

// A write that fails or comes up short is a full volume: the pass ends there, its files are
// deleted, and the run goes on to the next volume and the shrink.
TEST_F(FaultMatrixTest, EachWriteFailingOrShort) {
  // Writes 1 to 2561 go to C: (2560 full ones and the short one that ends it), then D:.
  const uint32_t positions[] = {1, 2, 1024, 1025, 1026, 2048, 2049, 2560, 2561, 2562, 2563};
  const uint32_t results[] = {0, 1500, 512 * 1024};
  for (uint32_t position : positions) {
    for (uint32_t written : results) {
      SCOPED_TRACE(testing::Message() << "write " << position << " gives " << written);
      SetUp();
      g_failWith = written;
      if (position == 1)
        FakeFailNextWrite(written);
      else
        FakeAtWrite(position - 1, FailNextWrite);
      EXPECT_EQ(STATUS_OK, Run());
      EXPECT_EQ("Complete\n", err_);
      EXPECT_EQ("", FakeFilesPresent());
      EXPECT_EQ((std::vector<std::string>{"disk.wiper.enable", "disk.shrink"}), g_simHost.commands);
    }
  }
}

TEST_F(FaultMatrixTest, EachCreationFailing) {
  const char* names[] = {"C:\\tzl_wiper_508.0", "C:\\tzl_wiper_508.1", "C:\\tzl_wiper_508.2",
                         "D:\\tzl_wiper_508.0"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    SetUp();
    FakeFailCreate(name);
    EXPECT_EQ(STATUS_WIPE_FAILED, Run());
    EXPECT_EQ(std::string("Failed to create a wiper file ") + name + "\n", err_);
    EXPECT_EQ("", FakeFilesPresent());
    EXPECT_EQ(std::vector<std::string>{"disk.wiper.enable"}, g_simHost.commands);
  }
}

TEST_F(FaultMatrixTest, DeletionsFailing) {
  // A deletion that fails is not retried and not reported: the files stay, the run goes on. Only
  // files that keep their name are deleted by it.
  FakeKeepNames("C:\\");
  FakeKeepNames("D:\\");
  FakeFailDeletions();
  EXPECT_EQ(STATUS_OK, Run());
  EXPECT_EQ("Complete\n", err_);
  EXPECT_EQ(
      "C:\\tzl_wiper_508.0 1073741824\n"
      "C:\\tzl_wiper_508.1 1073741824\n"
      "C:\\tzl_wiper_508.2 536870912\n"
      "D:\\tzl_wiper_508.0 3145728\n",
      FakeFilesPresent());
}

// Descriptors running out after each number of held files, with a volume whose files keep their
// names: every file is freed, by its close or its name, and the run goes on to the shrink.
TEST_F(FaultMatrixTest, DescriptorsRunningOutAtEachFile) {
  for (uint32_t limit = 0; limit <= 4; ++limit) {
    for (bool namedD : {false, true}) {
      SCOPED_TRACE(testing::Message() << "hold limit " << limit << (namedD ? ", D: named" : ""));
      SetUp();
      FakeHoldLimit(limit);
      if (namedD) FakeKeepNames("D:\\");
      EXPECT_EQ(STATUS_OK, Run());
      EXPECT_EQ("Complete\n", err_);
      EXPECT_EQ("", FakeFilesPresent());
      EXPECT_EQ(0u, FakeFilesOpen());
      EXPECT_EQ((std::vector<uint64_t>{1024 * MIB, 1024 * MIB, 512 * MIB, 3 * MIB}),
                FakeCreatedFileBytes());
    }
  }
}

TEST_F(FaultMatrixTest, AllocationFailingAtEachSize) {
  for (uint32_t size = WIPE_BUFFER_MAX_SIZE; size >= WIPE_BUFFER_MIN_SIZE; size >>= 1) {
    SCOPED_TRACE(size);
    SetUp();
    // Every larger size fails, so this one is the block.
    for (uint32_t larger = WIPE_BUFFER_MAX_SIZE; larger > size; larger >>= 1)
      FakeFailAllocation(larger);
    EXPECT_EQ(STATUS_OK, Run(2));
    EXPECT_NE(std::string::npos,
              out_.find("Wiping buffer: " + std::to_string(size) + " bytes\n")) << out_;
    EXPECT_EQ("", FakeFilesPresent());
    // Whatever the block, a completed file holds exactly 1 GiB.
    EXPECT_EQ((std::vector<uint64_t>{1024 * MIB, 1024 * MIB, 512 * MIB, 3 * MIB}),
              FakeCreatedFileBytes());
  }
  SetUp();
  FakeFailAllAllocations();
  EXPECT_EQ(STATUS_WIPE_FAILED, Run());
  EXPECT_EQ("Cannot allocate wiping buffer\n", err_);
  EXPECT_EQ("Wiping free space on C:\\ (2560 / 8192 MB free).\n", out_);
}

}  // namespace
