// The check that the tool runs under the Tazelo hypervisor.
#ifndef SHRINK_BACKDOOR_PRESENCE_H_
#define SHRINK_BACKDOOR_PRESENCE_H_

#include <stdint.h>

#include "backdoor/backdoor.h"
#include "base/status.h"

const uint32_t CMD_GET_VERSION = 10;

/// Makes one get-version call under a fault guard. Returns STATUS_OK when the answer carries the
/// magic in `ebx`; otherwise writes "Not running on Tazelo\n" (level 1) and returns
/// STATUS_BACKDOOR_FAILED. A fault of the probe counts as absence and does not end the process.
ToolStatus CheckHypervisor();

/// Runs BackdoorCall(regs) under a guard that catches every fault it raises. Returns true when the
/// call returned; false when it faulted, with `regs` left exactly as it was passed in.
/// Defined in probe-guard-win32.cc / probe-guard-posix.cc.
bool ProbeGuardedCall(BackdoorRegisters& regs);

#endif  // SHRINK_BACKDOOR_PRESENCE_H_
