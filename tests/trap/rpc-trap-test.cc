// The guest RPC channel through the real port instructions, answered by the simulated host through
// the trap adapter: conventional and high-bandwidth exchanges, and refused steps.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "backdoor/backdoor.h"
#include "backdoor/rpc.h"
#include "base/status.h"
#include "sim/host.h"
#include "sim/trap.h"

namespace {

const uint32_t LB = BACKDOOR_LB_PORT;
const uint32_t HB = BACKDOOR_HB_PORT;

struct Expected {
  SimInstruction instruction;
  uint32_t ebx, ecx, edx, esi, edi, ebp;  // eax is always the magic
};

uint32_t Low32(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

void ExpectTranscript(const std::vector<Expected>& expected) {
  ASSERT_EQ(expected.size(), g_simHost.transcript.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string at = "call " + std::to_string(i);
    const SimCall& call = g_simHost.transcript[i];
    const Expected& e = expected[i];
    EXPECT_EQ(e.instruction, call.instruction) << at;
    EXPECT_EQ(BACKDOOR_MAGIC, call.in.eax) << at;
    EXPECT_EQ(e.ebx, call.in.ebx) << at;
    EXPECT_EQ(e.ecx, call.in.ecx) << at;
    EXPECT_EQ(e.edx, call.in.edx) << at;
    EXPECT_EQ(e.esi, call.in.esi) << at;
    EXPECT_EQ(e.edi, call.in.edi) << at;
    EXPECT_EQ(e.ebp, call.in.ebp) << at;
  }
}

// Checks carry their case in the message instead of a SCOPED_TRACE, which would start a thread on
// Windows: see backdoor-trap-test.cc.
class RpcTrapTest : public testing::Test {
 protected:
  void SetUp() override {
    SimTrapInstall();
    SimHostReset();
    g_verbosity = 1;
    g_backdoorTrace = 0;
  }
  void TearDown() override {
    SimHostReset();
    g_verbosity = 1;
    g_backdoorTrace = 0;
  }
};

TEST_F(RpcTrapTest, ConventionalSessionMovesFourBytesPerCall) {
  ASSERT_TRUE(SimHostConfigure("first-channel 7; first-reply-id 0x3C3C; reply disk.shrink=1 ok"));
  testing::internal::CaptureStderr();
  RpcChannel channel;
  ASSERT_EQ(STATUS_OK, RpcOpen(channel, 0));
  ASSERT_EQ(STATUS_OK, RpcSend(channel, "disk.shrink", 11));
  uint32_t length = 0;
  uint16_t replyId = 0;
  ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
  char area[12];
  memset(area, 0xEE, sizeof area);
  ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, area, length, replyId));
  ASSERT_EQ(STATUS_OK, RpcClose(channel));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());

  EXPECT_EQ(0x70000u, channel.idWord);
  EXPECT_EQ(4u, length);
  EXPECT_EQ(0x3C3C, replyId);
  EXPECT_EQ("1 ok", std::string(area, 4));
  EXPECT_EQ(std::string(8, '\xEE'), std::string(area + 4, 8));
  const uint32_t edx = 0x70000 | LB;
  ExpectTranscript({
      {SIM_IN, 0x49435052, 0x1E, LB, 0, 0, 0},
      {SIM_IN, 11, 0x1001E, edx, 0, 0, 0},
      {SIM_IN, 0x6B736964, 0x2001E, edx, 0, 0, 0},
      {SIM_IN, 0x7268732E, 0x2001E, edx, 0, 0, 0},
      {SIM_IN, 0x006B6E69, 0x2001E, edx, 0, 0, 0},
      {SIM_IN, 0, 0x3001E, edx, 0, 0, 0},
      {SIM_IN, 0x3C3C, 0x4001E, edx, 0, 0, 0},
      {SIM_IN, 0x3C3C, 0x5001E, edx, 0, 0, 0},
      {SIM_IN, 0, 0x6001E, edx, 0, 0, 0},
  });
  EXPECT_EQ(std::vector<std::string>{"disk.shrink"}, g_simHost.commands);
  EXPECT_EQ(std::vector<uint32_t>{7}, g_simHost.opened);
  EXPECT_EQ(std::vector<uint32_t>{7}, g_simHost.closed);
}

TEST_F(RpcTrapTest, HighBandwidthSessionMovesPayloadsThroughTheStringInstructions) {
  ASSERT_TRUE(SimHostConfigure("cookies 0xC00C1E01 0xC00C1E02; reply disk.wiper.enable=1 1 and "
                               "a reply longer than one word"));
  const uint32_t c1 = 0xC00C1E01, c2 = 0xC00C1E02;
  RpcChannel channel;
  ASSERT_EQ(STATUS_OK, RpcOpen(channel, RPC_FLAG_COOKIES));
  EXPECT_EQ(c1, channel.cookie1);
  EXPECT_EQ(c2, channel.cookie2);
  const char command[] = "disk.wiper.enable";
  ASSERT_EQ(STATUS_OK, RpcSend(channel, command, RPC_LENGTH_OF_TEXT));
  uint32_t length = 0;
  uint16_t replyId = 0;
  ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
  const std::string reply = "1 1 and a reply longer than one word";
  ASSERT_EQ(reply.size(), length);
  char area[64];
  memset(area, 0xEE, sizeof area);
  ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, area, length, replyId));
  ASSERT_EQ(STATUS_OK, RpcClose(channel));

  EXPECT_EQ(reply, std::string(area, length));
  EXPECT_EQ(std::string(sizeof area - length, '\xEE'),
            std::string(area + length, sizeof area - length));
  const uint32_t lb = 0x10000 | LB, hb = 0x10000 | HB;
  ExpectTranscript({
      {SIM_IN, 0xC9435052, 0x1E, LB, 0, 0, 0},
      {SIM_IN, 17, 0x1001E, lb, c1, c2, 0},
      {SIM_REP_OUTSB, 0x10000, 17, hb, Low32(command), c2, c1},
      {SIM_IN, 0, 0x3001E, lb, c1, c2, 0},
      {SIM_REP_INSB, 0x10000, length, hb, c1, Low32(area), c2},
      {SIM_IN, 0x0101, 0x5001E, lb, c1, c2, 0},
      {SIM_IN, 0, 0x6001E, lb, c1, c2, 0},
  });
  // The string instructions consumed their counts and moved their pointers.
  EXPECT_EQ(0u, g_simHost.transcript[2].out.ecx);
  EXPECT_EQ(Low32(command + 17), g_simHost.transcript[2].out.esi);
  EXPECT_EQ(0u, g_simHost.transcript[4].out.ecx);
  EXPECT_EQ(Low32(area + length), g_simHost.transcript[4].out.edi);
  EXPECT_EQ(std::vector<std::string>{"disk.wiper.enable"}, g_simHost.commands);
}

TEST_F(RpcTrapTest, RefusedStepsReportTheirCommandWord) {
  struct Case {
    const char* script;
    uint32_t flags;
    ToolStatus status;
    const char* message;
  };
  const Case cases[] = {
      {"fail-step 0x1E 0 open-edx", 0, STATUS_RPC_FAILED,
       "Backdoor RPC command call 001Eh failed.\n"},
      {"fail-step 0x2001E 2 eax 0x80000000", 0, STATUS_BACKDOOR_FAILED,
       "Backdoor command call 2001Eh failed.\n"},
      {"fail-step 0x4001E 0 refuse", 0, STATUS_RPC_FAILED,
       "Backdoor RPC command call 4001Eh failed.\n"},
      {"fail-step 0x2001E 0 bulk", RPC_FLAG_COOKIES, STATUS_RPC_FAILED,
       "Backdoor RPC command call 2001Eh failed.\n"},
      {"fail-step 0x4001E 0 bulk", RPC_FLAG_COOKIES, STATUS_RPC_FAILED,
       "Backdoor RPC command call 4001Eh failed.\n"},
  };
  for (const Case& c : cases) {
    SimHostReset();
    ASSERT_TRUE(SimHostConfigure(c.script)) << c.script;
    testing::internal::CaptureStderr();
    RpcChannel channel;
    ToolStatus status = RpcOpen(channel, c.flags);
    uint32_t length = 0;
    uint16_t replyId = 0;
    char buffer[8];
    if (status == STATUS_OK)
      status = RpcSend(channel, "disk.shrink", 11);
    if (status == STATUS_OK)
      status = RpcReceiveLength(channel, length, replyId);
    if (status == STATUS_OK)
      status = RpcReceiveData(channel, buffer, length, replyId);
    EXPECT_EQ(c.status, status) << c.script;
    EXPECT_EQ(c.message, testing::internal::GetCapturedStderr()) << c.script;
  }
}

TEST_F(RpcTrapTest, TraceShowsTheBlockAroundTheRealInstruction) {
  RpcChannel channel;
  ASSERT_EQ(STATUS_OK, RpcOpen(channel, 0));
  g_backdoorTrace = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(STATUS_OK, RpcClose(channel));
  EXPECT_EQ("     EAX      EBX      ECX      EDX      ESI      EDI      EBP\n"
            "> 4b4f5251 00000000 0006001e 00014c5a 00000000 00000000 00000000\n"
            "< 00000000 00000000 00010000 00014c5a 00000000 00000000 00000000\n",
            testing::internal::GetCapturedStdout());
}

}  // namespace
