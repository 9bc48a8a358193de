// The stand-in engine's view under Windows: a real child window that paints itself and produces
// the engine's frames. Created, used and destroyed on the user-interface thread.
#ifndef STANDINS_ENGINE_VIEW_WINDOW_H_
#define STANDINS_ENGINE_VIEW_WINDOW_H_

#ifdef _WIN32

#include <memory>

#include "channels/flutter_desktop.h"
#include "platform/win32.h"

namespace engine_standin {

class WindowClass;

class ViewWindow {
 public:
  // A visible child of width x height physical pixels under a hidden parking window, until the
  // program moves it into its own window. Null when a window cannot be created.
  static std::unique_ptr<ViewWindow> Create(int width, int height, FlutterDesktopEngine* engine);
  ~ViewWindow();

  ViewWindow(const ViewWindow&) = delete;
  ViewWindow& operator=(const ViewWindow&) = delete;

  HWND hwnd() const { return view_; }

  // A frame follows shortly even when the window is never painted (it stays hidden until the
  // program's first frame).
  void ScheduleFrame();
  void Invalidate();

 private:
  ViewWindow(FlutterDesktopEngine* engine, std::shared_ptr<WindowClass> window_class);

  static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void Paint(HWND hwnd);

  FlutterDesktopEngine* engine_;  // not owned; outlives the window
  std::shared_ptr<WindowClass> window_class_;
  HWND parking_ = nullptr;  // hidden top-level parent until the program reparents the view
  HWND view_ = nullptr;     // null once destroyed, also when its new parent destroyed it
};

}  // namespace engine_standin

#endif  // _WIN32

#endif  // STANDINS_ENGINE_VIEW_WINDOW_H_
