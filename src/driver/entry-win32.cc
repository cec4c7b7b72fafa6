// The last-resort fault guard on Windows: an exception that nothing handles restores the console
// and ends the process at once with status 1, without the normal exit.
#include <windows.h>

#include "console/console.h"
#include "driver/entry.h"

namespace {

LONG WINAPI LastResortFilter(EXCEPTION_POINTERS* exception) {
  (void)exception;
  ConsoleRestore();
  TerminateProcess(GetCurrentProcess(), 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void EntryInstallFaultGuard() {
  // No error dialog box: the tool may run unattended in a guest.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(LastResortFilter);
}
