// On the host a test window is a message queue registered under a fresh handle. On Windows it is
// a message-only window whose procedure hands each message to the handler of the running Pump.
#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/test_support.h"

#ifndef _WIN32
#include "platform/native/host_hooks.h"
#endif

namespace platform_test {
namespace {

using Clock = std::chrono::steady_clock;

// Pump wakes at least this often so that `done` may also watch state that no message announces.
constexpr auto kDoneRecheck = std::chrono::milliseconds(10);

Clock::time_point DeadlineAfter(DWORD timeout_ms) {
  if (timeout_ms == INFINITE) return Clock::time_point::max();
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

bool Done(const std::function<bool()>& done) { return done && done(); }

}  // namespace

#ifdef _WIN32

namespace {

constexpr wchar_t kClassName[] = L"TonelarkPlatformTestWindow";

// What the window procedure needs while Pump runs; GWLP_USERDATA points to it.
struct PumpState {
  const TestWindow::Handler* handler;
  int delivered;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<PumpState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (state != nullptr) {
    ++state->delivered;
    (*state->handler)(message, wparam, lparam);
  }
  return message < WM_USER ? DefWindowProcW(hwnd, message, wparam, lparam) : 0;
}

// The window class, registered on first use and unregistered at exit.
class WindowClass {
 public:
  WindowClass() {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClassName;
    atom_ = RegisterClassExW(&window_class);
  }
  ~WindowClass() {
    if (atom_ != 0) UnregisterClassW(kClassName, GetModuleHandleW(nullptr));
  }
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;

 private:
  ATOM atom_ = 0;
};

void EnsureWindowClass() { static WindowClass window_class; }

}  // namespace

TestWindow::TestWindow() {
  EnsureWindowClass();
  hwnd_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
}

TestWindow::~TestWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

int TestWindow::Pump(const Handler& handler, DWORD timeout_ms, const std::function<bool()>& done) {
  if (hwnd_ == nullptr) return 0;
  const Clock::time_point deadline = DeadlineAfter(timeout_ms);
  PumpState state{&handler, 0};
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  for (;;) {
    MSG msg;
    bool finished = false;
    while (!finished && PeekMessageW(&msg, hwnd_, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&msg);
      finished = Done(done);
    }
    if (finished || Done(done)) break;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    const auto wait = std::min<Clock::duration>(deadline - now, kDoneRecheck);
    const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count() + 1;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait_ms), QS_ALLINPUT);
  }
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  return state.delivered;
}

#else

TestWindow::TestWindow() {
  hwnd_ = platform::native::RegisterMessageReceiver(
      std::make_shared<platform::native::MessageReceiver>());
}

TestWindow::~TestWindow() { platform::native::UnregisterMessageReceiver(hwnd_); }

int TestWindow::Pump(const Handler& handler, DWORD timeout_ms, const std::function<bool()>& done) {
  const std::shared_ptr<platform::native::MessageReceiver> receiver =
      platform::native::FindMessageReceiver(hwnd_);
  if (!receiver) return 0;
  const Clock::time_point deadline = DeadlineAfter(timeout_ms);
  int delivered = 0;
  for (;;) {
    platform::native::PostedMessage message;
    while (receiver->TryPop(&message)) {
      ++delivered;
      handler(message.message, message.wparam, message.lparam);
      if (Done(done)) return delivered;
    }
    if (Done(done)) return delivered;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return delivered;
    receiver->WaitUntilQueued(std::min(deadline, now + kDoneRecheck));
  }
}

#endif

}  // namespace platform_test
