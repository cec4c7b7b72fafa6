// Interrupts on Linux: SIGINT, SIGTERM and SIGHUP set a flag; the pause waits for the time or for
// one of them, whichever comes first.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include "base/interrupt.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void InterruptSignal(int signal) {
  (void)signal;
  g_interrupted = 1;
}

}  // namespace

void InterruptCatch() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = InterruptSignal;
  // Restarted calls: a write to a file goes on; the flag is tested after every block.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : kInterruptSignals)
    sigaction(signal, &action, nullptr);
}

bool InterruptRequested() { return g_interrupted != 0; }

void InterruptiblePause(uint32_t milliseconds) {
  // The signals are blocked while the flag is tested and released only inside ppoll, so one
  // that arrives just before the wait still ends it at once.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal : kInterruptSignals)
    sigaddset(&blocked, signal);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  struct timespec now, end;
  clock_gettime(CLOCK_MONOTONIC, &now);
  end.tv_sec = now.tv_sec + milliseconds / 1000;
  end.tv_nsec = now.tv_nsec + (milliseconds % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  while (!g_interrupted) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec left;
    left.tv_sec = end.tv_sec - now.tv_sec;
    left.tv_nsec = end.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
      left.tv_sec -= 1;
      left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0)
      break;
    if (ppoll(nullptr, 0, &left, &previous) == 0)
      break;
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}
