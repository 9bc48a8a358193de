#include "runner/plugin_registrant.h"

#include "channels/flutter_desktop.h"

// The plugins' entry points, exported by record_windows_plugin.dll and
// webview_windows_plugin.dll. Declared without dllimport so that a test can link its own
// definitions; with the import libraries the linker's thunks reach the DLLs.
extern "C" {
void RecordWindowsPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
void WebviewWindowsPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
}

namespace tonelark {

void RegisterAllPlugins(flutter::PluginRegistry* registry) {
  RecordWindowsPluginCApiRegisterWithRegistrar(
      registry->RegistrarForPlugin("RecordWindowsPluginCApi"));
  WebviewWindowsPluginRegisterWithRegistrar(registry->RegistrarForPlugin("WebviewWindowsPlugin"));
}

}  // namespace tonelark
