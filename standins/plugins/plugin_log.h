// Shared by the two plugin stand-ins: records each registration call so that tests can see which
// plugins the program registered, in which order and how often.
#ifndef STANDINS_PLUGINS_PLUGIN_LOG_H_
#define STANDINS_PLUGINS_PLUGIN_LOG_H_

#include "channels/flutter_desktop.h"

namespace plugin_standin {

// Appends "<function_name> registrar=<0x...>" and a line end to plugins.log in the directory
// named by the environment variable TONELARK_STANDIN_OUT. Does nothing when the variable is unset
// or empty; a file that cannot be opened is reported on the debugger output.
void LogRegistration(const char* function_name, FlutterDesktopPluginRegistrarRef registrar);

}  // namespace plugin_standin

#endif  // STANDINS_PLUGINS_PLUGIN_LOG_H_
