// The program's one top-level window: hosts the Flutter view, registers the plugins, attaches the
// guitar monitor to the window and the engine's messenger, and shows itself once the first frame
// exists. Everything here runs on the user-interface thread; the audio thread reaches it only
// through the PCM-ready message posted to Handle().
#ifndef RUNNER_FLUTTER_WINDOW_H_
#define RUNNER_FLUTTER_WINDOW_H_

#include <windows.h>

#include <memory>

#include "channels/engine_project.h"
#include "channels/flutter_view_controller.h"
#include "runner/win32_window.h"

namespace tonelark {

class FlutterWindow : public Win32Window {
 public:
  // Keeps its own copy of project; creates no window (call Create).
  explicit FlutterWindow(const flutter::EngineProject& project);
  // Normally WM_DESTROY has torn everything down by now; if the window still exists, the
  // teardown runs here so that the monitor lets go of the messenger before the engine ends.
  ~FlutterWindow() override;

 protected:
  LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) override;
  bool OnCreate() override;
  void OnTeardown() override;

 private:
  flutter::EngineProject project_;
  // Empty until OnCreate and again after OnTeardown.
  std::unique_ptr<flutter::FlutterViewController> view_controller_;
};

}  // namespace tonelark

#endif  // RUNNER_FLUTTER_WINDOW_H_
