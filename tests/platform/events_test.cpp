#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/scoped_handle.h"
#include "platform/test_support.h"
#include "platform/win32.h"

namespace {

using platform::ScopedHandle;

ScopedHandle NewEvent(bool manual_reset, bool signalled = false) {
  return ScopedHandle(CreateEventW(nullptr, manual_reset, signalled, nullptr));
}

TEST(EventsTest, ManualResetStaysSignalledAutoResetWakesOnce) {
  ScopedHandle manual = NewEvent(true, true);
  ScopedHandle automatic = NewEvent(false);
  ASSERT_TRUE(manual && automatic);

  EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_OBJECT_0);
  ResetEvent(manual.Get());
  EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_TIMEOUT);

  SetEvent(automatic.Get());
  SetEvent(automatic.Get());  // A second set before a wait does not count twice.
  EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_TIMEOUT);
}

TEST(EventsTest, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyThatEvent) {
  ScopedHandle stop = NewEvent(true);
  ScopedHandle render = NewEvent(false);
  ScopedHandle capture = NewEvent(false);
  const HANDLE handles[] = {stop.Get(), render.Get(), capture.Get()};

  SetEvent(capture.Get());
  SetEvent(render.Get());
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);

  SetEvent(stop.Get());
  SetEvent(capture.Get());
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(capture.Get(), 0), WAIT_OBJECT_0);
}

TEST(EventsTest, TimedWaitLastsItsTimeout) {
  ScopedHandle event = NewEvent(false);
  const HANDLE handles[] = {event.Get(), event.Get()};
  const DWORD ticks_before = GetTickCount();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 60), WAIT_TIMEOUT);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::seconds(5));
  const DWORD ticks = GetTickCount() - ticks_before;  // Unsigned: right across a wrap too.
  EXPECT_GE(ticks, 40u);
  EXPECT_LT(ticks, 5000u);
}

TEST(EventsTest, SetFromAnotherThreadWakesEachWaiterOfAnAutoResetEventOnce) {
  ScopedHandle event = NewEvent(false);
  ScopedHandle other = NewEvent(false);
  const HANDLE handles[] = {other.Get(), event.Get()};
  constexpr int kWaiters = 4;
  std::atomic<int> woken{0};
  std::atomic<int> wrong_results{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) ++wrong_results;
      ++woken;
    });
  }
  for (int i = 1; i <= kWaiters; ++i) {
    SetEvent(event.Get());
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (woken.load() < i && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(woken.load(), i);
  }
  // A lost wake-up would leave a thread blocked here; release it before joining.
  for (int i = woken.load(); i < kWaiters; ++i) SetEvent(other.Get());
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(wrong_results.load(), 0);
}

TEST(EventsTest, ClosingTwiceFailsAndTheCountReturns) {
  const int handles_before = platform_test::OpenHandleCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  if (handles_before >= 0) {
    EXPECT_EQ(platform_test::OpenHandleCount(), handles_before + 1);
  }
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(platform_test::OpenHandleCount(), handles_before);
}

}  // namespace
