// Result codes of every operation that can fail, and the verbosity level that gates every message.
#ifndef SHRINK_BASE_STATUS_H_
#define SHRINK_BASE_STATUS_H_

#include <stdint.h>

/// Result of every operation that can fail, and the process exit status.
/// The value 1 is never returned: it only comes from the last-resort fault handling.
typedef int32_t ToolStatus;

const ToolStatus STATUS_OK = 0;
const ToolStatus STATUS_BACKDOOR_FAILED = 2;  ///< not under the hypervisor, or a backdoor call failed
const ToolStatus STATUS_RPC_FAILED = 3;       ///< the host refused a step of the RPC channel
const ToolStatus STATUS_WIPE_FAILED = 4;      ///< wiping cannot proceed, or it was cancelled

/// Message level: level-1 messages are written when above 0, level-2 ones when 2 or more.
/// Holds 1 from process start; defined in output.cc.
extern int32_t g_verbosity;

#endif  // SHRINK_BASE_STATUS_H_
