// The POSIX fault handlers' seam for a fault interceptor: test and demo builds install the
// simulated host's trap here, so that the port instructions they fault on reach it first.
#ifndef SHRINK_BASE_FAULT_POSIX_H_
#define SHRINK_BASE_FAULT_POSIX_H_

#include <signal.h>

/// Returns true when it has dealt with the fault and the interrupted context may resume.
typedef bool (*FaultInterceptor)(int signal, siginfo_t* info, void* context);

/// Null in the shipped tool. Defined in fault-posix.cc; the last-resort fault guard of
/// entry-posix.cc and the presence check's probe guard ask it first.
extern FaultInterceptor g_faultInterceptor;

#endif  // SHRINK_BASE_FAULT_POSIX_H_
