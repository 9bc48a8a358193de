#ifndef CHANNELS_FLUTTER_ENGINE_H_
#define CHANNELS_FLUTTER_ENGINE_H_

#include <functional>
#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/binary_messenger_impl.h"
#include "channels/engine_project.h"
#include "channels/flutter_desktop.h"
#include "channels/plugin_registry.h"

namespace flutter {

// The engine handle with its messenger. Created with std::make_shared and held by the view
// controller, which takes over the handle; the wrapper destroys the handle itself only if it was
// never taken. All operations run on the user-interface thread.
class FlutterEngine : public PluginRegistry {
 public:
  // Starts an engine for project; the project's strings are borrowed for the duration of the
  // call only.
  explicit FlutterEngine(const EngineProject& project);
  ~FlutterEngine() override;

  FlutterDesktopPluginRegistrarRef RegistrarForPlugin(const std::string& plugin_name) override;

  // Owned by the engine; valid as long as it is.
  BinaryMessenger* Messenger() const { return messenger_.get(); }

  void ReloadFonts();

  // Runs callback once, after the next frame; replaces a callback that has not run yet.
  void OnNextFrame(std::function<void()> callback);

  // Hands the handle over: this wrapper no longer destroys it, but keeps using it.
  FlutterDesktopEngineRef TakeEngineHandle();

 private:
  friend class FlutterViewController;

  // A view-controller creation that fails frees the handle it was given. Forgets that handle and
  // puts an inert messenger in place of the one over it, so that later calls do nothing rather
  // than reach freed memory.
  void DropTakenHandle();

  static void OnFrame(void* user_data);

  FlutterDesktopEngineRef handle_ = nullptr;  // null when there is no engine
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  bool owns_handle_ = true;               // destroy handle_ with this object
  std::function<void()> frame_callback_;  // empty when none is waiting
};

}  // namespace flutter

#endif  // CHANNELS_FLUTTER_ENGINE_H_
