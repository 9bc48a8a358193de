// The C interface of the engine library (flutter_windows.dll), declared by us: opaque handles,
// the two records exchanged with it and its functions. Every function is called on the
// user-interface thread, except the messenger's reference counting, lock, availability test and
// SendResponse, which a reply may call from any thread.
#ifndef CHANNELS_FLUTTER_DESKTOP_H_
#define CHANNELS_FLUTTER_DESKTOP_H_

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "platform/win32.h"

// Windows consumers import the functions from the DLL; the DLL itself exports them. Test
// programs that link the stand-in engine statically define FLUTTER_DESKTOP_STATIC.
#if defined(_WIN32) && !defined(FLUTTER_DESKTOP_STATIC)
#if defined(FLUTTER_DESKTOP_BUILDING_DLL)
#define FLUTTER_DESKTOP_EXPORT __declspec(dllexport)
#else
#define FLUTTER_DESKTOP_EXPORT __declspec(dllimport)
#endif
#else
#define FLUTTER_DESKTOP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlutterDesktopEngine* FlutterDesktopEngineRef;
typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;
typedef struct FlutterDesktopViewController* FlutterDesktopViewControllerRef;
typedef struct FlutterDesktopView* FlutterDesktopViewRef;
typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;
// Identifies one incoming message until it is answered; never dereferenced by the program.
typedef struct FlutterDesktopMessageResponseHandle FlutterDesktopMessageResponseHandle;

// What the engine is started with. Every pointer is borrowed for the duration of
// FlutterDesktopEngineCreate only.
typedef struct {
  const wchar_t* assets_path;       // asset directory
  const wchar_t* icu_data_path;     // ICU data file
  const wchar_t* aot_library_path;  // compiled application library
  const char* entrypoint;           // UTF-8, empty for the default entry point
  int32_t entrypoint_argc;
  int32_t reserved0;             // always 0
  const char** entrypoint_argv;  // entrypoint_argc UTF-8 strings, null when there are none
  int32_t engine_options[4];     // passed through unchanged
  uint8_t engine_switch;         // passed through unchanged
  uint8_t reserved1[7];          // always 0
} FlutterDesktopEngineProperties;

// One message from the user interface, valid for the duration of the message callback.
typedef struct {
  size_t struct_size;  // sizeof(FlutterDesktopMessage)
  const char* channel;
  const uint8_t* message;
  uint64_t message_size;  // bytes
  const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

#ifdef __cplusplus
static_assert(sizeof(void*) == 8, "the engine records are laid out for 64-bit processes");
static_assert(sizeof(FlutterDesktopEngineProperties) == 72, "engine properties record size");
static_assert(offsetof(FlutterDesktopEngineProperties, icu_data_path) == 8, "icu path offset");
static_assert(offsetof(FlutterDesktopEngineProperties, aot_library_path) == 16, "aot offset");
static_assert(offsetof(FlutterDesktopEngineProperties, entrypoint) == 24, "entry point offset");
static_assert(offsetof(FlutterDesktopEngineProperties, entrypoint_argc) == 32, "argc offset");
static_assert(offsetof(FlutterDesktopEngineProperties, entrypoint_argv) == 40, "argv offset");
static_assert(offsetof(FlutterDesktopEngineProperties, engine_options) == 48, "options offset");
static_assert(offsetof(FlutterDesktopEngineProperties, engine_switch) == 64, "switch offset");
static_assert(sizeof(FlutterDesktopMessage) == 40, "message record size");
static_assert(offsetof(FlutterDesktopMessage, channel) == 8, "channel offset");
static_assert(offsetof(FlutterDesktopMessage, message) == 16, "message bytes offset");
static_assert(offsetof(FlutterDesktopMessage, message_size) == 24, "message size offset");
static_assert(offsetof(FlutterDesktopMessage, response_handle) == 32, "response offset");
#endif

// Receives the reply to a message sent with FlutterDesktopMessengerSendWithReply.
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);

// Receives one message on a channel that has a callback.
typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);

// Called once, after the next frame.
typedef void (*FlutterDesktopOnNextFrameCallback)(void* user_data);

// ---- Engine ----
FLUTTER_DESKTOP_EXPORT FlutterDesktopEngineRef
FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* properties);
// The engine's messenger; the caller gets no reference of its own and releases none.
FLUTTER_DESKTOP_EXPORT FlutterDesktopMessengerRef
FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine);
// Only for an engine that was never handed to a view controller.
FLUTTER_DESKTOP_EXPORT bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_EXPORT FlutterDesktopPluginRegistrarRef
FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine, const char* plugin_name);
FLUTTER_DESKTOP_EXPORT void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_EXPORT void FlutterDesktopEngineSetNextFrameCallback(
    FlutterDesktopEngineRef engine, FlutterDesktopOnNextFrameCallback callback, void* user_data);

// ---- View controller and view ----
// Takes ownership of engine, also when it fails (it then returns null).
FLUTTER_DESKTOP_EXPORT FlutterDesktopViewControllerRef
FlutterDesktopViewControllerCreate(int width, int height, FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_EXPORT FlutterDesktopViewRef
FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller);
// Frees the controller, its view and its engine.
FLUTTER_DESKTOP_EXPORT void FlutterDesktopViewControllerDestroy(
    FlutterDesktopViewControllerRef controller);
FLUTTER_DESKTOP_EXPORT void FlutterDesktopViewControllerForceRedraw(
    FlutterDesktopViewControllerRef controller);
// True when the engine handled the top-level window's message; *result then holds its result.
FLUTTER_DESKTOP_EXPORT bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result);
FLUTTER_DESKTOP_EXPORT HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

// ---- Process-wide ----
// Dots per inch of the monitor; 96 is 100 %.
FLUTTER_DESKTOP_EXPORT UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor);
// Makes the engine write to the process's current standard output and error.
FLUTTER_DESKTOP_EXPORT void FlutterDesktopResyncOutputStreams(void);

// ---- Messenger ----
FLUTTER_DESKTOP_EXPORT bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                        const char* channel, const uint8_t* message,
                                                        size_t message_size);
// False: the message was not sent and reply will never be called.
FLUTTER_DESKTOP_EXPORT bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    size_t message_size, FlutterDesktopBinaryReply reply, void* user_data);
// A null callback unregisters the channel.
FLUTTER_DESKTOP_EXPORT void FlutterDesktopMessengerSetCallback(
    FlutterDesktopMessengerRef messenger, const char* channel,
    FlutterDesktopMessageCallback callback, void* user_data);
// Answers one incoming message; each response handle is answered once.
FLUTTER_DESKTOP_EXPORT void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);
// Returns messenger, which now holds one more reference.
FLUTTER_DESKTOP_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_EXPORT void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);
// Keeps the engine from going away until FlutterDesktopMessengerUnlock with the returned value.
FLUTTER_DESKTOP_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_EXPORT void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);
// False once the engine behind the messenger has gone away.
FLUTTER_DESKTOP_EXPORT bool FlutterDesktopMessengerIsAvailable(
    FlutterDesktopMessengerRef messenger);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // CHANNELS_FLUTTER_DESKTOP_H_
