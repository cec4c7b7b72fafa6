// The backdoor primitives and the presence check through the real port instructions, answered by
// the simulated host through the trap adapter.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "backdoor/backdoor.h"
#include "backdoor/presence.h"
#include "base/status.h"
#include "sim/host.h"
#include "sim/trap.h"

namespace {

// A get-version block whose other fields carry distinct values that the host leaves alone.
BackdoorRegisters VersionBlock() {
  BackdoorRegisters regs;
  regs.eax = BACKDOOR_MAGIC;
  regs.ebx = ~BACKDOOR_MAGIC;
  regs.ecx = 10;
  regs.edx = BACKDOOR_LB_PORT | 0xABCD0000;
  regs.ebp = 0x11111111;
  regs.edi = 0x22222222;
  regs.esi = 0x33333333;
  return regs;
}

// A bare host for the bulk primitives: keeps what is sent, serves a fixed text, and advances the
// registers as the string instructions do.
std::string g_bulkReceived;
std::string g_bulkToSend;

bool BulkAnswer(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory) {
  if (instruction == SIM_REP_OUTSB) {
    g_bulkReceived.assign(reinterpret_cast<char*>(memory), regs.ecx);
    regs.esi += regs.ecx;
  } else if (instruction == SIM_REP_INSB) {
    for (uint32_t i = 0; i < regs.ecx; ++i)
      memory[i] = i < g_bulkToSend.size() ? g_bulkToSend[i] : 0;
    regs.edi += regs.ecx;
  } else {
    return false;
  }
  regs.ecx = 0;
  regs.ebx = 0x10000;
  return true;
}

// Cases are named in each check's message rather than by SCOPED_TRACE: on Windows that starts a
// thread of GoogleTest's, and Wine through qemu-i386 gives every thread the last-made thread's TEB
// after a trapped fault (see docs/reliability.md), so these processes keep to one thread.
class BackdoorTrapTest : public testing::Test {
 protected:
  void SetUp() override {
    SimTrapInstall();
    SimHostReset();
    g_verbosity = 1;
  }
};

TEST_F(BackdoorTrapTest, CallRoundTripsEveryFieldTheHostLeavesAlone) {
  BackdoorRegisters regs = VersionBlock();
  BackdoorCall(regs);
  ASSERT_EQ(1u, g_simHost.transcript.size());
  const SimCall& call = g_simHost.transcript[0];
  EXPECT_EQ(SIM_IN, call.instruction);
  // What the host saw is exactly what was loaded.
  const BackdoorRegisters loaded = VersionBlock();
  EXPECT_EQ(0, memcmp(&loaded, &call.in, sizeof loaded));
  // What came back is exactly the host's answer: ebx the magic, the rest as loaded.
  EXPECT_EQ(0, memcmp(&call.out, &regs, sizeof regs));
  EXPECT_EQ(BACKDOOR_MAGIC, regs.ebx);
  EXPECT_EQ(loaded.ecx, regs.ecx);
  EXPECT_EQ(loaded.edx, regs.edx);
  EXPECT_EQ(loaded.ebp, regs.ebp);
  EXPECT_EQ(loaded.edi, regs.edi);
  EXPECT_EQ(loaded.esi, regs.esi);
}

TEST_F(BackdoorTrapTest, UntouchedEaxStillHoldsTheMagic) {
  // A call that the host claims but does not answer (an unknown command) changes nothing.
  BackdoorRegisters regs = {};
  regs.eax = BACKDOOR_MAGIC;
  regs.ecx = 0x7777;
  regs.edx = BACKDOOR_LB_PORT;
  regs.ebx = 0x01020304;
  BackdoorCall(regs);
  EXPECT_EQ(BACKDOOR_MAGIC, regs.eax);
  EXPECT_EQ(0x01020304u, regs.ebx);
  EXPECT_EQ(0x7777u, regs.ecx);
  EXPECT_EQ(BACKDOOR_LB_PORT, regs.edx);
}

// The caller's registers must survive the routine, which loads all seven. Values live in
// registers across the call when compiled with optimisation; a checksum shows any damage.
__attribute__((noinline)) uint32_t CallKeepingLocals(uint32_t seed) {
  uint32_t a = seed * 3 + 1, b = seed * 5 + 2, c = seed * 7 + 3, d = seed * 11 + 4;
  uint32_t e = seed * 13 + 5, f = seed * 17 + 6, g = seed * 19 + 7;
  for (int i = 0; i < 4; ++i) {
    BackdoorRegisters regs = VersionBlock();
    BackdoorCall(regs);
    a += b ^ i;
    b += c ^ i;
    c += d ^ i;
    d += e ^ i;
    e += f ^ i;
    f += g ^ i;
    g += a ^ i;
  }
  return a ^ (b << 1) ^ (c << 2) ^ (d << 3) ^ (e << 4) ^ (f << 5) ^ (g << 6);
}

__attribute__((noinline)) uint32_t SameWithoutCalls(uint32_t seed) {
  uint32_t a = seed * 3 + 1, b = seed * 5 + 2, c = seed * 7 + 3, d = seed * 11 + 4;
  uint32_t e = seed * 13 + 5, f = seed * 17 + 6, g = seed * 19 + 7;
  for (int i = 0; i < 4; ++i) {
    a += b ^ i;
    b += c ^ i;
    c += d ^ i;
    d += e ^ i;
    e += f ^ i;
    f += g ^ i;
    g += a ^ i;
  }
  return a ^ (b << 1) ^ (c << 2) ^ (d << 3) ^ (e << 4) ^ (f << 5) ^ (g << 6);
}

TEST_F(BackdoorTrapTest, CallerRegistersSurvive) {
  EXPECT_EQ(SameWithoutCalls(12345), CallKeepingLocals(12345));
}

#if defined(__GNUC__)
bool DirectionFlagSet() {
  uintptr_t flags;
  __asm__ volatile("pushf\n\tpop %0" : "=r"(flags));
  return (flags & 0x400) != 0;
}
#endif

TEST_F(BackdoorTrapTest, BulkTransfersMoveTheirBytesAndKeepTheDirectionFlag) {
  char source[37];
  for (size_t i = 0; i < sizeof source; ++i)
    source[i] = static_cast<char>('a' + i % 26);
  for (int direction = 0; direction < 2; ++direction) {
    SimHostReset();
    g_simHost.rawAnswer = BulkAnswer;
    BackdoorRegisters out = {};
    out.eax = BACKDOOR_MAGIC;
    out.ecx = sizeof source;
    out.edx = BACKDOOR_HB_PORT;
    out.esi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(source));
    // The flag is set before the call, so that it must be cleared for the move and put back.
    if (direction == 1)
      __asm__ volatile("std");
    BackdoorHbOut(out, source);
    bool flagAfter = DirectionFlagSet();
    __asm__ volatile("cld");
    EXPECT_EQ(direction == 1, flagAfter);
    ASSERT_EQ(1u, g_simHost.transcript.size());
    EXPECT_EQ(SIM_REP_OUTSB, g_simHost.transcript[0].instruction);
    EXPECT_EQ(0u, out.ecx);  // the string instruction consumed its count
    EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(source) + sizeof source), out.esi);
    EXPECT_EQ(std::string(source, sizeof source), g_bulkReceived);
  }
  char received[23];
  memset(received, 0, sizeof received);
  SimHostReset();
  g_simHost.rawAnswer = BulkAnswer;
  g_bulkToSend = "0123456789abcdefghijklm";
  BackdoorRegisters in = {};
  in.eax = BACKDOOR_MAGIC;
  in.ecx = sizeof received;
  in.edx = BACKDOOR_HB_PORT;
  in.edi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(received));
  __asm__ volatile("std");
  BackdoorHbIn(in, received);
  bool flagAfter = DirectionFlagSet();
  __asm__ volatile("cld");
  EXPECT_TRUE(flagAfter);
  EXPECT_EQ(0u, in.ecx);
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(received) + sizeof received), in.edi);
  EXPECT_EQ(0x10000u, in.ebx);
  EXPECT_EQ(std::string("0123456789abcdefghijklm"), std::string(received, sizeof received));
}

TEST_F(BackdoorTrapTest, PresenceWithTheHostIsSilent) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(STATUS_OK, CheckHypervisor());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(BackdoorTrapTest, PresenceFailures) {
  struct Case {
    const char* name;
    bool absent;
    bool wrongEbx;
    int32_t verbosity;
    const char* stderrText;
  };
  const Case cases[] = {
      {"no host: the probe faults", true, false, 1, "Not running on Tazelo\n"},
      {"wrong ebx", false, true, 1, "Not running on Tazelo\n"},
      {"no host, verbosity 0", true, false, 0, ""},
      {"wrong ebx, verbosity 0", false, true, 0, ""},
  };
  for (const Case& c : cases) {
    SimHostReset();
    g_simHost.absent = c.absent;
    g_simHost.wrongVersionEbx = c.wrongEbx;
    g_verbosity = c.verbosity;
    // Twice in the same process: a caught fault leaves the process able to probe again.
    for (int round = 0; round < 2; ++round) {
      testing::internal::CaptureStderr();
      EXPECT_EQ(STATUS_BACKDOOR_FAILED, CheckHypervisor()) << c.name;
      EXPECT_EQ(c.stderrText, testing::internal::GetCapturedStderr()) << c.name;
    }
  }
  g_verbosity = 1;
  SimHostReset();
  EXPECT_EQ(STATUS_OK, CheckHypervisor());
}

}  // namespace
