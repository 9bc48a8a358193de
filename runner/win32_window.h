// The program's top-level window: owns the native window and its window class, scales the
// requested placement to the monitor's DPI, follows the system's light or dark app theme in the
// title bar and keeps one content child filling the client area. Everything here runs on the
// user-interface thread.
#ifndef RUNNER_WIN32_WINDOW_H_
#define RUNNER_WIN32_WINDOW_H_

#include <windows.h>

#include <cstdint>
#include <string>

namespace tonelark {

class Win32Window {
 public:
  // Logical units at 96 DPI; Create scales both to the monitor.
  struct Point {
    int x;
    int y;
  };
  struct Size {
    int width;
    int height;
  };

  Win32Window();
  // The last object to go unregisters the window class. Only this class's OnTeardown runs here:
  // a derived class has been torn down by the time this destructor runs.
  virtual ~Win32Window();

  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the window hidden, after removing any window this object already has. False when
  // the native window cannot be created or OnCreate fails (the native window then stays until
  // Destroy or the destructor).
  bool Create(const std::wstring& title, const Point& origin, const Size& size);

  // Shows the window normally, whatever the process was asked for at start-up. Returns
  // ShowWindow's result, that is whether the window was visible before.
  bool Show();

  // Runs OnTeardown and destroys the native window. Safe to call when there is none.
  void Destroy();

  // Makes `content` the child that fills the client area and takes the focus.
  void SetContent(HWND content);

  RECT ClientRect();
  HWND Handle();

  // When set, WM_DESTROY posts WM_QUIT so that closing the window ends the message loop.
  void SetQuitOnDestroy(bool quit_on_destroy);

 protected:
  virtual LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  // Called by Create once the native window exists; false makes Create fail.
  virtual bool OnCreate();
  // Called by Destroy before the native window goes away, also when there is none yet, and a
  // second time from the WM_DESTROY that Destroy itself causes: overrides must be idempotent.
  virtual void OnTeardown();

 private:
  static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  bool quit_on_destroy_ = false;
  HWND window_ = nullptr;
  HWND content_window_ = nullptr;

  // Objects alive in the process; the window class lives while this is above zero.
  static int32_t live_window_count_;
};

// Turns the dark title bar on or off from the user's "AppsUseLightTheme" setting; leaves the frame
// alone when the setting cannot be read.
void ApplySystemTheme(HWND hwnd);

}  // namespace tonelark

#endif  // RUNNER_WIN32_WINDOW_H_
