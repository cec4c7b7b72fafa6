// The presence probe's fault guard on Linux: every fault signal the probe raises returns to the
// guard through siglongjmp; the previous handlers are put back afterwards.
//
// Leaving a signal handler by siglongjmp is what POSIX provides for this: the kernel's signal
// frame is left behind on the stack like any other, and sigsetjmp(..., 1) puts back the signal
// mask that the handler's entry changed. The jump is sound from wherever in the routine the fault
// comes, since the routine holds nothing (no lock, no allocation, no state outside its frame) and
// the jump buffer restores the guard's own stack and registers. The tool has one thread, so the
// fault is always the probe's own.
#include <setjmp.h>
#include <signal.h>
#include <string.h>

#include "backdoor/presence.h"
#include "base/fault-posix.h"

namespace {

const int kProbeSignals[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};
const int kProbeSignalCount = sizeof kProbeSignals / sizeof kProbeSignals[0];

sigjmp_buf g_probeReturn;

void ProbeFault(int signal, siginfo_t* info, void* context) {
  // A test or demo build's simulated host answers the probe through the interceptor.
  if (g_faultInterceptor != nullptr && g_faultInterceptor(signal, info, context))
    return;
  siglongjmp(g_probeReturn, 1);
}

}  // namespace

bool ProbeGuardedCall(BackdoorRegisters& regs) {
  struct sigaction action;
  struct sigaction previous[kProbeSignalCount];
  memset(&action, 0, sizeof action);
  action.sa_sigaction = ProbeFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kProbeSignalCount; ++i)
    sigaction(kProbeSignals[i], &action, &previous[i]);

  // The probe works on a copy, so that a fault half-way leaves the caller's block as it was.
  BackdoorRegisters probe = regs;
  bool returned = false;
  if (sigsetjmp(g_probeReturn, 1) == 0) {
    BackdoorCall(probe);
    returned = true;
  }
  for (int i = 0; i < kProbeSignalCount; ++i)
    sigaction(kProbeSignals[i], &previous[i], nullptr);
  if (returned)
    regs = probe;
  return returned;
}
