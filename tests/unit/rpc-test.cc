// The guest RPC channel against the scripted transport: every register of every call, the result
// tests with their messages, the bytes stored, and the register trace.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "backdoor/backdoor.h"
#include "backdoor/rpc.h"
#include "base/status.h"
#include "fakes/fake-backdoor.h"
#include "sim/host.h"

namespace {

const uint32_t LB = BACKDOOR_LB_PORT;
const uint32_t HB = BACKDOOR_HB_PORT;
const uint32_t COOKIE1 = 0x11112222;
const uint32_t COOKIE2 = 0x33334444;

uint32_t Low32(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

struct Expected {
  SimInstruction instruction;
  BackdoorRegisters in;
};

class RpcTest : public testing::Test {
 protected:
  void SetUp() override {
    FakeBackdoorReset();
    g_verbosity = 1;
    g_backdoorTrace = 0;
    mark_ = 0;
  }
  void TearDown() override {
    g_verbosity = 1;
    g_backdoorTrace = 0;
  }

  void Script(const char* script) { ASSERT_TRUE(SimHostConfigure(script)) << script; }

  // Opens a channel; the calls a test checks with ExpectCallsSinceOpen come after it.
  RpcChannel Open(uint32_t flags) {
    RpcChannel channel = {};
    EXPECT_EQ(STATUS_OK, RpcOpen(channel, flags));
    mark_ = g_simHost.transcript.size();
    return channel;
  }

  void ExpectCallsSinceOpen(const std::vector<Expected>& expected) {
    ASSERT_EQ(expected.size(), g_simHost.transcript.size() - mark_);
    for (size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i));
      const SimCall& call = g_simHost.transcript[mark_ + i];
      EXPECT_EQ(expected[i].instruction, call.instruction);
      EXPECT_EQ(expected[i].in, call.in);
    }
  }

  size_t mark_;
};

TEST_F(RpcTest, FirstExchangeOnAConventionalChannelTakesNineCalls) {
  Script("first-channel 3; first-reply-id 0x2A5C");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  RpcChannel channel = Open(0);
  EXPECT_EQ(0x30000u, channel.idWord);
  uint32_t length = 0;
  uint16_t replyId = 0;
  char area[16];
  memset(area, 0xEE, sizeof area);
  ASSERT_EQ(STATUS_OK, RpcSend(channel, "disk.wiper.enable", 17));
  ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
  ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, area, length, replyId));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  const uint32_t edx = 0x30000 | LB;
  ExpectCallsSinceOpen({
      {SIM_IN, FakeIn(17, 0x1001E, edx)},
      {SIM_IN, FakeIn(0x6B736964, 0x2001E, edx)},  // "disk"
      {SIM_IN, FakeIn(0x7069772E, 0x2001E, edx)},  // ".wip"
      {SIM_IN, FakeIn(0x652E7265, 0x2001E, edx)},  // "er.e"
      {SIM_IN, FakeIn(0x6C62616E, 0x2001E, edx)},  // "nabl"
      {SIM_IN, FakeIn(0x00000065, 0x2001E, edx)},  // "e" alone in the low 8 bits
      {SIM_IN, FakeIn(0, 0x3001E, edx)},
      {SIM_IN, FakeIn(0x2A5C, 0x4001E, edx)},
      {SIM_IN, FakeIn(0x2A5C, 0x5001E, edx)},
  });
  EXPECT_EQ(3u, length);
  EXPECT_EQ(0x2A5C, replyId);
  EXPECT_EQ(0, memcmp("1 1\0", area, 4));
  for (size_t i = 4; i < sizeof area; ++i)
    EXPECT_EQ(static_cast<char>(0xEE), area[i]) << "byte " << i;
  EXPECT_EQ(std::vector<std::string>{"disk.wiper.enable"}, g_simHost.commands);
}

TEST_F(RpcTest, OpenLoadsTheProtocolAndFillsTheRecord) {
  struct Case {
    const char* name;
    const char* script;
    uint32_t flags;
    uint32_t ebx;
    RpcChannel channel;
  };
  const Case cases[] = {
      {"conventional", "", 0, 0x49435052, {0x10000, 0, 0}},
      {"cookies asked for", "cookies 0x11112222 0x33334444", RPC_FLAG_COOKIES, 0xC9435052,
       {0x10000, COOKIE1, COOKIE2}},
      {"only the cookie bit of the flags counts", "cookies 0x11112222 0x33334444", 0x7FFFFFFF,
       0x49435052, {0x10000, 0, 0}},
      {"all flags", "cookies 0x11112222 0x33334444", 0xFFFFFFFF, 0xC9435052,
       {0x10000, COOKIE1, COOKIE2}},
      {"esi and edi answered without cookies asked",
       "fail-step 0x1E 0 set esi 0x1234; fail-step 0x1E 0 set edi 0x5678", 0, 0x49435052,
       {0x10000, 0, 0}},
      {"channel number in the upper half", "first-channel 0xFEDC", 0, 0x49435052,
       {0xFEDC0000, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBackdoorReset();
    Script(c.script);
    RpcChannel channel;
    memset(&channel, 0xA5, sizeof channel);
    ASSERT_EQ(STATUS_OK, RpcOpen(channel, c.flags));
    ExpectCallsSinceOpen({{SIM_IN, FakeIn(c.ebx, 0x1E, LB)}});
    EXPECT_EQ(c.channel.idWord, channel.idWord);
    EXPECT_EQ(c.channel.cookie1, channel.cookie1);
    EXPECT_EQ(c.channel.cookie2, channel.cookie2);
  }
}

TEST_F(RpcTest, SendPacksPiecesLowByteFirst) {
  struct Case {
    const char* name;
    const char* data;
    uint32_t length;
    std::vector<uint32_t> pieces;
    std::string command;
  };
  const Case cases[] = {
      {"length 0: only the send-length call", "abc", 0, {}, ""},
      {"length of the text: three letters", "abc", RPC_LENGTH_OF_TEXT, {0x00636261}, "abc"},
      {"five bytes", "abcde", 5, {0x64636261, 0x00000065}, "abcde"},
      {"eight bytes", "abcdefgh", 8, {0x64636261, 0x68676665}, "abcdefgh"},
      {"nothing beyond the length is read", "abcdef", 2, {0x00006261}, "ab"},
      {"bytes above 0x7F", "\xFF\x80\x01", 3, {0x000180FF}, "\xFF\x80\x01"},
      {"disk.shrink", "disk.shrink", 11, {0x6B736964, 0x7268732E, 0x006B6E69}, "disk.shrink"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBackdoorReset();
    RpcChannel channel = Open(0);
    ASSERT_EQ(STATUS_OK, RpcSend(channel, c.data, c.length));
    const uint32_t edx = 0x10000 | LB;
    std::vector<Expected> expected = {
        {SIM_IN, FakeIn(static_cast<uint32_t>(c.command.size()), 0x1001E, edx)}};
    for (uint32_t piece : c.pieces)
      expected.push_back({SIM_IN, FakeIn(piece, 0x2001E, edx)});
    ExpectCallsSinceOpen(expected);
    EXPECT_EQ(std::vector<std::string>{c.command}, g_simHost.commands);
  }
}

TEST_F(RpcTest, ReceiveStoresWholeWordsAndNothingBeyondThem) {
  struct Case {
    const char* name;
    const char* script;
    uint32_t length;
    std::string stored;  // 4 * max(1, ceil(length / 4)) bytes
  };
  const Case cases[] = {
      {"three bytes: one word", "reply disk.shrink=1 1", 3, std::string("1 1\0", 4)},
      {"four bytes: one word", "reply disk.shrink=abcd", 4, "abcd"},
      {"five bytes: two words", "reply disk.shrink=abcde", 5, std::string("abcde\0\0\0", 8)},
      {"empty: one word all the same", "reply disk.shrink=", 0, std::string(4, '\0')},
      {"claimed shorter than the reply", "reply disk.shrink=1 1; claim-length 1", 1,
       std::string("1\0\0\0", 4)},
      {"claimed longer: filler", "reply disk.shrink=1 1; claim-length 9", 9,
       std::string("1 1######\0\0\0", 12)},
  };
  const size_t guard = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBackdoorReset();
    Script(c.script);
    Script("first-reply-id 0x1234");
    RpcChannel channel = {};
    ASSERT_EQ(STATUS_OK, RpcOpen(channel, 0));
    ASSERT_EQ(STATUS_OK, RpcSend(channel, "disk.shrink", 11));
    mark_ = g_simHost.transcript.size();
    uint32_t length = 0;
    uint16_t replyId = 0;
    ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
    EXPECT_EQ(c.length, length);
    EXPECT_EQ(0x1234, replyId);
    char area[guard + 16 + guard];
    memset(area, 0xEE, sizeof area);
    ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, area + guard, length, replyId));
    EXPECT_EQ(c.stored, std::string(area + guard, c.stored.size()));
    for (size_t i = 0; i < sizeof area; ++i) {
      if (i < guard || i >= guard + c.stored.size()) {
        EXPECT_EQ(static_cast<char>(0xEE), area[i]) << "byte " << i;
      }
    }
    const uint32_t edx = 0x10000 | LB;
    std::vector<Expected> expected = {{SIM_IN, FakeIn(0, 0x3001E, edx)}};
    for (size_t i = 0; i < c.stored.size() / 4; ++i)
      expected.push_back({SIM_IN, FakeIn(0x1234, 0x4001E, edx)});
    expected.push_back({SIM_IN, FakeIn(0x1234, 0x5001E, edx)});
    ExpectCallsSinceOpen(expected);
  }
}

TEST_F(RpcTest, ReceiveLengthTakesEbxAndTheUpperHalfOfEdx) {
  struct Case {
    const char* script;
    uint32_t length;
    uint16_t replyId;
  };
  const Case cases[] = {
      {"reply x=1 1", 3, 0x0101},
      {"claim-length 0xFFFFFFFF; first-reply-id 0xFFFF", 0xFFFFFFFF, 0xFFFF},
      {"claim-length 65537; fail-step 0x3001E 0 set edx 0xABCD0000", 65537, 0xABCD},
      {"reply x=; fail-step 0x3001E 0 set edx 0x0000FFFF", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    FakeBackdoorReset();
    Script(c.script);
    RpcChannel channel = Open(0);
    ASSERT_EQ(STATUS_OK, RpcSend(channel, "x", 1));
    uint32_t length = 0x5A5A5A5A;
    uint16_t replyId = 0x5A5A;
    ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
    EXPECT_EQ(c.length, length);
    EXPECT_EQ(c.replyId, replyId);
  }
}

// The steps of one session: open, an exchange of a five-byte command and reply, close.
enum Step { STEP_OPEN, STEP_SEND, STEP_RECEIVE_LENGTH, STEP_RECEIVE_DATA, STEP_CLOSE, STEP_NONE };

struct Session {
  RpcChannel channel;
  uint32_t length;
  uint16_t replyId;
  char buffer[16];
  Step failed;
};

// Runs the session until a step fails; returns that step's status (STATUS_OK when none failed).
ToolStatus RunSession(uint32_t flags, Session& s) {
  memset(&s.channel, 0xA5, sizeof s.channel);
  s.length = 0xDEADBEEF;
  s.replyId = 0xBEEF;
  memset(s.buffer, 0xEE, sizeof s.buffer);
  s.failed = STEP_OPEN;
  ToolStatus status = RpcOpen(s.channel, flags);
  if (status != STATUS_OK)
    return status;
  s.failed = STEP_SEND;
  status = RpcSend(s.channel, "hello", 5);
  if (status != STATUS_OK)
    return status;
  s.failed = STEP_RECEIVE_LENGTH;
  status = RpcReceiveLength(s.channel, s.length, s.replyId);
  if (status != STATUS_OK)
    return status;
  s.failed = STEP_RECEIVE_DATA;
  status = RpcReceiveData(s.channel, s.buffer, s.length, s.replyId);
  if (status != STATUS_OK)
    return status;
  s.failed = STEP_CLOSE;
  status = RpcClose(s.channel);
  if (status != STATUS_OK)
    return status;
  s.failed = STEP_NONE;
  return STATUS_OK;
}

TEST_F(RpcTest, EveryResultTestWithItsMessage) {
  struct Case {
    const char* name;
    uint32_t flags;
    const char* script;
    ToolStatus status;
    Step failed;
    SimInstruction lastInstruction;
    uint32_t lastEcx;  // of the failing call, which is the last one made (bulk: the byte count)
    const char* message;
  };
  const uint32_t C = RPC_FLAG_COOKIES;
  const Case cases[] = {
      {"open: eax", 0, "fail-step 0x1E 0 eax 5", 2, STEP_OPEN, SIM_IN, 0x1E,
       "Backdoor command call 1Eh failed.\n"},
      {"open: eax with the success word", 0, "fail-step 0x1E 0 set eax 1", 2, STEP_OPEN, SIM_IN,
       0x1E, "Backdoor command call 1Eh failed.\n"},
      {"open: refused", 0, "fail-step 0x1E 0 refuse", 3, STEP_OPEN, SIM_IN, 0x1E,
       "Backdoor RPC command call 001Eh failed.\n"},
      {"open: ecx with bit 16 and another", 0, "fail-step 0x1E 0 open-ecx", 3, STEP_OPEN, SIM_IN,
       0x1E, "Backdoor RPC command call 001Eh failed.\n"},
      {"open: ecx without bit 16", 0, "fail-step 0x1E 0 set ecx 0x20000", 3, STEP_OPEN, SIM_IN,
       0x1E, "Backdoor RPC command call 001Eh failed.\n"},
      {"open: low half of edx", 0, "fail-step 0x1E 0 open-edx", 3, STEP_OPEN, SIM_IN, 0x1E,
       "Backdoor RPC command call 001Eh failed.\n"},
      {"send-length: eax", 0, "fail-step 0x1001E 0 eax", 2, STEP_SEND, SIM_IN, 0x1001E,
       "Backdoor command call 1001Eh failed.\n"},
      {"send-length: eax whatever ecx holds", 0, "fail-step 0x1001E 0 set eax 0xFFFFFFFF", 2,
       STEP_SEND, SIM_IN, 0x1001E, "Backdoor command call 1001Eh failed.\n"},
      {"send-length: refused", 0, "fail-step 0x1001E 0 refuse", 3, STEP_SEND, SIM_IN, 0x1001E,
       "Backdoor RPC command call 1001Eh failed.\n"},
      {"second send-data: eax", 0, "fail-step 0x2001E 1 eax", 2, STEP_SEND, SIM_IN, 0x2001E,
       "Backdoor command call 2001Eh failed.\n"},
      {"first send-data: refused", 0, "fail-step 0x2001E 0 refuse", 3, STEP_SEND, SIM_IN,
       0x2001E, "Backdoor RPC command call 2001Eh failed.\n"},
      {"receive-length: eax", 0, "fail-step 0x3001E 0 eax", 2, STEP_RECEIVE_LENGTH, SIM_IN,
       0x3001E, "Backdoor command call 3001Eh failed.\n"},
      {"receive-length: refused", 0, "fail-step 0x3001E 0 refuse", 3, STEP_RECEIVE_LENGTH,
       SIM_IN, 0x3001E, "Backdoor RPC command call 3001Eh failed.\n"},
      {"second receive-data: eax", 0, "fail-step 0x4001E 1 eax", 2, STEP_RECEIVE_DATA, SIM_IN,
       0x4001E, "Backdoor command call 4001Eh failed.\n"},
      {"first receive-data: refused", 0, "fail-step 0x4001E 0 refuse", 3, STEP_RECEIVE_DATA,
       SIM_IN, 0x4001E, "Backdoor RPC command call 4001Eh failed.\n"},
      {"receive-done: eax", 0, "fail-step 0x5001E 0 eax", 2, STEP_RECEIVE_DATA, SIM_IN, 0x5001E,
       "Backdoor command call 5001Eh failed.\n"},
      {"receive-done: refused", 0, "fail-step 0x5001E 0 refuse", 3, STEP_RECEIVE_DATA, SIM_IN,
       0x5001E, "Backdoor RPC command call 5001Eh failed.\n"},
      {"close: eax", 0, "fail-step 0x6001E 0 eax", 2, STEP_CLOSE, SIM_IN, 0x6001E,
       "Backdoor command call 6001Eh failed.\n"},
      {"close: refused", 0, "fail-step 0x6001E 0 refuse", 3, STEP_CLOSE, SIM_IN, 0x6001E,
       "Backdoor RPC command call 6001Eh failed.\n"},
      {"bulk send: refused", C, "fail-step 0x2001E 0 bulk", 3, STEP_SEND, SIM_REP_OUTSB, 5,
       "Backdoor RPC command call 2001Eh failed.\n"},
      {"bulk receive: refused, no receive-done", C, "fail-step 0x4001E 0 bulk", 3,
       STEP_RECEIVE_DATA, SIM_REP_INSB, 5, "Backdoor RPC command call 4001Eh failed.\n"},
      {"bulk send: ebx other than the success word", C, "fail-step 0x2001E 0 set ebx 0x10001", 3,
       STEP_SEND, SIM_REP_OUTSB, 5, "Backdoor RPC command call 2001Eh failed.\n"},
  };
  const int32_t verbosities[] = {1, 0, -1};
  for (const Case& c : cases) {
    for (int32_t verbosity : verbosities) {
      SCOPED_TRACE(std::string(c.name) + ", verbosity " + std::to_string(verbosity));
      FakeBackdoorReset();
      Script("reply hello=world");
      Script(c.script);
      g_verbosity = verbosity;
      Session s;
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      ToolStatus status = RunSession(c.flags, s);
      std::string err = testing::internal::GetCapturedStderr();
      std::string out = testing::internal::GetCapturedStdout();
      g_verbosity = 1;
      EXPECT_EQ(c.status, status);
      EXPECT_EQ(c.failed, s.failed);
      EXPECT_EQ(verbosity > 0 ? c.message : "", err);
      EXPECT_EQ("", out);
      ASSERT_FALSE(g_simHost.transcript.empty());
      const SimCall& last = g_simHost.transcript.back();
      EXPECT_EQ(c.lastInstruction, last.instruction);
      EXPECT_EQ(c.lastEcx, last.in.ecx);
      if (c.failed == STEP_OPEN) {
        RpcChannel untouched;
        memset(&untouched, 0xA5, sizeof untouched);
        EXPECT_EQ(0, memcmp(&untouched, &s.channel, sizeof untouched));
      }
      if (c.failed <= STEP_RECEIVE_LENGTH) {
        EXPECT_EQ(0xDEADBEEFu, s.length);
        EXPECT_EQ(0xBEEF, s.replyId);
      }
    }
  }
}

TEST_F(RpcTest, AnySetBitInTheUpperHalfOfEcxIsSuccess) {
  const char* scripts[] = {
      "fail-step 0x1001E 0 set ecx 0x20000",    "fail-step 0x2001E 1 set ecx 0x80000000",
      "fail-step 0x3001E 0 set ecx 0xFFFE0000", "fail-step 0x4001E 1 set ecx 0x2001E",
      "fail-step 0x5001E 0 set ecx 0x00020000", "fail-step 0x6001E 0 set ecx 0x10000000",
  };
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    FakeBackdoorReset();
    Script("reply hello=world");
    Script(script);
    Session s;
    testing::internal::CaptureStderr();
    EXPECT_EQ(STATUS_OK, RunSession(0, s));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(std::string("world\0\0\0", 8), std::string(s.buffer, 8));
  }
}

TEST_F(RpcTest, HighBandwidthChannelMovesPayloadsInBulk) {
  Script("cookies 0x11112222 0x33334444; first-channel 2; first-reply-id 0x0777");
  Script("reply disk.shrink=1 done");
  RpcChannel channel = Open(RPC_FLAG_COOKIES);
  const char command[] = "disk.shrink";
  ASSERT_EQ(STATUS_OK, RpcSend(channel, command, 11));
  uint32_t length = 0;
  uint16_t replyId = 0;
  ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
  ASSERT_EQ(6u, length);
  char area[16];
  memset(area, 0xEE, sizeof area);
  ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, area, length, replyId));
  ASSERT_EQ(STATUS_OK, RpcSend(channel, "", 0));
  ASSERT_EQ(STATUS_OK, RpcClose(channel));

  const uint32_t lb = 0x20000 | LB;
  const uint32_t hb = 0x20000 | HB;
  ExpectCallsSinceOpen({
      {SIM_IN, FakeIn(11, 0x1001E, lb, COOKIE1, COOKIE2)},
      {SIM_REP_OUTSB, FakeIn(0x10000, 11, hb, Low32(command), COOKIE2, COOKIE1)},
      {SIM_IN, FakeIn(0, 0x3001E, lb, COOKIE1, COOKIE2)},
      {SIM_REP_INSB, FakeIn(0x10000, 6, hb, COOKIE1, Low32(area), COOKIE2)},
      {SIM_IN, FakeIn(0x0777, 0x5001E, lb, COOKIE1, COOKIE2)},
      {SIM_IN, FakeIn(0, 0x1001E, lb, COOKIE1, COOKIE2)},  // an empty command: one call
      {SIM_IN, FakeIn(0, 0x6001E, lb, COOKIE1, COOKIE2)},
  });
  EXPECT_EQ((std::vector<std::string>{"disk.shrink", ""}), g_simHost.commands);
  // Exactly `length` bytes are stored on a high-bandwidth channel.
  EXPECT_EQ("1 done", std::string(area, 6));
  for (size_t i = 6; i < sizeof area; ++i)
    EXPECT_EQ(static_cast<char>(0xEE), area[i]) << "byte " << i;
  // The bulk moves leave eax as the instruction found it, the magic: they are judged on ebx.
  EXPECT_EQ(BACKDOOR_MAGIC, g_simHost.transcript[mark_ + 1].out.eax);
  EXPECT_EQ(BACKDOOR_MAGIC, g_simHost.transcript[mark_ + 3].out.eax);
}

TEST_F(RpcTest, OneNonZeroCookieMovesPiecesYetCarriesBothWords) {
  struct Case {
    const char* script;
    uint32_t cookie1;
    uint32_t cookie2;
  };
  const Case cases[] = {{"cookies 0 0x55", 0, 0x55}, {"cookies 0x66 0", 0x66, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    FakeBackdoorReset();
    Script(c.script);
    Script("reply abcde=xyz");
    RpcChannel channel = Open(RPC_FLAG_COOKIES);
    EXPECT_EQ(c.cookie1, channel.cookie1);
    EXPECT_EQ(c.cookie2, channel.cookie2);
    uint32_t length = 0;
    uint16_t replyId = 0;
    char buffer[4];
    ASSERT_EQ(STATUS_OK, RpcSend(channel, "abcde", 5));
    ASSERT_EQ(STATUS_OK, RpcReceiveLength(channel, length, replyId));
    ASSERT_EQ(STATUS_OK, RpcReceiveData(channel, buffer, length, replyId));
    ASSERT_EQ(STATUS_OK, RpcClose(channel));
    const uint32_t edx = 0x10000 | LB;
    ExpectCallsSinceOpen({
        {SIM_IN, FakeIn(5, 0x1001E, edx, c.cookie1, c.cookie2)},
        {SIM_IN, FakeIn(0x64636261, 0x2001E, edx)},
        {SIM_IN, FakeIn(0x65, 0x2001E, edx)},
        {SIM_IN, FakeIn(0, 0x3001E, edx, c.cookie1, c.cookie2)},
        {SIM_IN, FakeIn(0x0101, 0x4001E, edx)},
        {SIM_IN, FakeIn(0x0101, 0x5001E, edx, c.cookie1, c.cookie2)},
        {SIM_IN, FakeIn(0, 0x6001E, edx, c.cookie1, c.cookie2)},
    });
    EXPECT_EQ(std::string("xyz\0", 4), std::string(buffer, 4));
  }
}

TEST_F(RpcTest, TraceOffPrintsNothingWhateverTheVerbosity) {
  const int32_t verbosities[] = {-1, 0, 1, 2};
  for (int32_t verbosity : verbosities) {
    SCOPED_TRACE(verbosity);
    FakeBackdoorReset();
    g_verbosity = verbosity;
    Session s;
    testing::internal::CaptureStdout();
    ToolStatus status = RunSession(RPC_FLAG_COOKIES, s);
    std::string out = testing::internal::GetCapturedStdout();
    g_verbosity = 1;
    EXPECT_EQ(STATUS_OK, status);
    EXPECT_EQ("", out);
  }
}

std::string TraceLine(const char* mark, const BackdoorRegisters& r) {
  char line[80];
  snprintf(line, sizeof line, "%s %08x %08x %08x %08x %08x %08x %08x\n", mark, r.eax, r.ebx, r.ecx,
           r.edx, r.esi, r.edi, r.ebp);
  return line;
}

TEST_F(RpcTest, TraceOnShowsEveryCallOfEveryOperation) {
  const uint32_t flags[] = {0, RPC_FLAG_COOKIES};
  for (uint32_t f : flags) {
    SCOPED_TRACE(f);
    FakeBackdoorReset();
    g_backdoorTrace = 1;
    Session s;
    testing::internal::CaptureStdout();
    ToolStatus status = RunSession(f, s);
    std::string out = testing::internal::GetCapturedStdout();
    g_backdoorTrace = 0;
    EXPECT_EQ(STATUS_OK, status);
    std::string expected;
    for (const SimCall& call : g_simHost.transcript)
      expected += "     EAX      EBX      ECX      EDX      ESI      EDI      EBP\n" +
                  TraceLine(">", call.in) + TraceLine("<", call.out);
    EXPECT_EQ(expected, out);
  }
}

TEST_F(RpcTest, TraceOnPrintsThreeLinesPerCall) {
  Script("cookies 0x11112222 0x33334444");
  const char* const header = "     EAX      EBX      ECX      EDX      ESI      EDI      EBP\n";
  RpcChannel conventional = Open(0);
  RpcChannel bulk = Open(RPC_FLAG_COOKIES);
  char command[] = "abc";
  // The hooks do not look at the verbosity.
  g_verbosity = 0;
  g_backdoorTrace = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(STATUS_OK, RpcSend(conventional, command, RPC_LENGTH_OF_TEXT));
  EXPECT_EQ(STATUS_OK, RpcSend(bulk, command, 3));
  std::string out = testing::internal::GetCapturedStdout();
  char address[9];
  snprintf(address, sizeof address, "%08x", Low32(command));
  char advanced[9];
  snprintf(advanced, sizeof advanced, "%08x", Low32(command + 3));
  EXPECT_EQ(std::string(header) +
                "> 4b4f5251 00000003 0001001e 00014c5a 00000000 00000000 00000000\n"
                "< 00000000 00000003 00010000 00014c5a 00000000 00000000 00000000\n" +
                header +
                "> 4b4f5251 00636261 0002001e 00014c5a 00000000 00000000 00000000\n"
                "< 00000000 00636261 00010000 00014c5a 00000000 00000000 00000000\n" +
                header +
                "> 4b4f5251 00000003 0001001e 00024c5a 11112222 33334444 00000000\n"
                "< 00000000 00000003 00010000 00024c5a 11112222 33334444 00000000\n" +
                header + "> 4b4f5251 00010000 00000003 00024c5b " + address +
                " 33334444 11112222\n"
                "< 4b4f5251 00010000 00000000 00024c5b " + advanced + " 33334444 11112222\n",
            out);
}

}  // namespace
