// The three backdoor primitives as machine routines for i386 and x86-64: all seven registers are
// loaded from the block, the port instruction runs, and all seven are stored back.
#include "backdoor/backdoor.h"

#include <stddef.h>

static_assert(offsetof(BackdoorRegisters, eax) == 0 && offsetof(BackdoorRegisters, ebx) == 4 &&
                  offsetof(BackdoorRegisters, ecx) == 8 && offsetof(BackdoorRegisters, edx) == 12 &&
                  offsetof(BackdoorRegisters, ebp) == 16 && offsetof(BackdoorRegisters, edi) == 20 &&
                  offsetof(BackdoorRegisters, esi) == 24,
              "the routines below address the block's fields by these offsets");

extern "C" {
void ShrinkPortIn(BackdoorRegisters* regs) __asm__("shrink_port_in");
void ShrinkPortOutsb(BackdoorRegisters* regs, const void* source) __asm__("shrink_port_outsb");
void ShrinkPortInsb(BackdoorRegisters* regs, void* destination) __asm__("shrink_port_insb");
}

// The low-bandwidth port instruction, labelled so that a fault guard can tell the probe's own fault
// from any other and resume just past it, with the registers as loaded.
#define SHRINK_PROBED_IN                                                                      \
  ".globl shrink_port_in_probe\n.globl shrink_port_in_resume\n"                             \
  "shrink_port_in_probe:\n  in eax, dx\nshrink_port_in_resume:\n"

// The block's address is kept on the stack while the port instruction runs, because the
// hypervisor may change any of the seven registers, eax included. The returned eax is exchanged
// with that saved address so that the address is back in a register for the stores.
#if defined(__i386__)

// cdecl: the block at [esp+4], the bulk address at [esp+8]; ebx, esi, edi and ebp are the caller's.
#define SHRINK_PORT_ROUTINE(name, load_address, instruction)                                   \
  ".globl " name "\n"                                                                      \
  ".p2align 4\n" name                                                                      \
  ":\n"                                                                                    \
  "  push ebp\n  push ebx\n  push esi\n  push edi\n"                                       \
  "  mov eax, [esp+20]\n" load_address                                                     \
  "  push eax\n"                                                                           \
  "  mov ebp, [eax+16]\n  mov edx, [eax+12]\n  mov ecx, [eax+8]\n  mov ebx, [eax+4]\n"     \
  "  mov eax, [eax]\n" instruction                                                         \
  "  xchg eax, [esp]\n"                                                                    \
  "  mov [eax+24], esi\n  mov [eax+20], edi\n  mov [eax+16], ebp\n  mov [eax+12], edx\n"   \
  "  mov [eax+8], ecx\n  mov [eax+4], ebx\n"                                               \
  "  pop ecx\n  mov [eax], ecx\n"                                                          \
  "  pop edi\n  pop esi\n  pop ebx\n  pop ebp\n  ret\n"

__asm__(".intel_syntax noprefix\n.text\n"
        SHRINK_PORT_ROUTINE("shrink_port_in",
                            "  mov esi, [eax+24]\n  mov edi, [eax+20]\n", SHRINK_PROBED_IN)
        SHRINK_PORT_ROUTINE("shrink_port_outsb",
                            "  mov esi, [esp+24]\n  mov edi, [eax+20]\n",
                            "  pushfd\n  cld\n  rep outsb\n  popfd\n")
        SHRINK_PORT_ROUTINE("shrink_port_insb",
                            "  mov esi, [eax+24]\n  mov edi, [esp+24]\n",
                            "  pushfd\n  cld\n  rep insb\n  popfd\n")
        ".att_syntax prefix\n");

#elif defined(__x86_64__)

// The block and the bulk address arrive in rcx/rdx on Windows and in rdi/rsi elsewhere. The full
// 64-bit bulk address goes into rsi or rdi; the 32-bit loads zero the upper halves of the others.
#if defined(_WIN32)
#define SHRINK_ARG0 "rcx"
#define SHRINK_ARG1 "rdx"
#else
#define SHRINK_ARG0 "rdi"
#define SHRINK_ARG1 "rsi"
#endif

#define SHRINK_PORT_ROUTINE(name, load_address, instruction)                                   \
  ".globl " name "\n"                                                                      \
  ".p2align 4\n" name                                                                      \
  ":\n"                                                                                    \
  "  push rbp\n  push rbx\n  push rsi\n  push rdi\n"                                       \
  "  mov r10, " SHRINK_ARG0 "\n  mov r11, " SHRINK_ARG1 "\n" load_address                  \
  "  push r10\n"                                                                           \
  "  mov ebp, [r10+16]\n  mov edx, [r10+12]\n  mov ecx, [r10+8]\n  mov ebx, [r10+4]\n"     \
  "  mov eax, [r10]\n" instruction                                                         \
  "  xchg rax, [rsp]\n"                                                                    \
  "  mov [rax+24], esi\n  mov [rax+20], edi\n  mov [rax+16], ebp\n  mov [rax+12], edx\n"   \
  "  mov [rax+8], ecx\n  mov [rax+4], ebx\n"                                               \
  "  pop rcx\n  mov [rax], ecx\n"                                                          \
  "  pop rdi\n  pop rsi\n  pop rbx\n  pop rbp\n  ret\n"

__asm__(".intel_syntax noprefix\n.text\n"
        SHRINK_PORT_ROUTINE("shrink_port_in",
                            "  mov esi, [r10+24]\n  mov edi, [r10+20]\n", SHRINK_PROBED_IN)
        SHRINK_PORT_ROUTINE("shrink_port_outsb",
                            "  mov rsi, r11\n  mov edi, [r10+20]\n",
                            "  pushfq\n  cld\n  rep outsb\n  popfq\n")
        SHRINK_PORT_ROUTINE("shrink_port_insb",
                            "  mov esi, [r10+24]\n  mov rdi, r11\n",
                            "  pushfq\n  cld\n  rep insb\n  popfq\n")
        ".att_syntax prefix\n");

#else
#error "the backdoor needs an x86 processor"
#endif

void BackdoorCall(BackdoorRegisters& regs) { ShrinkPortIn(&regs); }

void BackdoorHbOut(BackdoorRegisters& regs, const void* source) { ShrinkPortOutsb(&regs, source); }

void BackdoorHbIn(BackdoorRegisters& regs, void* destination) { ShrinkPortInsb(&regs, destination); }
