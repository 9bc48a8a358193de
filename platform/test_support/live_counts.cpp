#include "platform/test_support.h"

#ifndef _WIN32
#include "platform/native/host_hooks.h"
#endif

namespace platform_test {

#ifdef _WIN32

// The system keeps these to itself; a process-wide handle count would include every thread.
int OpenHandleCount() { return -1; }
int LiveCoTaskMemCount() { return -1; }
int LiveMmTaskCount() { return -1; }

#else

int OpenHandleCount() { return platform::native::LiveEventCount(); }
int LiveCoTaskMemCount() { return platform::native::LiveCoTaskMemCount(); }
int LiveMmTaskCount() { return platform::native::LiveMmTaskCount(); }

#endif

}  // namespace platform_test
