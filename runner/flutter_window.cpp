#include "runner/flutter_window.h"

#include <optional>
#include <utility>

#include "guitar/guitar_monitor.h"
#include "runner/plugin_registrant.h"

namespace tonelark {

FlutterWindow::FlutterWindow(const flutter::EngineProject& project) : project_(project) {}

FlutterWindow::~FlutterWindow() {
  if (Handle() != nullptr) {
    // The window outlives this object's WM_DESTROY, so the monitor may still be bound to the
    // engine's messenger: detach it before the engine goes, as WM_DESTROY would have.
    OnTeardown();
  }
  view_controller_.reset();
}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) {
    return false;
  }

  const RECT frame = ClientRect();
  // The assignment stores the new controller before it destroys an old one.
  view_controller_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, project_);
  if (view_controller_->Engine() == nullptr || view_controller_->View() == nullptr) {
    return false;
  }

  RegisterAllPlugins(view_controller_->Engine());
  GuitarMonitorAttach(Handle(), view_controller_->Engine()->Messenger());
  SetContent(view_controller_->View()->NativeWindow());

  // Hidden until the engine has something to show.
  view_controller_->Engine()->OnNextFrame([this]() { Show(); });
  view_controller_->Redraw();
  return true;
}

void FlutterWindow::OnTeardown() {
  // The monitor unregisters its channels while the engine still exists.
  GuitarMonitorDetach();
  if (view_controller_) {
    // Emptied first: messages sent while the controller and its engine go down must not find
    // them.
    std::unique_ptr<flutter::FlutterViewController> controller = std::move(view_controller_);
    controller.reset();
  }
  Win32Window::OnTeardown();
}

LRESULT FlutterWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (GuitarMonitorHandleMessage(message)) {
    return 0;
  }

  if (view_controller_) {
    const std::optional<LRESULT> result =
        view_controller_->PreprocessMessage(hwnd, message, wparam, lparam);
    if (result) {
      return *result;
    }
  }

  if (message == WM_FONTCHANGE && view_controller_) {
    view_controller_->Engine()->ReloadFonts();
  }

  return Win32Window::HandleMessage(hwnd, message, wparam, lparam);
}

}  // namespace tonelark
