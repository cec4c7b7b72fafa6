// The presence probe on the real processor with no host and no simulated one: the port instruction
// is refused every time, and the platform's fault guard must turn each refusal into an answer.
#include <gtest/gtest.h>

#include <string.h>

#include "backdoor/backdoor.h"
#include "backdoor/presence.h"
#include "base/status.h"

namespace {

BackdoorRegisters ProbeBlock(uint32_t i) {
  BackdoorRegisters regs;
  regs.eax = BACKDOOR_MAGIC;
  regs.ebx = ~BACKDOOR_MAGIC;
  regs.ecx = CMD_GET_VERSION;
  regs.edx = BACKDOOR_LB_PORT;
  regs.ebp = 0x5EED0000 + i;
  regs.edi = ~i;
  regs.esi = i * 2654435761u;
  return regs;
}

TEST(PresenceProbeTest, TenThousandRefusedProbesAllAnswerAbsent) {
  const uint32_t kProbes = 10000;
  uint32_t returned = 0, changed = 0, firstBad = kProbes;
  // Values the compiler keeps in the caller's registers across the calls: the routine loads all
  // seven, so a guard that resumed without putting the caller's back would show here.
  uint32_t a = 1, b = 2, c = 3, d = 4;
  for (uint32_t i = 0; i < kProbes; ++i) {
    const BackdoorRegisters block = ProbeBlock(i);
    BackdoorRegisters regs = block;
    bool answered = ProbeGuardedCall(regs);
    if (answered)
      ++returned;
    if (memcmp(&block, &regs, sizeof regs) != 0)
      ++changed;
    if ((answered || memcmp(&block, &regs, sizeof regs) != 0) && firstBad == kProbes)
      firstBad = i;
    a += b ^ i;
    b += c ^ (i << 1);
    c += d ^ (i << 2);
    d += a ^ (i << 3);
  }
  EXPECT_EQ(0u, returned) << "first at probe " << firstBad;
  EXPECT_EQ(0u, changed) << "first at probe " << firstBad;
  uint32_t a2 = 1, b2 = 2, c2 = 3, d2 = 4;
  for (uint32_t i = 0; i < kProbes; ++i) {
    a2 += b2 ^ i;
    b2 += c2 ^ (i << 1);
    c2 += d2 ^ (i << 2);
    d2 += a2 ^ (i << 3);
  }
  EXPECT_EQ(a2, a);
  EXPECT_EQ(b2, b);
  EXPECT_EQ(c2, c);
  EXPECT_EQ(d2, d);

  // After all of them the check itself still answers, with its message.
  g_verbosity = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(STATUS_BACKDOOR_FAILED, CheckHypervisor());
  EXPECT_EQ("Not running on Tazelo\n", testing::internal::GetCapturedStderr());
}

}  // namespace
