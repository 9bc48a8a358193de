// Registers the plugins that live in their own libraries with the engine.
#ifndef RUNNER_PLUGIN_REGISTRANT_H_
#define RUNNER_PLUGIN_REGISTRANT_H_

#include "channels/plugin_registry.h"

namespace tonelark {

// Hands each plugin its registrar, the recording plugin first, then the web-view plugin.
void RegisterAllPlugins(flutter::PluginRegistry* registry);

}  // namespace tonelark

#endif  // RUNNER_PLUGIN_REGISTRANT_H_
