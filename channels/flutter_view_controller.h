#ifndef CHANNELS_FLUTTER_VIEW_CONTROLLER_H_
#define CHANNELS_FLUTTER_VIEW_CONTROLLER_H_

#include <memory>
#include <optional>

#include "channels/engine_project.h"
#include "channels/flutter_desktop.h"
#include "channels/flutter_engine.h"
#include "channels/flutter_view.h"
#include "platform/win32.h"

namespace flutter {

// Creates the engine and its view and owns both. Used on the user-interface thread.
//
// Destruction ends the engine first and only then releases the FlutterEngine wrapper, so its
// messenger's handler table outlives every message the engine can deliver. Nothing may send
// through the engine's messenger once destruction has begun.
class FlutterViewController {
 public:
  // width and height: the view's size in physical pixels. On failure "Failed to create view
  // controller." goes to standard error and View() is null.
  FlutterViewController(int width, int height, const EngineProject& project);
  virtual ~FlutterViewController();

  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  FlutterEngine* Engine() const { return engine_.get(); }
  // Null when creation failed.
  FlutterView* View() const { return view_.get(); }

  void Redraw();

  // Offers a top-level window message to the engine: its result when the engine handled it,
  // empty otherwise.
  std::optional<LRESULT> PreprocessMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  FlutterDesktopViewControllerRef handle_ = nullptr;  // null if creation failed
  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterView> view_;  // empty if creation failed
};

}  // namespace flutter

#endif  // CHANNELS_FLUTTER_VIEW_CONTROLLER_H_
