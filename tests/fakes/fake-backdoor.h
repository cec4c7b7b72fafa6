// A scripted backdoor transport for unit tests: the three primitives and the probe guard hand each
// call to the simulated host (sim/host.h), whose transcript records what was asked and answered.
#ifndef SHRINK_TESTS_FAKES_FAKE_BACKDOOR_H_
#define SHRINK_TESTS_FAKES_FAKE_BACKDOOR_H_

#include <stdint.h>

#include <ostream>

#include "backdoor/backdoor.h"
#include "sim/host.h"

/// Back to: a present, well-behaved host (SimHostReset), a probe that does not fault, no call made.
void FakeBackdoorReset();

/// When true, ProbeGuardedCall faults before reaching the host: it returns false and leaves the
/// block as it was passed in. A host that does not claim the call (g_simHost.absent) has the same
/// effect without this switch.
void FakeProbeFaults(bool faults);

/// Calls made through BackdoorCall, BackdoorHbOut, BackdoorHbIn and ProbeGuardedCall, claimed by
/// the host or not.
uint32_t FakeBackdoorCallCount();

/// Of those, the calls that would have faulted: unclaimed by the host, or a faulting probe. An
/// unguarded call that faults leaves its block unchanged here instead of ending the process.
uint32_t FakeBackdoorFaultCount();

/// A block as a caller loads it: eax the magic, the other six in the order in which the register
/// contract lists them.
BackdoorRegisters FakeIn(uint32_t ebx, uint32_t ecx, uint32_t edx, uint32_t esi = 0,
                         uint32_t edi = 0, uint32_t ebp = 0);

/// Field-by-field comparison and a printable form, so that tests can compare whole blocks.
bool operator==(const BackdoorRegisters& a, const BackdoorRegisters& b);
void PrintTo(const BackdoorRegisters& regs, std::ostream* os);

#endif  // SHRINK_TESTS_FAKES_FAKE_BACKDOOR_H_
