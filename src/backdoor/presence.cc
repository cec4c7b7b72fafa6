// The presence check: one guarded get-version probe, accepted only with the magic in ebx.
#include "backdoor/presence.h"

#include "base/output.h"

ToolStatus CheckHypervisor() {
  BackdoorRegisters regs = {};
  regs.eax = BACKDOOR_MAGIC;
  regs.ebx = ~BACKDOOR_MAGIC;
  regs.ecx = CMD_GET_VERSION;
  regs.edx = BACKDOOR_LB_PORT;
  // A probe that faults leaves the block as set up, so the sentinel in ebx marks the absence.
  ProbeGuardedCall(regs);
  if (regs.ebx == BACKDOOR_MAGIC)
    return STATUS_OK;
  if (g_verbosity > 0)
    PrintErr("Not running on Tazelo\n");
  return STATUS_BACKDOOR_FAILED;
}
