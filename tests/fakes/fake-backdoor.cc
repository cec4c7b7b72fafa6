// The scripted backdoor transport: every primitive is answered by the simulated host.
#include "fakes/fake-backdoor.h"

#include <stdio.h>

#include "backdoor/presence.h"

namespace {

bool g_probeFaults = false;
uint32_t g_calls = 0;
uint32_t g_faults = 0;

// Outside the hypervisor the instruction would fault; here the block is simply left as it was.
bool Transport(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory) {
  ++g_calls;
  BackdoorRegisters loaded = regs;
  if (SimHostAnswer(instruction, regs, memory))
    return true;
  regs = loaded;
  ++g_faults;
  return false;
}

}  // namespace

void FakeBackdoorReset() {
  SimHostReset();
  g_probeFaults = false;
  g_calls = 0;
  g_faults = 0;
}

void FakeProbeFaults(bool faults) { g_probeFaults = faults; }
uint32_t FakeBackdoorCallCount() { return g_calls; }
uint32_t FakeBackdoorFaultCount() { return g_faults; }

void BackdoorCall(BackdoorRegisters& regs) { Transport(SIM_IN, regs, nullptr); }

void BackdoorHbOut(BackdoorRegisters& regs, const void* source) {
  // The host only reads the source of an outgoing move.
  Transport(SIM_REP_OUTSB, regs, static_cast<unsigned char*>(const_cast<void*>(source)));
}

void BackdoorHbIn(BackdoorRegisters& regs, void* destination) {
  Transport(SIM_REP_INSB, regs, static_cast<unsigned char*>(destination));
}

bool ProbeGuardedCall(BackdoorRegisters& regs) {
  if (g_probeFaults) {
    ++g_calls;
    ++g_faults;
    return false;
  }
  return Transport(SIM_IN, regs, nullptr);
}

BackdoorRegisters FakeIn(uint32_t ebx, uint32_t ecx, uint32_t edx, uint32_t esi, uint32_t edi,
                         uint32_t ebp) {
  BackdoorRegisters regs;
  regs.eax = BACKDOOR_MAGIC;
  regs.ebx = ebx;
  regs.ecx = ecx;
  regs.edx = edx;
  regs.ebp = ebp;
  regs.edi = edi;
  regs.esi = esi;
  return regs;
}

bool operator==(const BackdoorRegisters& a, const BackdoorRegisters& b) {
  return a.eax == b.eax && a.ebx == b.ebx && a.ecx == b.ecx && a.edx == b.edx && a.ebp == b.ebp &&
         a.edi == b.edi && a.esi == b.esi;
}

void PrintTo(const BackdoorRegisters& regs, std::ostream* os) {
  char text[128];
  snprintf(text, sizeof text, "{eax %08x ebx %08x ecx %08x edx %08x esi %08x edi %08x ebp %08x}",
           regs.eax, regs.ebx, regs.ecx, regs.edx, regs.esi, regs.edi, regs.ebp);
  *os << text;
}
