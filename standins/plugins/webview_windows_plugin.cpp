// Stand-in for the web-view plugin's library: registration is all the program asks of it.
#include "channels/flutter_desktop.h"
#include "standins/plugins/plugin_log.h"

extern "C" __declspec(dllexport) void WebviewWindowsPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  plugin_standin::LogRegistration("WebviewWindowsPluginRegisterWithRegistrar", registrar);
}
