// The last-resort fault guard on Linux: an unhandled fault restores the terminal and ends the
// process at once with status 1.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "console/console.h"
#include "driver/entry.h"
#include "base/fault-posix.h"

namespace {

void LastResortFault(int signal, siginfo_t* info, void* context) {
  if (g_faultInterceptor != nullptr && g_faultInterceptor(signal, info, context))
    return;
  ConsoleRestore();
  _exit(1);
}

}  // namespace

void EntryInstallFaultGuard() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = LastResortFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  static const int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
  for (int signal : kFaults)
    sigaction(signal, &action, nullptr);
}
