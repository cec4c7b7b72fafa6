// The presence probe's fault guard on Windows. mingw-w64 has no __try/__except, so a vectored
// handler, in force only for the probe and only on its thread, deals with the fault through the
// exception's context and lets the system's dispatcher resume the thread.
//
// A machine without the hypervisor refuses the port instruction itself: the handler then notes
// the absence and resumes just past it, where the routine stores the registers as it loaded them
// and returns normally, so the check finds no magic. Any other exception during the probe is not
// that refusal but damage (a stack overflow, a corrupt block, a stray trap); no point of the
// routine can be resumed soundly without knowing how far it got, so the handler passes it on to
// the last-resort fault guard, which ends the process with status 1 instead of running the tool on.
#include <windows.h>

#include <stdint.h>

#include "backdoor/presence.h"

namespace {

#if defined(__x86_64__)
#define PROBE_IP(context) ((context)->Rip)
#else
#define PROBE_IP(context) ((context)->Eip)
#endif

volatile DWORD g_probeThread = 0;
volatile bool g_probeRefused = false;

LONG CALLBACK ProbeFault(EXCEPTION_POINTERS* exception) {
  if (g_probeThread == 0 || g_probeThread != GetCurrentThreadId())
    return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* context = exception->ContextRecord;
  if (PROBE_IP(context) != reinterpret_cast<uintptr_t>(g_backdoorCallPort))
    return EXCEPTION_CONTINUE_SEARCH;
  g_probeRefused = true;
  PROBE_IP(context) = reinterpret_cast<uintptr_t>(g_backdoorCallResume);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

bool ProbeGuardedCall(BackdoorRegisters& regs) {
  // Added last, so that a handler installed before it (a test build's simulated host) sees the
  // fault first.
  void* handler = AddVectoredExceptionHandler(0, ProbeFault);
  BackdoorRegisters probe = regs;
  g_probeRefused = false;
  g_probeThread = GetCurrentThreadId();
  BackdoorCall(probe);
  g_probeThread = 0;
  if (handler != nullptr)
    RemoveVectoredExceptionHandler(handler);
  if (g_probeRefused)
    return false;
  regs = probe;
  return true;
}
