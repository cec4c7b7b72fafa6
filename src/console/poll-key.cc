// The non-blocking key poll, over the two console operations.
#include "console/console.h"

int PollKey() {
  if (ConsoleKeyWaiting() == 0)
    return 0;
  return ConsoleReadChar();
}
