#include <chrono>
#include <thread>

#include "platform/win32.h"

// CLOCK_MONOTONIC counts from boot, like the Windows tick count, and wraps the same way once cut
// to 32 bits (every 49.7 days).
DWORD GetTickCount() {
  const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {
constexpr LONGLONG kCounterHz = 10000000;
}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) return FALSE;
  const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
  count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) return FALSE;
  frequency->QuadPart = kCounterHz;
  return TRUE;
}
