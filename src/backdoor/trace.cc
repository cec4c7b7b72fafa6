// The backdoor register trace: the block before and after each call of the RPC channel.
#include "backdoor/backdoor.h"
#include "base/output.h"

int g_backdoorTrace = 0;

void BackdoorTraceBefore(const BackdoorRegisters& regs) {
  if (g_backdoorTrace == 0)
    return;
  // Printed in the header's order, which is not the block's: esi comes before edi and ebp.
  PrintOut("     EAX      EBX      ECX      EDX      ESI      EDI      EBP\n"
           "> %08lx %08lx %08lx %08lx %08lx %08lx %08lx\n",
           (unsigned long)regs.eax, (unsigned long)regs.ebx, (unsigned long)regs.ecx,
           (unsigned long)regs.edx, (unsigned long)regs.esi, (unsigned long)regs.edi,
           (unsigned long)regs.ebp);
}

void BackdoorTraceAfter(const BackdoorRegisters& regs) {
  if (g_backdoorTrace == 0)
    return;
  PrintOut("< %08lx %08lx %08lx %08lx %08lx %08lx %08lx\n", (unsigned long)regs.eax,
           (unsigned long)regs.ebx, (unsigned long)regs.ecx, (unsigned long)regs.edx,
           (unsigned long)regs.esi, (unsigned long)regs.edi, (unsigned long)regs.ebp);
}
