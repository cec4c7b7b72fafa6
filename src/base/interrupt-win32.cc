// Interrupts on Windows: Ctrl+C, Ctrl+Break and closing the console set a flag and an event that
// the pause waits on.
#include <windows.h>

#include "base/interrupt.h"

namespace {

volatile LONG g_interrupted = 0;
HANDLE g_interruptEvent = nullptr;

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI InterruptHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      InterlockedExchange(&g_interrupted, 1);
      SetEvent(g_interruptEvent);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      InterlockedExchange(&g_interrupted, 1);
      SetEvent(g_interruptEvent);
      // The process ends when this returns: give the run time to delete its files and close the
      // channel. Its exit ends this thread too.
      Sleep(4500);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InterruptCatch() {
  if (g_interruptEvent == nullptr)
    g_interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(InterruptHandler, TRUE);
}

bool InterruptRequested() { return g_interrupted != 0; }

void InterruptiblePause(uint32_t milliseconds) {
  if (g_interruptEvent == nullptr) {
    Sleep(milliseconds);
    return;
  }
  WaitForSingleObject(g_interruptEvent, milliseconds);
}
