// MinGW only. The channel layer is compiled once, as a consumer of the engine DLL, so its calls
// go through the import pointers "__imp_<function>" that the DLL's import library defines. A
// program that links this stand-in statically, or code linked into the stand-in DLL itself, gets
// the same pointers from here instead. (The Microsoft linker resolves such references to local
// definitions by itself.)
#if defined(__MINGW32__)

#include "channels/flutter_desktop.h"

#define TONELARK_IMPORT_POINTER(function)            \
  extern decltype(&function) const __imp_##function; \
  decltype(&function) const __imp_##function = &function;

extern "C" {
TONELARK_IMPORT_POINTER(FlutterDesktopEngineCreate)
TONELARK_IMPORT_POINTER(FlutterDesktopEngineGetMessenger)
TONELARK_IMPORT_POINTER(FlutterDesktopEngineDestroy)
TONELARK_IMPORT_POINTER(FlutterDesktopEngineGetPluginRegistrar)
TONELARK_IMPORT_POINTER(FlutterDesktopEngineReloadSystemFonts)
TONELARK_IMPORT_POINTER(FlutterDesktopEngineSetNextFrameCallback)
TONELARK_IMPORT_POINTER(FlutterDesktopViewControllerCreate)
TONELARK_IMPORT_POINTER(FlutterDesktopViewControllerGetView)
TONELARK_IMPORT_POINTER(FlutterDesktopViewControllerDestroy)
TONELARK_IMPORT_POINTER(FlutterDesktopViewControllerForceRedraw)
TONELARK_IMPORT_POINTER(FlutterDesktopViewControllerHandleTopLevelWindowProc)
TONELARK_IMPORT_POINTER(FlutterDesktopViewGetHWND)
TONELARK_IMPORT_POINTER(FlutterDesktopGetDpiForMonitor)
TONELARK_IMPORT_POINTER(FlutterDesktopResyncOutputStreams)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerSend)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerSendWithReply)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerSetCallback)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerSendResponse)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerAddRef)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerRelease)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerLock)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerUnlock)
TONELARK_IMPORT_POINTER(FlutterDesktopMessengerIsAvailable)
}  // extern "C"

#endif
