// The trap adapter on Linux: a SIGSEGV/SIGILL interceptor working on the interrupted ucontext_t.
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <ucontext.h>

#include "base/fault-posix.h"
#include "sim/host.h"
#include "sim/trap-decode.h"
#include "sim/trap.h"

namespace {

#if defined(__x86_64__)
const int TRAP_IP = REG_RIP;
const int TRAP_AX = REG_RAX, TRAP_BX = REG_RBX, TRAP_CX = REG_RCX, TRAP_DX = REG_RDX;
const int TRAP_BP = REG_RBP, TRAP_DI = REG_RDI, TRAP_SI = REG_RSI;
#elif defined(__i386__)
const int TRAP_IP = REG_EIP;
const int TRAP_AX = REG_EAX, TRAP_BX = REG_EBX, TRAP_CX = REG_ECX, TRAP_DX = REG_EDX;
const int TRAP_BP = REG_EBP, TRAP_DI = REG_EDI, TRAP_SI = REG_ESI;
#endif

bool TrapClaim(int signal, siginfo_t* info, void* context) {
  (void)signal;
  greg_t* gregs = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  unsigned char* ip = reinterpret_cast<unsigned char*>(gregs[TRAP_IP]);
  // A jump to unmapped code faults at its own address: then there is no instruction to read.
  if (ip == nullptr || (info != nullptr && info->si_addr == ip))
    return false;
  SimInstruction instruction;
  int length;
  if (!SimTrapDecode(ip, &instruction, &length))
    return false;
  BackdoorRegisters regs;
  regs.eax = static_cast<uint32_t>(gregs[TRAP_AX]);
  regs.ebx = static_cast<uint32_t>(gregs[TRAP_BX]);
  regs.ecx = static_cast<uint32_t>(gregs[TRAP_CX]);
  regs.edx = static_cast<uint32_t>(gregs[TRAP_DX]);
  regs.ebp = static_cast<uint32_t>(gregs[TRAP_BP]);
  regs.edi = static_cast<uint32_t>(gregs[TRAP_DI]);
  regs.esi = static_cast<uint32_t>(gregs[TRAP_SI]);
  const BackdoorRegisters before = regs;
  unsigned char* memory = nullptr;
  if (instruction == SIM_REP_OUTSB)
    memory = reinterpret_cast<unsigned char*>(gregs[TRAP_SI]);
  else if (instruction == SIM_REP_INSB)
    memory = reinterpret_cast<unsigned char*>(gregs[TRAP_DI]);
  if (!SimHostAnswer(instruction, regs, memory))
    return false;
  // A 32-bit result zero-extends into its 64-bit register, as the real instruction's would; the
  // string pointers keep their upper half and move by what the host consumed.
  gregs[TRAP_AX] = static_cast<greg_t>(regs.eax);
  gregs[TRAP_BX] = static_cast<greg_t>(regs.ebx);
  gregs[TRAP_CX] = static_cast<greg_t>(regs.ecx);
  gregs[TRAP_DX] = static_cast<greg_t>(regs.edx);
  gregs[TRAP_BP] = static_cast<greg_t>(regs.ebp);
  if (instruction == SIM_REP_INSB)
    gregs[TRAP_DI] += static_cast<greg_t>(static_cast<uint32_t>(regs.edi - before.edi));
  else
    gregs[TRAP_DI] = static_cast<greg_t>(regs.edi);
  if (instruction == SIM_REP_OUTSB)
    gregs[TRAP_SI] += static_cast<greg_t>(static_cast<uint32_t>(regs.esi - before.esi));
  else
    gregs[TRAP_SI] = static_cast<greg_t>(regs.esi);
  gregs[TRAP_IP] += length;
  return true;
}

void TrapSignal(int signal, siginfo_t* info, void* context) {
  if (TrapClaim(signal, info, context))
    return;
  // Not ours: let the fault take its default course when the instruction runs again.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
}

}  // namespace

void SimTrapInstall() {
  g_faultInterceptor = TrapClaim;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = TrapSignal;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
  sigaction(SIGILL, &action, nullptr);
  sigaction(SIGBUS, &action, nullptr);
}
