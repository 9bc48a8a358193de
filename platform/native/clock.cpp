#include <time.h>

#include <chrono>
#include <cstdint>
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

namespace {
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

FILETIME FromTicks(int64_t ticks) {
  return FILETIME{static_cast<DWORD>(static_cast<uint64_t>(ticks)),
                  static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
}
}  // namespace

void GetSystemTimeAsFileTime(FILETIME* time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  *time = FromTicks((static_cast<int64_t>(now.tv_sec) + kSecondsFrom1601To1970) * kTicksPerSecond +
                    now.tv_nsec / 100);
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (utc == nullptr || local == nullptr) return FALSE;
  const int64_t ticks = Ticks(*utc);
  const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond - kSecondsFrom1601To1970);
  tm fields{};
  if (localtime_r(&seconds, &fields) == nullptr) return FALSE;
  *local = FromTicks(ticks + static_cast<int64_t>(fields.tm_gmtoff) * kTicksPerSecond);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out) {
  if (time == nullptr || out == nullptr) return FALSE;
  const int64_t ticks = Ticks(*time);
  // Windows refuses times past the signed 64-bit range.
  if (ticks < 0) return FALSE;
  const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond - kSecondsFrom1601To1970);
  tm fields{};
  if (gmtime_r(&seconds, &fields) == nullptr) return FALSE;
  *out = SYSTEMTIME{
      static_cast<WORD>(fields.tm_year + 1900), static_cast<WORD>(fields.tm_mon + 1),
      static_cast<WORD>(fields.tm_wday),        static_cast<WORD>(fields.tm_mday),
      static_cast<WORD>(fields.tm_hour),        static_cast<WORD>(fields.tm_min),
      static_cast<WORD>(fields.tm_sec),         static_cast<WORD>(ticks % kTicksPerSecond / 10000)};
  return TRUE;
}
