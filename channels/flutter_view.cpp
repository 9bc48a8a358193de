#include "channels/flutter_view.h"

namespace flutter {

FlutterView::FlutterView(FlutterDesktopViewRef handle) : handle_(handle) {}

FlutterView::~FlutterView() = default;

HWND FlutterView::NativeWindow() const { return FlutterDesktopViewGetHWND(handle_); }

}  // namespace flutter
