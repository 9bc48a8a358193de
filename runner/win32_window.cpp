#include "runner/win32_window.h"

#include <dwmapi.h>

#include "channels/flutter_desktop.h"
#include "runner/resource.h"

namespace tonelark {

namespace {

constexpr wchar_t kWindowClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";

// Not in every SDK's dwmapi.h.
constexpr DWORD kDwmUseImmersiveDarkMode = 20;

constexpr wchar_t kThemeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr wchar_t kThemeValue[] = L"AppsUseLightTheme";

// Owns the process's registration of the window class. Created on first use and never freed, so
// that it outlives every window object, including static ones.
class WindowClassRegistrar {
 public:
  static WindowClassRegistrar& Instance() {
    static WindowClassRegistrar* const instance = new WindowClassRegistrar();
    return *instance;
  }

  void EnsureRegistered(WNDPROC procedure) {
    if (class_registered_) {
      return;
    }
    WNDCLASSW window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = procedure;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hIcon = LoadIconW(window_class.hInstance, MAKEINTRESOURCEW(IDI_APP_ICON));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = nullptr;
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = kWindowClassName;
    // A failure here shows up as CreateWindowExW failing.
    RegisterClassW(&window_class);
    class_registered_ = true;
  }

  void Unregister() {
    UnregisterClassW(kWindowClassName, nullptr);
    class_registered_ = false;
  }

 private:
  WindowClassRegistrar() = default;

  bool class_registered_ = false;
};

// The monitor's scale factor relative to 96 DPI for a point in logical units.
double ScaleFactorAt(const Win32Window::Point& origin) {
  const POINT point{origin.x, origin.y};
  HMONITOR monitor = MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST);
  const UINT dpi = FlutterDesktopGetDpiForMonitor(monitor);
  return dpi / 96.0;
}

int Scale(int logical, double scale_factor) { return static_cast<int>(logical * scale_factor); }

// Lets Windows scale the title bar and borders with the monitor's DPI where the call exists.
void EnableFullDpiSupportIfAvailable(HWND hwnd) {
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) {
    return;
  }
  using EnableNonClientDpiScalingFn = BOOL(WINAPI*)(HWND);
  auto enable_non_client_dpi_scaling = reinterpret_cast<EnableNonClientDpiScalingFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable_non_client_dpi_scaling != nullptr) {
    enable_non_client_dpi_scaling(hwnd);
  }
  FreeLibrary(user32);
}

}  // namespace

int32_t Win32Window::live_window_count_ = 0;

Win32Window::Win32Window() { ++live_window_count_; }

Win32Window::~Win32Window() {
  --live_window_count_;
  Destroy();
}

bool Win32Window::Create(const std::wstring& title, const Point& origin, const Size& size) {
  Destroy();

  WindowClassRegistrar::Instance().EnsureRegistered(WindowProcedure);

  const double scale_factor = ScaleFactorAt(origin);
  HWND window = CreateWindowExW(0, kWindowClassName, title.c_str(), WS_OVERLAPPEDWINDOW,
                                Scale(origin.x, scale_factor), Scale(origin.y, scale_factor),
                                Scale(size.width, scale_factor), Scale(size.height, scale_factor),
                                nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (window == nullptr) {
    return false;
  }

  ApplySystemTheme(window);
  return OnCreate();
}

bool Win32Window::Show() { return ShowWindow(window_, SW_SHOWNORMAL) != 0; }

void Win32Window::Destroy() {
  OnTeardown();

  if (window_ != nullptr) {
    DestroyWindow(window_);
    window_ = nullptr;
  }
  if (live_window_count_ == 0) {
    WindowClassRegistrar::Instance().Unregister();
  }
}

void Win32Window::SetContent(HWND content) {
  content_window_ = content;
  SetParent(content, window_);
  const RECT frame = ClientRect();
  MoveWindow(content, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
             TRUE);
  SetFocus(content);
}

RECT Win32Window::ClientRect() {
  RECT frame{};
  GetClientRect(window_, &frame);
  return frame;
}

HWND Win32Window::Handle() { return window_; }

void Win32Window::SetQuitOnDestroy(bool quit_on_destroy) { quit_on_destroy_ = quit_on_destroy; }

LRESULT Win32Window::HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      window_ = nullptr;
      Destroy();
      if (quit_on_destroy_) {
        PostQuitMessage(0);
      }
      return 0;

    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }

    case WM_SIZE: {
      const RECT frame = ClientRect();
      if (content_window_ != nullptr) {
        MoveWindow(content_window_, frame.left, frame.top, frame.right - frame.left,
                   frame.bottom - frame.top, TRUE);
      }
      return 0;
    }

    case WM_ACTIVATE:
      if (content_window_ != nullptr) {
        SetFocus(content_window_);
      }
      return 0;

    case WM_DWMCOLORIZATIONCOLORCHANGED:
      ApplySystemTheme(hwnd);
      return 0;
  }

  return DefWindowProcW(window_, message, wparam, lparam);
}

bool Win32Window::OnCreate() { return true; }

void Win32Window::OnTeardown() {}

LRESULT CALLBACK Win32Window::WindowProcedure(HWND hwnd, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create_struct = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    auto* window = static_cast<Win32Window*>(create_struct->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    EnableFullDpiSupportIfAvailable(hwnd);
    if (window != nullptr) {
      window->window_ = hwnd;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  auto* window = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window != nullptr) {
    return window->HandleMessage(hwnd, message, wparam, lparam);
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void ApplySystemTheme(HWND hwnd) {
  DWORD light_theme = 0;
  DWORD size = sizeof(light_theme);
  const LONG status = RegGetValueW(HKEY_CURRENT_USER, kThemeKey, kThemeValue, RRF_RT_REG_DWORD,
                                   nullptr, &light_theme, &size);
  if (status != ERROR_SUCCESS) {
    return;
  }
  const BOOL dark = light_theme == 0 ? TRUE : FALSE;
  DwmSetWindowAttribute(hwnd, kDwmUseImmersiveDarkMode, &dark, sizeof(dark));
}

}  // namespace tonelark
