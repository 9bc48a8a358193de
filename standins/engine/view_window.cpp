#include "standins/engine/view_window.h"

#include <mutex>
#include <utility>

#include "standins/engine/standin_state.h"

namespace engine_standin {

namespace {

constexpr wchar_t kClassName[] = L"TONELARK_ENGINE_STANDIN_VIEW";
constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT kFrameDelayMs = 30;

// Any object of this module, to find the module by address.
const int kModuleAnchor = 0;

// The module this code lives in: the DLL, or the test program that links it statically.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module);
  return module;
}

// Owns one GDI object.
class ScopedGdiObject {
 public:
  explicit ScopedGdiObject(HGDIOBJ object) : object_(object) {}
  ~ScopedGdiObject() {
    if (object_ != nullptr) {
      DeleteObject(object_);
    }
  }
  ScopedGdiObject(const ScopedGdiObject&) = delete;
  ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
  HBRUSH brush() const { return static_cast<HBRUSH>(object_); }

 private:
  HGDIOBJ object_;
};

}  // namespace

// The window class registration, shared by every view and unregistered with the last one.
class WindowClass {
 public:
  static std::shared_ptr<WindowClass> Acquire(WNDPROC procedure) {
    static std::mutex mutex;
    static std::weak_ptr<WindowClass> current;
    std::lock_guard<std::mutex> guard(mutex);
    std::shared_ptr<WindowClass> window_class = current.lock();
    if (window_class) {
      return window_class;
    }
    WNDCLASSW description{};
    description.lpfnWndProc = procedure;
    description.hInstance = ThisModule();
    description.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    description.lpszClassName = kClassName;
    if (RegisterClassW(&description) == 0) {
      return nullptr;
    }
    window_class.reset(new WindowClass(description.hInstance));
    current = window_class;
    return window_class;
  }

  ~WindowClass() { UnregisterClassW(kClassName, instance_); }

  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;

  HINSTANCE instance() const { return instance_; }

 private:
  explicit WindowClass(HINSTANCE instance) : instance_(instance) {}

  HINSTANCE instance_;
};

std::unique_ptr<ViewWindow> ViewWindow::Create(int width, int height,
                                               FlutterDesktopEngine* engine) {
  std::shared_ptr<WindowClass> window_class = WindowClass::Acquire(&ViewWindow::WindowProcedure);
  if (!window_class) {
    return nullptr;
  }
  std::unique_ptr<ViewWindow> window(new ViewWindow(engine, window_class));
  window->parking_ = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPED, 0, 0, width, height,
                                     nullptr, nullptr, window_class->instance(), nullptr);
  if (window->parking_ == nullptr) {
    return nullptr;
  }
  HWND view = CreateWindowExW(0, kClassName, L"Tonelark engine stand-in",
                              WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, width, height,
                              window->parking_, nullptr, window_class->instance(), window.get());
  if (view == nullptr) {
    return nullptr;
  }
  return window;
}

ViewWindow::ViewWindow(FlutterDesktopEngine* engine, std::shared_ptr<WindowClass> window_class)
    : engine_(engine), window_class_(std::move(window_class)) {}

ViewWindow::~ViewWindow() {
  if (view_ != nullptr) {
    DestroyWindow(view_);
  }
  if (parking_ != nullptr) {
    DestroyWindow(parking_);
  }
}

void ViewWindow::ScheduleFrame() {
  if (view_ != nullptr) {
    SetTimer(view_, kFrameTimer, kFrameDelayMs, nullptr);
  }
}

void ViewWindow::Invalidate() {
  if (view_ != nullptr) {
    InvalidateRect(view_, nullptr, FALSE);
  }
}

LRESULT CALLBACK ViewWindow::WindowProcedure(HWND hwnd, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    auto* window = static_cast<ViewWindow*>(create->lpCreateParams);
    if (window != nullptr) {
      window->view_ = hwnd;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  auto* window = reinterpret_cast<ViewWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr) {
    return DefWindowProcW(hwnd, message, wparam, lparam);  // the parking window
  }
  return window->HandleMessage(hwnd, message, wparam, lparam);
}

LRESULT ViewWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers the whole client area
    case WM_PAINT:
      Paint(hwnd);
      State::Get().FireNextFrame(engine_);
      return 0;
    case WM_TIMER:
      if (wparam == kFrameTimer) {
        KillTimer(hwnd, kFrameTimer);
        State::Get().FireNextFrame(engine_);
        return 0;
      }
      break;
    case WM_NCDESTROY:
      // Also reached when the program's window, the view's new parent, is destroyed first.
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      view_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void ViewWindow::Paint(HWND hwnd) {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(hwnd, &paint);
  RECT client{};
  GetClientRect(hwnd, &client);
  {
    ScopedGdiObject background(CreateSolidBrush(RGB(28, 32, 40)));
    FillRect(dc, &client, background.brush());
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(224, 224, 224));
  RECT title = client;
  title.top += 8;
  DrawTextW(dc, L"Tonelark engine stand-in", -1, &title, DT_CENTER | DT_TOP | DT_SINGLELINE);
  std::shared_ptr<const ViewPainter> painter;
  {
    State& state = State::Get();
    std::lock_guard<std::mutex> guard(state.mutex);
    painter = state.view_painter;
  }
  if (painter && *painter) {
    (*painter)(hwnd, dc, client);
  }
  EndPaint(hwnd, &paint);
}

}  // namespace engine_standin
