// Test-only helpers over the platform layer, with an implementation for each build: read what
// the engine wrote with OutputDebugStringA, and a window handle whose posted messages a test
// pumps on its own thread. The product never includes this header.
#ifndef PLATFORM_TEST_SUPPORT_H_
#define PLATFORM_TEST_SUPPORT_H_

#include <functional>
#include <string>

#include "platform/win32.h"

namespace platform_test {

// Live objects of the host build's Win32 replacements, for leak audits: event handles,
// CoTaskMemAlloc blocks not yet freed, and multimedia class scheduler tasks not yet reverted.
// -1 where the build cannot tell (on Windows). Any thread may call them.
int OpenHandleCount();
int LiveCoTaskMemCount();
int LiveMmTaskCount();

// Has `observer` called at the start of every file call the platform layer makes (folders,
// opening, writing, sizing, moving and closing files), on the calling thread, until it is called
// again with nullptr. False where the build cannot observe them (on Windows).
bool ObserveFileCalls(void (*observer)());

// Collects every OutputDebugStringA text written by any thread while it lives.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // Everything written since construction or the previous Take, in order.
  std::string Take();
  // False where the build cannot observe debugger output; tests then skip their line checks.
  static bool Supported();
};

// A window handle that receives PostMessageW. Messages are handed to `handler` only while the
// owning thread runs Pump. After destruction the handle is invalid and posts to it fail.
class TestWindow {
 public:
  TestWindow();
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return hwnd_; }

  using Handler = std::function<void(UINT message, WPARAM wparam, LPARAM lparam)>;
  // Delivers posted messages to `handler` until `done` returns true (checked after each message
  // and on each wake) or `timeout_ms` passes. Returns the number of messages delivered.
  int Pump(const Handler& handler, DWORD timeout_ms, const std::function<bool()>& done = {});

 private:
  HWND hwnd_ = nullptr;
};

}  // namespace platform_test

#endif  // PLATFORM_TEST_SUPPORT_H_
