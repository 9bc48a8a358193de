#include "standins/audio/resource_counts.h"

#include "platform/win32.h"

#ifndef _WIN32
#include "platform/test_support.h"
#endif

namespace virtual_audio {

#ifdef _WIN32

long OpenEventHandles() {
  DWORD count = 0;
  // Wine answers success with a count of 0, which no real process has: unknown there.
  if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) return -1;
  return static_cast<long>(count);
}

long LiveCoTaskMemBlocks() { return -1; }

#else

long OpenEventHandles() { return platform_test::OpenHandleCount(); }

long LiveCoTaskMemBlocks() { return platform_test::LiveCoTaskMemCount(); }

#endif

}  // namespace virtual_audio
