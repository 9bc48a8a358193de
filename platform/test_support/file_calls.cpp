#include "platform/test_support.h"

#ifndef _WIN32
#include "platform/native/host_hooks.h"
#endif

namespace platform_test {

#ifdef _WIN32

// The system's file calls are not ours to intercept.
bool ObserveFileCalls(void (*)()) { return false; }

#else

bool ObserveFileCalls(void (*observer)()) {
  platform::native::SetFileCallObserver(observer);
  return true;
}

#endif

}  // namespace platform_test
