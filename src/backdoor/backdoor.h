// The backdoor register block, its constants, the three call primitives and the trace hooks.
#ifndef SHRINK_BACKDOOR_BACKDOOR_H_
#define SHRINK_BACKDOOR_BACKDOOR_H_

#include <stdint.h>

/// The seven registers of one backdoor call: loaded before the port instruction, read back after it.
struct BackdoorRegisters {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
  uint32_t ebp;
  uint32_t edi;
  uint32_t esi;
};

const uint32_t BACKDOOR_MAGIC = 0x4B4F5251;
const uint32_t BACKDOOR_LB_PORT = 0x4C5A;  ///< low-bandwidth port, for BackdoorCall
const uint32_t BACKDOOR_HB_PORT = BACKDOOR_LB_PORT + 1;  ///< high-bandwidth port, for bulk moves

/// Low-bandwidth call: loads all seven registers from `regs`, executes `in eax, dx` and stores all
/// seven back. The caller's own registers are preserved. Faults at user level outside the
/// hypervisor. Defined in backdoor-x86.cc (unit tests link a scripted transport instead).
void BackdoorCall(BackdoorRegisters& regs);

/// The `in eax, dx` that BackdoorCall executes, and the instruction after it: a fault guard that
/// meets a fault at the first resumes at the second, which stores the registers as they were loaded.
extern "C" const unsigned char g_backdoorCallPort[] __asm__("shrink_port_in_probe");
extern "C" const unsigned char g_backdoorCallResume[] __asm__("shrink_port_in_resume");

/// Bulk send of `ecx` bytes with `rep outsb` on the port in the low half of `edx`, with the
/// direction flag cleared and then restored. `source` is the first byte: it is loaded into
/// esi/rsi in full (the block's `esi` holds its low 32 bits for the trace). Afterwards `regs` holds
/// whatever the registers hold, the advanced `ecx` and `esi` included.
void BackdoorHbOut(BackdoorRegisters& regs, const void* source);

/// Bulk receive of `ecx` bytes with `rep insb` into `destination`, loaded into edi/rdi in full;
/// otherwise as BackdoorHbOut.
void BackdoorHbIn(BackdoorRegisters& regs, void* destination);

/// Switch of the two trace hooks; 0 (off) at start and never changed by the tool.
extern int g_backdoorTrace;

/// When g_backdoorTrace is non-zero, prints the header line and "> " with the block before a call
/// to standard output; nothing otherwise. Defined in trace.cc.
void BackdoorTraceBefore(const BackdoorRegisters& regs);

/// When g_backdoorTrace is non-zero, prints "< " with the block after a call; nothing otherwise.
void BackdoorTraceAfter(const BackdoorRegisters& regs);

#endif  // SHRINK_BACKDOOR_BACKDOOR_H_
