// Fakes of the base module's platform services: the standard streams and console detection, the
// system's error texts, interrupts and the interruptible pause.
#ifndef SHRINK_TESTS_FAKES_FAKE_BASE_H_
#define SHRINK_TESTS_FAKES_FAKE_BASE_H_

#include <stdint.h>

/// Back to: standard output not a console, no interrupt, no pause taken.
void FakeBaseReset();

/// From the `n`-th call of InterruptRequested on (1 = the first), an interrupt has arrived;
/// 0 means never.
void FakeInterruptAtCheck(uint32_t n);

/// Whether InterruptCatch has been called, and the pauses taken (milliseconds, summed).
bool FakeInterruptCaught();
uint32_t FakePausedMilliseconds();
uint32_t FakeInterruptChecks();

/// Channels the simulated host had seen opened when InterruptCatch was called (first call only).
uint32_t FakeInterruptCaughtAfterOpens();

#endif  // SHRINK_TESTS_FAKES_FAKE_BASE_H_
