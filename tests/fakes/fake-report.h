// Fakes of the driver's platform services: console detection, error texts, interrupts.
#ifndef SHRINK_TESTS_FAKES_FAKE_REPORT_H_
#define SHRINK_TESTS_FAKES_FAKE_REPORT_H_

#include <stdint.h>

/// Back to: standard output not a console, no interrupt, no pause taken.
void FakeReportReset();

/// From the `n`-th call of InterruptRequested on (1 = the first), an interrupt has arrived;
/// 0 means never.
void FakeInterruptAtCheck(uint32_t n);

/// Whether InterruptCatch has been called, and the pauses taken (milliseconds, summed).
bool FakeInterruptCaught();
uint32_t FakePausedMilliseconds();
uint32_t FakeInterruptChecks();

/// Channels the simulated host had seen opened when InterruptCatch was called (first call only).
uint32_t FakeInterruptCaughtAfterOpens();

#endif  // SHRINK_TESTS_FAKES_FAKE_REPORT_H_
