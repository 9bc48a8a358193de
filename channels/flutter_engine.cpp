#include "channels/flutter_engine.h"

#include <cstddef>
#include <iostream>
#include <utility>
#include <vector>

namespace flutter {

FlutterEngine::FlutterEngine(const EngineProject& project) {
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = project.assets_path.c_str();
  properties.icu_data_path = project.icu_data_path.c_str();
  properties.aot_library_path = project.aot_library_path.c_str();
  properties.entrypoint = project.entrypoint.c_str();
  // Lives until the engine has copied what it needs, at the end of this constructor.
  std::vector<const char*> argv;
  argv.reserve(project.entrypoint_arguments.size());
  for (const std::string& argument : project.entrypoint_arguments) {
    argv.push_back(argument.c_str());
  }
  properties.entrypoint_argc = static_cast<int32_t>(argv.size());
  properties.entrypoint_argv = argv.empty() ? nullptr : argv.data();
  for (size_t i = 0; i < project.engine_options.size(); ++i) {
    properties.engine_options[i] = project.engine_options[i];
  }
  properties.engine_switch = project.engine_switch;

  handle_ = FlutterDesktopEngineCreate(&properties);
  // Without an engine the messenger is inert; view-controller creation then reports the failure.
  messenger_ = std::make_unique<BinaryMessengerImpl>(
      handle_ != nullptr ? FlutterDesktopEngineGetMessenger(handle_) : nullptr);
}

FlutterEngine::~FlutterEngine() {
  if (handle_ != nullptr && owns_handle_) {
    FlutterDesktopEngineDestroy(handle_);
  }
  handle_ = nullptr;
  frame_callback_ = nullptr;
  messenger_.reset();
}

FlutterDesktopPluginRegistrarRef FlutterEngine::RegistrarForPlugin(const std::string& plugin_name) {
  if (handle_ == nullptr) {
    std::cerr << "Cannot get plugin registrar on an engine that isn't running; call Run first."
              << std::endl;
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(handle_, plugin_name.c_str());
}

void FlutterEngine::ReloadFonts() {
  if (handle_ != nullptr) {
    FlutterDesktopEngineReloadSystemFonts(handle_);
  }
}

void FlutterEngine::OnNextFrame(std::function<void()> callback) {
  frame_callback_ = std::move(callback);
  if (handle_ != nullptr) {
    FlutterDesktopEngineSetNextFrameCallback(handle_, &FlutterEngine::OnFrame, this);
  }
}

FlutterDesktopEngineRef FlutterEngine::TakeEngineHandle() {
  owns_handle_ = false;
  return handle_;
}

void FlutterEngine::DropTakenHandle() {
  handle_ = nullptr;
  frame_callback_ = nullptr;
  messenger_ = std::make_unique<BinaryMessengerImpl>(nullptr);
}

void FlutterEngine::OnFrame(void* user_data) {
  auto* engine = static_cast<FlutterEngine*>(user_data);
  // Taken out before the call: the callback may register the next one, which must survive.
  std::function<void()> callback = std::move(engine->frame_callback_);
  engine->frame_callback_ = nullptr;
  if (callback) {
    callback();
  }
}

}  // namespace flutter
