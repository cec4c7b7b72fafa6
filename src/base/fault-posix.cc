// The fault interceptor that the POSIX fault handlers ask first: none in the shipped tool.
#include "base/fault-posix.h"

FaultInterceptor g_faultInterceptor = nullptr;
