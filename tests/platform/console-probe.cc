// A small program over the real console code, for the terminal tests: "rewind" prints three
// progress lines over each other; "keys" waits for a key and reports three polls.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "console/console.h"
#include "base/output.h"

namespace {

void ProbeSleep(long milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = (milliseconds % 1000) * 1000000L;
  nanosleep(&pause, nullptr);
}

int ProbeRewind() {
  PrintOut("progress 1 of 3\n");
  CursorUpLines(1);
  PrintOut("progress 2 of 3\n");
  CursorUpLines(1);
  PrintOut("progress 3 of 3\n");
  PrintOut("done\n");
  return 0;
}

// Waits up to 20 s for a key (events without a character are dropped on the way), gives the
// rest of what was typed with it a moment to arrive, then polls three times.
int ProbeKeys() {
  ConsoleOpen();
  ConsoleQuietBegin();
  PrintOut("ready\n");
  for (int n = 0; n < 400 && ConsoleKeyWaiting() == 0; ++n)
    ProbeSleep(50);
  ProbeSleep(500);
  int first = PollKey();
  int second = PollKey();
  int third = PollKey();
  ConsoleQuietEnd();
  ConsoleClose();
  PrintOut("keys %d %d %d\n", first, second, third);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "rewind") == 0)
    return ProbeRewind();
  if (argc == 2 && strcmp(argv[1], "keys") == 0)
    return ProbeKeys();
  fprintf(stderr, "usage: console-probe rewind|keys\n");
  return 2;
}
