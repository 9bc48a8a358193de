// Process entry: console, COM, the engine's project, the host window and the message loop.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <cstdlib>
#include <iostream>

#include "channels/engine_project.h"
#include "channels/flutter_desktop.h"
#include "guitar/engine_log.h"
#include "runner/command_line.h"
#include "runner/flutter_window.h"
#include "tonelark_version.h"

namespace {

constexpr wchar_t kDataDirectory[] = L"data";
constexpr wchar_t kWindowTitle[] = L"tonelark";
constexpr tonelark::Win32Window::Point kWindowOrigin{10, 10};
constexpr tonelark::Win32Window::Size kWindowSize{1280, 720};

// Gives a program started under a debugger without a console somewhere to see its standard
// output and error.
void AttachDebugConsole() {
  if (!AllocConsole()) {
    return;
  }
  FILE* unused = nullptr;
  if (freopen_s(&unused, "CONOUT$", "w", stdout) != 0) {
    _dup2(_fileno(stdout), 1);
  }
  if (freopen_s(&unused, "CONOUT$", "w", stderr) != 0) {
    _dup2(_fileno(stdout), 2);
  }
  std::ios::sync_with_stdio(true);
  FlutterDesktopResyncOutputStreams();
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                      wchar_t* /*command_line*/, int /*show_command*/) {
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && IsDebuggerPresent()) {
    AttachDebugConsole();
  }

  // The engine's lines for the debugger also go to the log file a player can send, until the
  // window and the engine are gone.
  tonelark::EngineLog log(tonelark::EngineLog::DefaultFolder(), TONELARK_VERSION_SHORT);

  // For the plugins, which use COM on this thread and expect a single-threaded apartment; the
  // audio thread initialises COM for itself. A failure is not reported: the program goes on.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  flutter::EngineProject project(kDataDirectory);
  project.entrypoint_arguments = tonelark::CommandLineArguments();

  tonelark::FlutterWindow window(project);
  if (!window.Create(kWindowTitle, kWindowOrigin, kWindowSize)) {
    return EXIT_FAILURE;
  }
  window.SetQuitOnDestroy(true);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  CoUninitialize();
  return EXIT_SUCCESS;
}
