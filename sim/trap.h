// The trap adapter: lets the real port instructions reach the simulated host. They fault at user
// level; the adapter decodes the instruction, hands the registers to the host, writes the answer
// back into the interrupted context and resumes past the instruction.
#ifndef SHRINK_SIM_TRAP_H_
#define SHRINK_SIM_TRAP_H_

/// Installs the adapter; it sees a fault first and passes on what the host does not claim.
/// Defined in trap-posix.cc / trap-win32.cc.
void SimTrapInstall();

#endif  // SHRINK_SIM_TRAP_H_
