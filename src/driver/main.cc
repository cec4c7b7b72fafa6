// The process entry: prepares the console, runs the workflow once, exits with its status.
#include "console/console.h"
#include "driver/entry.h"
#include "driver/shrink.h"

int main() {
  EntryInstallFaultGuard();
  ConsoleOpen();
  ToolStatus status = ShrinkMain();
  ConsoleClose();
  // Returning runs the normal exit, which writes out a buffered standard output.
  return status;
}
