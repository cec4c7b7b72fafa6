// The trap adapter on Windows: a first vectored exception handler working on the CONTEXT.
#include <windows.h>

#include <stdint.h>

#include "sim/host.h"
#include "sim/trap-decode.h"
#include "sim/trap.h"

namespace {

#if defined(__x86_64__)
#define TRAP_REG(name) R##name
#else
#define TRAP_REG(name) E##name
#endif

LONG CALLBACK TrapHandler(EXCEPTION_POINTERS* exception) {
  DWORD code = exception->ExceptionRecord->ExceptionCode;
  // Outside a hypervisor the port instructions raise a privileged-instruction fault; under qemu
  // an illegal-instruction one, and some emulators report an access violation.
  if (code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_ILLEGAL_INSTRUCTION &&
      code != EXCEPTION_ACCESS_VIOLATION)
    return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* c = exception->ContextRecord;
  unsigned char* ip = reinterpret_cast<unsigned char*>(c->TRAP_REG(ip));
  if (code == EXCEPTION_ACCESS_VIOLATION &&
      exception->ExceptionRecord->ExceptionInformation[1] == reinterpret_cast<ULONG_PTR>(ip))
    return EXCEPTION_CONTINUE_SEARCH;
  SimInstruction instruction;
  int length;
  if (!SimTrapDecode(ip, &instruction, &length))
    return EXCEPTION_CONTINUE_SEARCH;
  BackdoorRegisters regs;
  regs.eax = static_cast<uint32_t>(c->TRAP_REG(ax));
  regs.ebx = static_cast<uint32_t>(c->TRAP_REG(bx));
  regs.ecx = static_cast<uint32_t>(c->TRAP_REG(cx));
  regs.edx = static_cast<uint32_t>(c->TRAP_REG(dx));
  regs.ebp = static_cast<uint32_t>(c->TRAP_REG(bp));
  regs.edi = static_cast<uint32_t>(c->TRAP_REG(di));
  regs.esi = static_cast<uint32_t>(c->TRAP_REG(si));
  const BackdoorRegisters before = regs;
  unsigned char* memory = nullptr;
  if (instruction == SIM_REP_OUTSB)
    memory = reinterpret_cast<unsigned char*>(c->TRAP_REG(si));
  else if (instruction == SIM_REP_INSB)
    memory = reinterpret_cast<unsigned char*>(c->TRAP_REG(di));
  if (!SimHostAnswer(instruction, regs, memory))
    return EXCEPTION_CONTINUE_SEARCH;
  // As on the real processor, a 32-bit result zero-extends into a 64-bit register; the string
  // pointers keep their upper half and move by what the host consumed.
  c->TRAP_REG(ax) = regs.eax;
  c->TRAP_REG(bx) = regs.ebx;
  c->TRAP_REG(cx) = regs.ecx;
  c->TRAP_REG(dx) = regs.edx;
  c->TRAP_REG(bp) = regs.ebp;
  if (instruction == SIM_REP_INSB)
    c->TRAP_REG(di) += static_cast<uint32_t>(regs.edi - before.edi);
  else
    c->TRAP_REG(di) = regs.edi;
  if (instruction == SIM_REP_OUTSB)
    c->TRAP_REG(si) += static_cast<uint32_t>(regs.esi - before.esi);
  else
    c->TRAP_REG(si) = regs.esi;
  c->TRAP_REG(ip) += length;
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void SimTrapInstall() {
  static bool installed = false;
  if (installed)
    return;
  installed = true;
  AddVectoredExceptionHandler(1, TrapHandler);
}
