// Fakes of the base module's platform services. The error text is a marker that tests can match:
// "<error N>" where the platform would give its message for code N.
#include "fakes/fake-base.h"

#include <stdio.h>

#include "base/interrupt.h"
#include "base/output.h"
#include "sim/host.h"

namespace {

uint32_t g_interruptAt = 0;
uint32_t g_interruptChecks = 0;
bool g_caught = false;
uint32_t g_caughtAfterOpens = 0;
uint32_t g_paused = 0;

}  // namespace

void FakeBaseReset() {
  g_interruptAt = 0;
  g_interruptChecks = 0;
  g_caught = false;
  g_caughtAfterOpens = 0;
  g_paused = 0;
}

void FakeInterruptAtCheck(uint32_t n) { g_interruptAt = n; }
bool FakeInterruptCaught() { return g_caught; }
uint32_t FakePausedMilliseconds() { return g_paused; }
uint32_t FakeInterruptChecks() { return g_interruptChecks; }
uint32_t FakeInterruptCaughtAfterOpens() { return g_caughtAfterOpens; }

bool StreamsStdoutIsConsole() { return false; }

void PrintSystemError(uint32_t code) { fprintf(stderr, "<error %u>", (unsigned)code); }

void InterruptCatch() {
  if (!g_caught)
    g_caughtAfterOpens = static_cast<uint32_t>(g_simHost.opened.size());
  g_caught = true;
}

bool InterruptRequested() {
  ++g_interruptChecks;
  return g_interruptAt != 0 && g_interruptChecks >= g_interruptAt;
}

void InterruptiblePause(uint32_t milliseconds) {
  // An interrupt that has arrived cuts the pause short, as the real one does.
  if (InterruptRequested())
    return;
  g_paused += milliseconds;
}
