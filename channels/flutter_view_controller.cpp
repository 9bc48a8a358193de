#include "channels/flutter_view_controller.h"

#include <iostream>

namespace flutter {

FlutterViewController::FlutterViewController(int width, int height, const EngineProject& project) {
  engine_ = std::make_shared<FlutterEngine>(project);
  FlutterDesktopEngineRef engine_handle = engine_->TakeEngineHandle();
  if (engine_handle != nullptr) {
    handle_ = FlutterDesktopViewControllerCreate(width, height, engine_handle);
  }
  if (handle_ == nullptr) {
    engine_->DropTakenHandle();
    std::cerr << "Failed to create view controller." << std::endl;
    return;
  }
  view_ = std::make_unique<FlutterView>(FlutterDesktopViewControllerGetView(handle_));
}

FlutterViewController::~FlutterViewController() {
  if (handle_ != nullptr) {
    FlutterDesktopViewControllerDestroy(handle_);
    handle_ = nullptr;
  }
  view_.reset();
  engine_.reset();
}

void FlutterViewController::Redraw() {
  if (handle_ != nullptr) {
    FlutterDesktopViewControllerForceRedraw(handle_);
  }
}

std::optional<LRESULT> FlutterViewController::PreprocessMessage(HWND hwnd, UINT message,
                                                                WPARAM wparam, LPARAM lparam) {
  if (handle_ == nullptr) {
    return std::nullopt;
  }
  LRESULT result = 0;
  if (FlutterDesktopViewControllerHandleTopLevelWindowProc(handle_, hwnd, message, wparam, lparam,
                                                           &result)) {
    return result;
  }
  return std::nullopt;
}

}  // namespace flutter
