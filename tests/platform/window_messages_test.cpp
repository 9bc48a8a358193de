#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "platform/test_support.h"
#include "platform/win32.h"

namespace {

using platform_test::DebugOutputCapture;
using platform_test::TestWindow;
using Message = std::tuple<UINT, WPARAM, LPARAM>;

TEST(WindowMessagesTest, PostsFromAnotherThreadArriveInOrderOnThePumpingThread) {
  TestWindow window;
  ASSERT_NE(window.hwnd(), nullptr);
  const HWND hwnd = window.hwnd();
  std::vector<BOOL> posted;
  std::thread poster([&] {
    for (WPARAM i = 0; i < 3; ++i) posted.push_back(PostMessageW(hwnd, WM_APP + 7, i, 10 + i));
  });

  const std::thread::id pump_thread = std::this_thread::get_id();
  std::vector<Message> received;
  bool on_pump_thread = true;
  const int delivered = window.Pump(
      [&](UINT message, WPARAM wparam, LPARAM lparam) {
        received.emplace_back(message, wparam, lparam);
        on_pump_thread = on_pump_thread && std::this_thread::get_id() == pump_thread;
      },
      5000, [&] { return received.size() == 3; });
  poster.join();

  EXPECT_EQ(delivered, 3);
  EXPECT_EQ(posted, std::vector<BOOL>(3, TRUE));
  EXPECT_EQ(received,
            (std::vector<Message>{{WM_APP + 7, 0, 10}, {WM_APP + 7, 1, 11}, {WM_APP + 7, 2, 12}}));
  EXPECT_TRUE(on_pump_thread);
}

TEST(WindowMessagesTest, PumpReturnsAfterItsTimeoutAndPostsToADestroyedWindowFail) {
  HWND stale = nullptr;
  {
    TestWindow window;
    stale = window.hwnd();
    int calls = 0;
    EXPECT_EQ(window.Pump([&](UINT, WPARAM, LPARAM) { ++calls; }, 30), 0);
    EXPECT_EQ(calls, 0);
  }
  EXPECT_FALSE(PostMessageW(stale, WM_APP + 7, 0, 0));
}

TEST(DebugOutputCaptureTest, CollectsTextFromEveryThreadWhileItLives) {
  if (!DebugOutputCapture::Supported()) GTEST_SKIP() << "debugger output cannot be observed";
  OutputDebugStringA("before\n");
  std::string text;
  {
    DebugOutputCapture capture;
    OutputDebugStringA("Tonelark enumerator failed 0x80040154\n");
    std::thread([] { OutputDebugStringA("from the audio thread\n"); }).join();
    text = capture.Take();
    OutputDebugStringA("second");
    EXPECT_EQ(capture.Take(), "second");
    EXPECT_EQ(capture.Take(), "");
  }
  EXPECT_EQ(text, "Tonelark enumerator failed 0x80040154\nfrom the audio thread\n");
}

}  // namespace
