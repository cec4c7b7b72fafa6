// The simulated host on its own: its answers register by register, the refusals of a careful host,
// the chosen misbehaviour, its script and its transcript file.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "backdoor/backdoor.h"
#include "fakes/fake-backdoor.h"
#include "sim/host.h"

namespace {

const uint32_t LB = BACKDOOR_LB_PORT;
const uint32_t HB = BACKDOOR_HB_PORT;
const uint32_t RPCI = 0x49435052;
const uint32_t COOKIES = 0x80000000;

// A block in the block's own field order.
BackdoorRegisters Block(uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx, uint32_t ebp,
                        uint32_t edi, uint32_t esi) {
  BackdoorRegisters regs = FakeIn(ebx, ecx, edx, esi, edi, ebp);
  regs.eax = eax;
  return regs;
}

// One raw call to the host, and whether the host claimed it.
struct Raw {
  SimInstruction instruction;
  BackdoorRegisters regs;
  bool claimed;
};

Raw Ask(SimInstruction instruction, BackdoorRegisters regs, unsigned char* memory = nullptr) {
  Raw raw;
  raw.instruction = instruction;
  raw.claimed = SimHostAnswer(instruction, regs, memory);
  raw.regs = regs;
  return raw;
}

bool Refused(const BackdoorRegisters& in, const BackdoorRegisters& out,
             SimInstruction instruction) {
  BackdoorRegisters expected = in;
  if (instruction == SIM_IN) {
    expected.eax = 0;
    expected.ecx = 0;
  } else {
    expected.ebx = 0;
  }
  return out == expected;
}

class HostTest : public testing::Test {
 protected:
  void SetUp() override { SimHostReset(); }
  void TearDown() override { SimHostReset(); }
  void Script(const char* script) { ASSERT_TRUE(SimHostConfigure(script)) << script; }
};

TEST_F(HostTest, GetVersionAndWhatTheHostDoesNotClaim) {
  struct Case {
    const char* name;
    const char* script;
    SimInstruction instruction;
    BackdoorRegisters in;
    bool claimed;
    BackdoorRegisters out;
  };
  const BackdoorRegisters version = FakeIn(~BACKDOOR_MAGIC, 10, LB, 3, 4, 5);
  const Case cases[] = {
      {"get-version", "", SIM_IN, version, true,
       Block(6, BACKDOOR_MAGIC, 10, LB, 5, 4, 3)},
      {"wrong version", "wrong-version", SIM_IN, version, true,
       Block(6, 0x12345678, 10, LB, 5, 4, 3)},
      {"an unknown command changes nothing", "", SIM_IN, FakeIn(7, 0x77, LB, 1, 2, 3), true,
       FakeIn(7, 0x77, LB, 1, 2, 3)},
      {"absent", "absent", SIM_IN, version, false, version},
      {"eax not the magic", "", SIM_IN, Block(0, ~BACKDOOR_MAGIC, 10, LB, 0, 0, 0), false,
       Block(0, ~BACKDOOR_MAGIC, 10, LB, 0, 0, 0)},
      {"in on the high-bandwidth port", "", SIM_IN, FakeIn(~BACKDOOR_MAGIC, 10, HB), false,
       FakeIn(~BACKDOOR_MAGIC, 10, HB)},
      {"a bulk move on the low-bandwidth port", "", SIM_REP_INSB, FakeIn(0x10000, 0, LB), false,
       FakeIn(0x10000, 0, LB)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimHostReset();
    Script(c.script);
    Raw raw = Ask(c.instruction, c.in);
    EXPECT_EQ(c.claimed, raw.claimed);
    EXPECT_EQ(c.out, raw.regs);
    ASSERT_EQ(c.claimed ? 1u : 0u, g_simHost.transcript.size());
    if (c.claimed) {
      EXPECT_EQ(c.in, g_simHost.transcript[0].in);
      EXPECT_EQ(c.out, g_simHost.transcript[0].out);
    }
  }
}

TEST_F(HostTest, AnswersAConventionalExchangeRegisterByRegister) {
  Script("reply abcde=1 1; first-channel 4; first-reply-id 0x0A0B");
  const uint32_t edx = 0x40000 | LB;
  struct Step {
    BackdoorRegisters in;
    BackdoorRegisters out;
  };
  const Step steps[] = {
      {FakeIn(RPCI, 0x1E, LB), Block(0, RPCI, 0x10000, 0x40000, 0, 0, 0)},
      {FakeIn(5, 0x1001E, edx), Block(0, 5, 0x10000, edx, 0, 0, 0)},
      {FakeIn(0x64636261, 0x2001E, edx), Block(0, 0x64636261, 0x10000, edx, 0, 0, 0)},
      {FakeIn(0x65, 0x2001E, edx), Block(0, 0x65, 0x10000, edx, 0, 0, 0)},
      {FakeIn(0, 0x3001E, edx), Block(0, 3, 0x10000, 0x0A0B0000 | LB, 0, 0, 0)},
      {FakeIn(0x0A0B, 0x4001E, edx), Block(0, 0x00312031, 0x10000, edx, 0, 0, 0)},
      {FakeIn(0x0A0B, 0x5001E, edx), Block(0, 0x0A0B, 0x10000, edx, 0, 0, 0)},
      {FakeIn(0, 0x6001E, edx), Block(0, 0, 0x10000, edx, 0, 0, 0)},
  };
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    Raw raw = Ask(SIM_IN, steps[i].in);
    EXPECT_TRUE(raw.claimed);
    EXPECT_EQ(steps[i].out, raw.regs);
  }
  EXPECT_EQ(std::vector<std::string>{"abcde"}, g_simHost.commands);
  EXPECT_EQ(std::vector<uint32_t>{4}, g_simHost.opened);
  EXPECT_EQ(std::vector<uint32_t>{4}, g_simHost.closed);
  EXPECT_TRUE(g_simHost.channels.empty());
  EXPECT_EQ("open 4", g_simHost.transcript[0].event);
  EXPECT_EQ("command abcde", g_simHost.transcript[3].event);
  EXPECT_EQ("close 4", g_simHost.transcript[7].event);
}

TEST_F(HostTest, BulkMovesReadAndWriteGuestMemoryAndAdvanceAsTheInstructionDoes) {
  Script("cookies 0x0C1 0x0C2; reply hello=bulk reply");
  const uint32_t lb = 0x10000 | LB;
  const uint32_t hb = 0x10000 | HB;
  ASSERT_EQ(0x10000u, Ask(SIM_IN, FakeIn(RPCI | COOKIES, 0x1E, LB)).regs.ecx);
  ASSERT_EQ(0x10000u, Ask(SIM_IN, FakeIn(5, 0x1001E, lb, 0x0C1, 0x0C2)).regs.ecx);
  unsigned char command[] = "hello";
  Raw sent = Ask(SIM_REP_OUTSB, FakeIn(0x10000, 5, hb, 0x1000, 0x0C2, 0x0C1), command);
  EXPECT_TRUE(sent.claimed);
  EXPECT_EQ(FakeIn(0x10000, 0, hb, 0x1005, 0x0C2, 0x0C1), sent.regs);
  EXPECT_EQ(std::vector<std::string>{"hello"}, g_simHost.commands);
  EXPECT_EQ(10u, Ask(SIM_IN, FakeIn(0, 0x3001E, lb, 0x0C1, 0x0C2)).regs.ebx);
  unsigned char reply[12];
  memset(reply, 0xEE, sizeof reply);
  Raw received = Ask(SIM_REP_INSB, FakeIn(0x10000, 10, hb, 0x0C1, 0x2000, 0x0C2), reply);
  EXPECT_TRUE(received.claimed);
  EXPECT_EQ(FakeIn(0x10000, 0, hb, 0x0C1, 0x200A, 0x0C2), received.regs);
  EXPECT_EQ(std::string("bulk reply\xEE\xEE"), std::string(reinterpret_cast<char*>(reply), 12));
}

// A sequence of raw steps: all but the last must succeed, the last must be refused.
struct RawStep {
  SimInstruction instruction;
  BackdoorRegisters in;
};

TEST_F(HostTest, StepsACarefulHostDoesNotExpectAreRefused) {
  const uint32_t c1 = 0x0C1, c2 = 0x0C2;
  const uint32_t lb = 0x10000 | LB, hb = 0x10000 | HB;
  const RawStep open = {SIM_IN, FakeIn(RPCI, 0x1E, LB)};
  const RawStep openCookies = {SIM_IN, FakeIn(RPCI | COOKIES, 0x1E, LB)};
  const RawStep length2 = {SIM_IN, FakeIn(2, 0x1001E, lb)};
  const RawStep length2Cookies = {SIM_IN, FakeIn(2, 0x1001E, lb, c1, c2)};
  const RawStep data2 = {SIM_IN, FakeIn(0x6968, 0x2001E, lb)};  // "hi"
  const RawStep receiveLength = {SIM_IN, FakeIn(0, 0x3001E, lb)};
  const RawStep receiveLengthCookies = {SIM_IN, FakeIn(0, 0x3001E, lb, c1, c2)};
  const RawStep receiveData = {SIM_IN, FakeIn(0x0101, 0x4001E, lb)};
  struct Case {
    const char* name;
    std::vector<RawStep> steps;
  };
  const Case cases[] = {
      {"open with another protocol", {{SIM_IN, FakeIn(0x43505249, 0x1E, LB)}}},
      {"unknown message type", {open, {SIM_IN, FakeIn(0, 0x7001E, lb)}}},
      {"unknown channel", {open, {SIM_IN, FakeIn(2, 0x1001E, 0x90000 | LB)}}},
      {"closed channel", {open, {SIM_IN, FakeIn(0, 0x6001E, lb)}, length2}},
      {"receive-length before any command", {open, receiveLength}},
      {"send-data before send-length", {open, data2}},
      {"send-data beyond the announced length",
       {open, length2, {SIM_IN, FakeIn(0x00636968, 0x2001E, lb)}}},
      {"send-data after the command is complete", {open, length2, data2, data2}},
      {"send-length while a reply waits", {open, length2, data2, length2}},
      {"receive-data before receive-length", {open, length2, data2, receiveData}},
      {"receive-data with another reply id",
       {open, length2, data2, receiveLength, {SIM_IN, FakeIn(0x0102, 0x4001E, lb)}}},
      {"receive-data beyond the reply",
       {open, length2, data2, receiveLength, receiveData, receiveData}},
      {"receive-done before receive-length",
       {open, length2, data2, {SIM_IN, FakeIn(0x0101, 0x5001E, lb)}}},
      {"receive-done with another reply id",
       {open, length2, data2, receiveLength, {SIM_IN, FakeIn(0x0100, 0x5001E, lb)}}},
      {"send-length with wrong cookies", {openCookies, {SIM_IN, FakeIn(2, 0x1001E, lb, c1, c1)}}},
      {"receive-length with wrong cookies",
       {openCookies, length2Cookies, data2, {SIM_IN, FakeIn(0, 0x3001E, lb, c2, c1)}}},
      {"receive-done with wrong cookies",
       {openCookies, length2Cookies, data2, receiveLengthCookies,
        {SIM_IN, FakeIn(0x0101, 0x5001E, lb, c1, 0)}}},
      {"close with wrong cookies", {openCookies, {SIM_IN, FakeIn(0, 0x6001E, lb, 0, c2)}}},
      {"cookies on a channel that has none", {open, {SIM_IN, FakeIn(2, 0x1001E, lb, c1, c2)}}},
      {"bulk send on a channel without cookies",
       {open, length2, {SIM_REP_OUTSB, FakeIn(0x10000, 2, hb)}}},
      {"bulk send with wrong cookies",
       {openCookies, length2Cookies, {SIM_REP_OUTSB, FakeIn(0x10000, 2, hb, 0, c1, c2)}}},
      {"bulk send beyond the announced length",
       {openCookies, length2Cookies, {SIM_REP_OUTSB, FakeIn(0x10000, 3, hb, 0, c2, c1)}}},
      {"bulk send without the success word",
       {openCookies, length2Cookies, {SIM_REP_OUTSB, FakeIn(0, 2, hb, 0, c2, c1)}}},
      {"bulk receive beyond the reply",
       {openCookies, length2Cookies, {SIM_REP_OUTSB, FakeIn(0x10000, 2, hb, 0, c2, c1)},
        receiveLengthCookies, {SIM_REP_INSB, FakeIn(0x10000, 18, hb, c1, 0, c2)}}},
      {"a ninth channel", {open, open, open, open, open, open, open, open, open}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimHostReset();
    Script("cookies 0x0C1 0x0C2; reply hi=ok");
    unsigned char memory[32];
    memcpy(memory, "hi", 2);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const RawStep& step = c.steps[i];
      memset(memory + 2, 0xEE, sizeof memory - 2);
      Raw raw = Ask(step.instruction, step.in, memory);
      EXPECT_TRUE(raw.claimed);
      bool refused = Refused(step.in, raw.regs, step.instruction);
      EXPECT_EQ(i + 1 == c.steps.size(), refused);
      if (refused) {
        EXPECT_EQ(std::string(30, '\xEE'), std::string(reinterpret_cast<char*>(memory + 2), 30));
      }
    }
  }
}

TEST_F(HostTest, ClaimedLengthsServeFillerCheaply) {
  struct Case {
    const char* script;
    uint32_t claimed;
    std::vector<uint32_t> words;  // the first words served
    uint64_t lastWord;            // index of the last word that may be fetched
  };
  const Case cases[] = {
      {"claim-length 200", 200, {0x23312031, 0x23232323}, 49},
      {"claim-length hello=65537", 65537, {0x23312031, 0x23232323}, 16384},
      {"claim-length 0xFFFFFFFF", 0xFFFFFFFF, {0x23312031, 0x23232323}, 0x3FFFFFFF},
      {"claim-length hello=2", 2, {0x00002031}, 0},
      {"reply hello=", 0, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    SimHostReset();
    Script("reply hello=1 1");
    Script(c.script);
    const uint32_t lb = 0x10000 | LB;
    Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB));
    Ask(SIM_IN, FakeIn(5, 0x1001E, lb));
    Ask(SIM_IN, FakeIn(0x6C6C6568, 0x2001E, lb));
    Ask(SIM_IN, FakeIn(0x6F, 0x2001E, lb));
    Raw length = Ask(SIM_IN, FakeIn(0, 0x3001E, lb));
    EXPECT_EQ(c.claimed, length.regs.ebx);
    for (size_t i = 0; i < c.words.size(); ++i)
      EXPECT_EQ(c.words[i], Ask(SIM_IN, FakeIn(0x0101, 0x4001E, lb)).regs.ebx) << "word " << i;
    // Skip ahead to the last word without asking for the ones between.
    g_simHost.channels[0].served = 4 * c.lastWord;
    EXPECT_EQ(0x10000u, Ask(SIM_IN, FakeIn(0x0101, 0x4001E, lb)).regs.ecx);
    EXPECT_EQ(0u, Ask(SIM_IN, FakeIn(0x0101, 0x4001E, lb)).regs.ecx);
  }
}

TEST_F(HostTest, ChosenCallsMisbehave) {
  struct Case {
    const char* script;
    size_t call;  // the transcript index of the call hit
    BackdoorRegisters out;
  };
  const uint32_t lb = 0x10000 | LB;
  // The session below: get-version, open, send-length 0, receive-length, close.
  const Case cases[] = {
      {"fail-call 1 eax", 1, Block(1, RPCI, 0, LB, 0, 0, 0)},
      {"fail-call 1 eax 0x99", 1, Block(0x99, RPCI, 0, LB, 0, 0, 0)},
      {"fail-call 2 refuse", 2, Block(0, 0, 0, lb, 0, 0, 0)},
      {"fail-call 1 open-ecx", 1, Block(0, RPCI, 0x30000, 0x10000, 0, 0, 0)},
      {"fail-call 1 open-edx", 1, Block(0, RPCI, 0x10000, lb, 0, 0, 0)},
      {"fail-step 0x3001E 0 set ebx 200", 3, Block(0, 200, 0x10000, 0x01010000 | LB, 0, 0, 0)},
      {"fail-step 10 0 set eax 5; fail-step 10 0 set edx 7", 0,
       Block(5, BACKDOOR_MAGIC, 10, 7, 0, 0, 0)},
      {"fail-step 0x6001E 0 eax 3; fail-step 0x6001E 0 set ebx 9", 4, Block(3, 9, 0, lb, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    SimHostReset();
    Script(c.script);
    Ask(SIM_IN, FakeIn(~BACKDOOR_MAGIC, 10, LB));
    Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB));
    Ask(SIM_IN, FakeIn(0, 0x1001E, lb));
    Ask(SIM_IN, FakeIn(0, 0x3001E, lb));
    Ask(SIM_IN, FakeIn(0, 0x6001E, lb));
    ASSERT_EQ(5u, g_simHost.transcript.size());
    EXPECT_EQ(c.out, g_simHost.transcript[c.call].out);
  }
}

TEST_F(HostTest, ARefusedStepChangesNothing) {
  Script("fail-call 0 refuse; fail-call 2 eax");
  const uint32_t lb = 0x10000 | LB;
  EXPECT_EQ(0u, Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB)).regs.ecx);  // no channel opened
  EXPECT_EQ(0x10000u, Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB)).regs.edx);
  EXPECT_EQ(1u, Ask(SIM_IN, FakeIn(2, 0x1001E, lb)).regs.eax);  // no length announced
  EXPECT_EQ(0x10000u, Ask(SIM_IN, FakeIn(0, 0x1001E, lb)).regs.ecx);
  EXPECT_EQ(std::vector<uint32_t>{1}, g_simHost.opened);
  EXPECT_EQ(std::vector<std::string>{""}, g_simHost.commands);
  EXPECT_EQ("", g_simHost.transcript[0].event);
  EXPECT_EQ("open 1", g_simHost.transcript[1].event);
}

TEST_F(HostTest, ScriptLines) {
  EXPECT_TRUE(SimHostConfigure(
      "  reply disk.wiper.enable=1 0\n"
      "reply *=nope;reply a\\x3Db=x\\x3By\\\\z\\x00!\r\n"
      "claim-length 7; claim-length disk.shrink=0x20\n"
      "cookies 1 0x2;first-channel 9; first-reply-id 0xFFFF\n"
      "\n;  ;wrong-version"));
  EXPECT_EQ("1 0", g_simHost.replies["disk.wiper.enable"]);
  EXPECT_EQ("1", g_simHost.replies["disk.shrink"]);
  EXPECT_EQ("nope", g_simHost.unknownReply);
  EXPECT_EQ(std::string("x;y\\z\0!", 7), g_simHost.replies["a=b"]);
  EXPECT_TRUE(g_simHost.claimAll);
  EXPECT_EQ(7u, g_simHost.claimAllLength);
  EXPECT_EQ(0x20u, g_simHost.claims["disk.shrink"]);
  EXPECT_TRUE(g_simHost.fixedCookies);
  EXPECT_EQ(1u, g_simHost.cookie1);
  EXPECT_EQ(2u, g_simHost.cookie2);
  EXPECT_EQ(9, g_simHost.nextChannel);
  EXPECT_EQ(0xFFFF, g_simHost.nextReplyId);
  EXPECT_TRUE(g_simHost.wrongVersionEbx);
  EXPECT_FALSE(g_simHost.absent);
  EXPECT_TRUE(SimHostConfigure("absent"));
  EXPECT_TRUE(g_simHost.absent);

  const char* const rejected[] = {
      "abstent",        "reply disk.shrink",  "reply x=\\q",     "claim-length -1",
      "claim-length x", "cookies 1",          "first-channel 65536",
      "fail-call 5",    "fail-call x eax",    "fail-call 5 eax 1 2",
      "fail-call 5 set eip 1", "fail-step 0x1E refuse", "fail-call 5 explode",
  };
  for (const char* line : rejected) {
    SCOPED_TRACE(line);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SimHostConfigure((std::string("absent;") + line + ";wrong-version").c_str()));
    EXPECT_EQ(std::string("sim: cannot understand the script line '") + line + "'\n",
              testing::internal::GetCapturedStderr());
  }
}

TEST_F(HostTest, TranscriptFileHasACallPerLineAndTheEvents) {
  const uint32_t lb = 0x10000 | LB;
  Ask(SIM_IN, FakeIn(~BACKDOOR_MAGIC, 10, LB));
  Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB));
  Ask(SIM_IN, FakeIn(2, 0x1001E, lb));
  Ask(SIM_IN, FakeIn(0x6261, 0x2001E, lb));
  Ask(SIM_IN, FakeIn(0, 0x6001E, lb));
  std::string path = testing::TempDir() + "rpc-host-transcript.txt";
  ASSERT_TRUE(SimHostWriteTranscript(path.c_str()));
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, f);
  std::string text;
  char chunk[256];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
    text.append(chunk, n);
  fclose(f);
  remove(path.c_str());
  EXPECT_EQ(
      "in 4b4f5251 b4b0adae 0000000a 00004c5a 00000000 00000000 00000000 -> "
      "00000006 4b4f5251 0000000a 00004c5a 00000000 00000000 00000000\n"
      "in 4b4f5251 49435052 0000001e 00004c5a 00000000 00000000 00000000 -> "
      "00000000 49435052 00010000 00010000 00000000 00000000 00000000\n"
      "open 1\n"
      "in 4b4f5251 00000002 0001001e 00014c5a 00000000 00000000 00000000 -> "
      "00000000 00000002 00010000 00014c5a 00000000 00000000 00000000\n"
      "in 4b4f5251 00006261 0002001e 00014c5a 00000000 00000000 00000000 -> "
      "00000000 00006261 00010000 00014c5a 00000000 00000000 00000000\n"
      "command ab\n"
      "in 4b4f5251 00000000 0006001e 00014c5a 00000000 00000000 00000000 -> "
      "00000000 00000000 00010000 00014c5a 00000000 00000000 00000000\n"
      "close 1\n",
      text);
  EXPECT_FALSE(SimHostWriteTranscript((testing::TempDir() + "no-such-dir/x/y").c_str()));
}

TEST_F(HostTest, CommandEventsEscapeBytesOutsidePrintableText) {
  const uint32_t lb = 0x10000 | LB;
  Ask(SIM_IN, FakeIn(RPCI, 0x1E, LB));
  Ask(SIM_IN, FakeIn(4, 0x1001E, lb));
  Ask(SIM_IN, FakeIn(0x7F5C0A41, 0x2001E, lb));  // 'A', newline, '\', DEL
  EXPECT_EQ("command A\\x0A\\x5C\\x7F", g_simHost.transcript[2].event);
  EXPECT_EQ(std::vector<std::string>{"A\n\\\x7F"}, g_simHost.commands);
}

bool AnswerEverythingWithSeven(SimInstruction, BackdoorRegisters& regs, unsigned char*) {
  regs.ebx = 7;
  return regs.ecx != 0;
}

TEST_F(HostTest, RawAnswerStandsInForTheModel) {
  g_simHost.rawAnswer = AnswerEverythingWithSeven;
  EXPECT_TRUE(Ask(SIM_REP_OUTSB, Block(0, 0, 1, 0, 0, 0, 0)).claimed);
  EXPECT_FALSE(Ask(SIM_IN, Block(0, 0, 0, 0, 0, 0, 0)).claimed);
  ASSERT_EQ(1u, g_simHost.transcript.size());
  EXPECT_EQ(Block(0, 7, 1, 0, 0, 0, 0), g_simHost.transcript[0].out);
}

}  // namespace
