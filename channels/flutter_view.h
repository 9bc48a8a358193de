#ifndef CHANNELS_FLUTTER_VIEW_H_
#define CHANNELS_FLUTTER_VIEW_H_

#include "channels/flutter_desktop.h"
#include "platform/win32.h"

namespace flutter {

// The engine's view. The handle is owned by the view controller; used on the user-interface
// thread.
class FlutterView {
 public:
  explicit FlutterView(FlutterDesktopViewRef handle);
  virtual ~FlutterView();

  FlutterView(const FlutterView&) = delete;
  FlutterView& operator=(const FlutterView&) = delete;

  // The view's child window.
  HWND NativeWindow() const;

 private:
  FlutterDesktopViewRef handle_;  // not owned
};

}  // namespace flutter

#endif  // CHANNELS_FLUTTER_VIEW_H_
