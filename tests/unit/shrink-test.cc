// The shrink workflow over the simulated host, fake volumes, files and console: its outcomes, its
// level-2 trace, the close on every path, the reply bounds and the interrupts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backdoor/rpc.h"
#include "driver/reply.h"
#include "driver/shrink.h"
#include "fakes/fake-backdoor.h"
#include "fakes/fake-console.h"
#include "fakes/fake-files.h"
#include "fakes/fake-platform.h"
#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"
#include "sim/host.h"

namespace {

const uint64_t MIB = 1024 * 1024;

struct Outcome {
  ToolStatus status;
  std::string out;
  std::string err;
};

class ShrinkTest : public testing::Test {
 protected:
  void SetUp() override {
    FakePlatformReset();
    // One fixed volume with 3 MiB free, and a CD-ROM drive that is never wiped.
    FakeAddVolume('C', FAKE_DRIVE_FIXED, 64 * MIB, 3 * MIB);
    FakeAddVolume('D', FAKE_DRIVE_CDROM, 64 * MIB, 64 * MIB);
    FakeSetVolumeRoom("C:\\", 3 * MIB);
  }
  void TearDown() override { g_verbosity = 1; }

  Outcome Run(const char* script, int32_t verbosity = 1) {
    EXPECT_TRUE(SimHostConfigure(script));
    g_verbosity = verbosity;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome outcome;
    outcome.status = verbosity == 1 ? ShrinkMain() : ShrinkRun();
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
  }

  // The command word of every low-bandwidth message call, in order.
  static std::vector<uint32_t> MessageWords() {
    std::vector<uint32_t> words;
    for (const SimCall& call : g_simHost.transcript)
      if (call.instruction == SIM_IN && (call.in.ecx & 0xFFFF) == 0x1E)
        words.push_back(call.in.ecx);
    return words;
  }

  static size_t CloseCalls() {
    size_t n = 0;
    for (uint32_t word : MessageWords())
      n += word == MSG_CLOSE;
    return n;
  }
};

const char WIPE_OUTPUT[] =
    "Wiping free space on C:\\ (3 / 64 MB free).\n"
    "0 / 3 MB complete (C: cancel / S: skip)\n"
    "1 / 3 MB complete (C: cancel / S: skip)\n"
    "2 / 3 MB complete (C: cancel / S: skip)\n"
    "3 / 3 MB complete (C: cancel / S: skip)\n"
    // The write that finds the volume full redraws the line once more.
    "3 / 3 MB complete (C: cancel / S: skip)\n";

TEST_F(ShrinkTest, OutcomesAtLevelOne) {
  struct Case {
    const char* name;
    const char* script;
    ToolStatus status;
    const char* out;
    const char* err;
    std::vector<std::string> commands;
  };
  const std::vector<std::string> both = {"disk.wiper.enable", "disk.shrink"};
  const std::vector<std::string> enable = {"disk.wiper.enable"};
  const Case cases[] = {
      {"absent", "absent", 2, "", "Not running on Tazelo\n", {}},
      {"open fails", "fail-step 0x1E 0 eax", 2, "", "Backdoor command call 1Eh failed.\n", {}},
      {"open refused", "fail-step 0x1E 0 open-ecx", 3, "",
       "Backdoor RPC command call 001Eh failed.\n", {}},
      {"empty enable reply", "reply disk.wiper.enable=", 0, "", "", enable},
      {"unexpected", "reply disk.wiper.enable=1 2", 0, "", "Unexpected RPC reply - '1 2'\n",
       enable},
      {"first byte 0", "reply disk.wiper.enable=0 1", 0, "", "Unexpected RPC reply - '0 1'\n",
       enable},
      {"no blank", "reply disk.wiper.enable=1x1", 0, "", "Unexpected RPC reply - '1x1'\n", enable},
      {"disabled", "reply disk.wiper.enable=1 0", 0, "", "Disk shrinking disabled\n", enable},
      {"completed", "", 0, WIPE_OUTPUT, "Complete\n", both},
      {"1 1 and more", "reply disk.wiper.enable=1 1 and more", 0, WIPE_OUTPUT, "Complete\n", both},
      {"cancelled", "reply disk.shrink=0", 0, WIPE_OUTPUT, "Cancelled\n", both},
      {"any other shrink reply", "reply disk.shrink=x1", 0, WIPE_OUTPUT, "Cancelled\n", both},
      {"shrink reply 1 and more", "reply disk.shrink=1 done", 0, WIPE_OUTPUT, "Complete\n", both},
      {"empty shrink reply", "reply disk.shrink=", 0, WIPE_OUTPUT, "Cancelled\n", both},
      {"close fails", "fail-step 0x6001E 0 refuse", 0, WIPE_OUTPUT,
       "Complete\nBackdoor RPC command call 6001Eh failed.\n", both},
      {"shrink send fails", "fail-step 0x2001E 5 eax", 2, WIPE_OUTPUT,
       "Backdoor command call 2001Eh failed.\n", enable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Outcome o = Run(c.script);
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.out, o.out);
    EXPECT_EQ(c.err, o.err);
    EXPECT_EQ(c.commands, g_simHost.commands);
    EXPECT_EQ("", FakeFilesPresent());
  }
}

TEST_F(ShrinkTest, LevelTwoTraceOfAFullRun) {
  Outcome o = Run("first-channel 5", 2);
  EXPECT_EQ(STATUS_OK, o.status);
  EXPECT_EQ(
      "RPC channel: 5 (conventional)\n"
      "RPC command: disk.wiper.enable\n"
      "RPC reply  : 1 1\n"
      "Wiping start\n"
      "Wiping complete\n"
      "RPC command: disk.shrink\n"
      "RPC reply  : 1\n"
      "Complete\n"
      "RPC channel closed\n",
      o.err);
  EXPECT_EQ(SHRINK_DELAY_MS, FakePausedMilliseconds());
  EXPECT_TRUE(FakeInterruptCaught());
  // Caught before the channel was opened: no moment with the channel open is left uncovered.
  EXPECT_EQ(0u, FakeInterruptCaughtAfterOpens());
}

TEST_F(ShrinkTest, FailedWipeSendsNoShrinkAndDoesNotPause) {
  FakeFailAllAllocations();
  Outcome o = Run("", 2);
  EXPECT_EQ(STATUS_WIPE_FAILED, o.status);
  EXPECT_EQ(
      "RPC channel: 1 (conventional)\n"
      "RPC command: disk.wiper.enable\n"
      "RPC reply  : 1 1\n"
      "Wiping start\n"
      "Cannot allocate wiping buffer\n"
      "RPC channel closed\n",
      o.err);
  EXPECT_EQ(std::vector<std::string>{"disk.wiper.enable"}, g_simHost.commands);
  EXPECT_EQ(0u, FakePausedMilliseconds());
  EXPECT_EQ(1u, CloseCalls());
}

// The host fails each call of a full run in turn, in both ways. The channel is closed exactly when
// the open succeeded, the status follows the call that failed, and no wiper file is left.
TEST_F(ShrinkTest, EveryCallFailingInTurn) {
  Run("");
  const size_t total = g_simHost.transcript.size();
  std::vector<uint32_t> words;
  for (const SimCall& call : g_simHost.transcript)
    words.push_back(call.in.ecx);
  ASSERT_EQ(19u, total);  // probe, open, two exchanges of 1 + 5 and 1 + 3 sends, close
  const char* kinds[] = {"eax", "refuse"};
  for (size_t i = 0; i < total; ++i) {
    for (const char* kind : kinds) {
      SCOPED_TRACE(testing::Message() << "call " << i << " (" << std::hex << words[i] << ") "
                                      << kind);
      SetUp();
      std::string script = "fail-call " + std::to_string(i) + " " + kind;
      Outcome o = Run(script.c_str());
      const uint32_t word = words[i];
      ToolStatus expected;
      if (word == 10)
        expected = STATUS_BACKDOOR_FAILED;  // the probe finds no magic either way
      else if (word == MSG_CLOSE)
        expected = STATUS_OK;  // a failed close changes no status
      else
        expected = kind[0] == 'e' ? STATUS_BACKDOOR_FAILED : STATUS_RPC_FAILED;
      EXPECT_EQ(expected, o.status);
      const bool opened = word != 10 && word != MSG_OPEN;
      EXPECT_EQ(opened ? 1u : 0u, CloseCalls());
      if (opened) {
        EXPECT_EQ(MSG_CLOSE, MessageWords().back());
      }
      EXPECT_EQ("", FakeFilesPresent());
    }
  }
}

TEST_F(ShrinkTest, RepliesOfEveryLengthStayInsideTheBuffer) {
  struct Case {
    const char* name;
    const char* script;
    ToolStatus status;
    const char* err;
  };
  const std::string z53(53, 'z');
  const std::string u51 = "Unexpected RPC reply - '" + std::string(51, 'z') + "'\n";
  const std::string cut52 = "reply disk.wiper.enable=1 0" + std::string(49, '.');
  const std::string long200 = "reply disk.wiper.enable=1 1" + std::string(197, '.');
  const std::string script53 = "reply disk.wiper.enable=" + z53;
  const Case cases[] = {
      {"0", "reply disk.wiper.enable=", 0, ""},
      {"1", "reply disk.wiper.enable=1", 0, "Unexpected RPC reply - '1'\n"},
      {"2", "reply disk.wiper.enable=1 ", 0, "Unexpected RPC reply - '1 '\n"},
      {"3", "reply disk.wiper.enable=1 0", 0, "Disk shrinking disabled\n"},
      {"52", cut52.c_str(), 0, "Disk shrinking disabled\n"},
      {"53", script53.c_str(), 0, u51.c_str()},
      {"200", long200.c_str(), 0, "Complete\n"},
      {"claimed 65536", "claim-length disk.wiper.enable=65536", 0, "Complete\n"},
      {"claimed 65537", "claim-length disk.wiper.enable=65537", 3,
       "RPC reply too long - 65537 bytes\n"},
      {"claimed 0xFFFFFFFF", "claim-length disk.wiper.enable=0xFFFFFFFF", 3,
       "RPC reply too long - 4294967295 bytes\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Outcome o = Run(c.script);
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.err, o.err);
    EXPECT_EQ(1u, CloseCalls());
  }
}

TEST(ReplyKeepTest, KeepsTheReplysOwnBytesAndEndsInsideTheBuffer) {
  char received[100];
  memset(received, 'q', sizeof received);
  ReplyText reply;
  memset(&reply, 0x55, sizeof reply);
  // Two bytes of reply followed by stale bytes of a longer earlier one: only "1 " counts.
  memcpy(received, "1 1", 3);
  ReplyKeep(received, 2, reply);
  EXPECT_EQ(2u, reply.length);
  EXPECT_STREQ("1 ", reply.text);
  EXPECT_EQ(REPLY_UNEXPECTED, ReplyWiperEnable(reply));
  ReplyKeep(received, 100, reply);
  EXPECT_EQ(REPLY_BUFFER_SIZE - 1, reply.length);
  EXPECT_EQ('\0', reply.text[REPLY_BUFFER_SIZE - 1]);
  EXPECT_EQ(REPLY_ENABLED, ReplyWiperEnable(reply));
  ReplyKeep(received, 0, reply);
  EXPECT_FALSE(ReplyShrinkCompleted(reply));
}

// An interrupt at each point where the run looks for one: the run ends in order, closes the
// channel and ends with status 4; no "disk.shrink" goes out once the interrupt is seen.
TEST_F(ShrinkTest, InterruptAtEachStage) {
  Run("");
  const uint32_t checks = FakeInterruptChecks();
  ASSERT_GT(checks, 5u);
  for (uint32_t n = 1; n <= checks; ++n) {
    SCOPED_TRACE(testing::Message() << "interrupt at check " << n);
    SetUp();
    FakeInterruptAtCheck(n);
    Outcome o = Run("");
    EXPECT_EQ(STATUS_WIPE_FAILED, o.status);
    EXPECT_EQ(1u, CloseCalls());
    EXPECT_EQ(MSG_CLOSE, MessageWords().back());
    EXPECT_EQ("", FakeFilesPresent());
    const bool shrinkSent = g_simHost.commands.size() == 2;
    // Only an interrupt during the shrink exchange itself comes too late to hold it back.
    EXPECT_EQ(n == checks, shrinkSent);
    // Seen by the wiper, the interrupt is its cancel; seen elsewhere, the run says so itself.
    const bool byWiper = o.out.find("Cencelled.\n") != std::string::npos;
    EXPECT_NE(byWiper, o.err.find("Interrupted\n") != std::string::npos) << o.out << o.err;
  }
}

TEST_F(ShrinkTest, InterruptDuringThePauseEndsItAtOnce) {
  Run("");
  const uint32_t checks = FakeInterruptChecks();
  // The pause makes the third check from the end: after it come the one that holds back the
  // shrink request and the one after the shrink exchange.
  SetUp();
  FakeInterruptAtCheck(checks - 2);
  Outcome o = Run("");
  EXPECT_EQ(STATUS_WIPE_FAILED, o.status);
  EXPECT_EQ(0u, FakePausedMilliseconds());
  EXPECT_EQ("Interrupted\n", o.err);
  EXPECT_EQ(std::vector<std::string>{"disk.wiper.enable"}, g_simHost.commands);
}

}  // namespace
