// Recognising the three port instructions at a faulting instruction pointer, for both trap
// adapters.
#ifndef SHRINK_SIM_TRAP_DECODE_H_
#define SHRINK_SIM_TRAP_DECODE_H_

#include "sim/host.h"

/// Whether `ip` holds `in eax, dx` (ED), `rep outsb` (F3 6E) or `rep insb` (F3 6C); if so, which,
/// and its length in bytes.
bool SimTrapDecode(const unsigned char* ip, SimInstruction* instruction, int* length);

#endif  // SHRINK_SIM_TRAP_DECODE_H_
