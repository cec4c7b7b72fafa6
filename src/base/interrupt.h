// Console interrupts (Ctrl+C, Ctrl+Break, console close; SIGINT, SIGTERM, SIGHUP) turned into a
// flag that the run tests at its safe points, and the pause that an interrupt cuts short.
// Defined in interrupt-win32.cc / interrupt-posix.cc; unit tests link a scripted flag.
#ifndef SHRINK_BASE_INTERRUPT_H_
#define SHRINK_BASE_INTERRUPT_H_

#include <stdint.h>

/// Installs the handlers. From then on an interrupt only sets the flag; the run ends itself in
/// order: wiper files deleted, channel closed.
void InterruptCatch();

/// Whether an interrupt has arrived since InterruptCatch.
bool InterruptRequested();

/// Blocks the thread for `milliseconds`, or less when an interrupt arrives meanwhile.
void InterruptiblePause(uint32_t milliseconds);

#endif  // SHRINK_BASE_INTERRUPT_H_
