// The shrink workflow: presence check, "disk.wiper.enable", the wipe, "disk.shrink", close.
#ifndef SHRINK_DRIVER_SHRINK_H_
#define SHRINK_DRIVER_SHRINK_H_

#include <stdint.h>

#include "base/status.h"

extern const char RPC_CMD_WIPER_ENABLE[];  ///< "disk.wiper.enable", 17 bytes sent
extern const char RPC_CMD_SHRINK[];        ///< "disk.shrink", 11 bytes sent
const uint32_t SHRINK_DELAY_MS = 1000;

/// Runs the whole workflow once at verbosity 1 and returns its status, which becomes the exit
/// status.
ToolStatus ShrinkMain();

/// The workflow at the verbosity that is set: ShrinkMain after its first step. Tests run it at
/// other levels.
ToolStatus ShrinkRun();

#endif  // SHRINK_DRIVER_SHRINK_H_
