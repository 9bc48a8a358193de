#ifndef CHANNELS_PLUGIN_REGISTRY_H_
#define CHANNELS_PLUGIN_REGISTRY_H_

#include <string>

#include "channels/flutter_desktop.h"

namespace flutter {

// What plugin registration sees of the engine.
class PluginRegistry {
 public:
  PluginRegistry() = default;
  virtual ~PluginRegistry() = default;

  PluginRegistry(const PluginRegistry&) = delete;
  PluginRegistry& operator=(const PluginRegistry&) = delete;

  // The registrar for plugin_name (UTF-8), or null when the engine is not running.
  virtual FlutterDesktopPluginRegistrarRef RegistrarForPlugin(const std::string& plugin_name) = 0;
};

}  // namespace flutter

#endif  // CHANNELS_PLUGIN_REGISTRY_H_
