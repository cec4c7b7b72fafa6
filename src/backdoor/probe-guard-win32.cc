// The presence probe's fault guard on Windows. mingw-w64 has no __try/__except, so a vectored
// handler, in force only for the probe and only on its thread, returns to the guard by a
// non-unwinding jump whatever the exception.
#include <windows.h>

#include "backdoor/presence.h"

namespace {

void* g_probeReturn[5];
volatile DWORD g_probeThread = 0;

LONG CALLBACK ProbeFault(EXCEPTION_POINTERS* exception) {
  (void)exception;
  if (g_probeThread == 0 || g_probeThread != GetCurrentThreadId())
    return EXCEPTION_CONTINUE_SEARCH;
  g_probeThread = 0;
  __builtin_longjmp(g_probeReturn, 1);
}

// Kept out of line so that the jump target's frame is this function's own.
__attribute__((noinline)) bool ProbeRun(BackdoorRegisters& probe) {
  if (__builtin_setjmp(g_probeReturn) != 0)
    return false;
  g_probeThread = GetCurrentThreadId();
  BackdoorCall(probe);
  g_probeThread = 0;
  return true;
}

}  // namespace

bool ProbeGuardedCall(BackdoorRegisters& regs) {
  // Added last, so that a handler installed before it (a test build's simulated host) sees the
  // fault first.
  void* handler = AddVectoredExceptionHandler(0, ProbeFault);
  BackdoorRegisters probe = regs;
  bool returned = ProbeRun(probe);
  if (handler != nullptr)
    RemoveVectoredExceptionHandler(handler);
  if (returned)
    regs = probe;
  return returned;
}
