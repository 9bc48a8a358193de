#include "runner/flutter_window.h"

#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channels/engine_project.h"
#include "gtest/gtest.h"
#include "standins/engine/engine_control.h"
#include "tests/runner/import_patch.h"

// The two plugin libraries, as the test sees them being called.
namespace {

struct PluginCall {
  std::string plugin;
  FlutterDesktopPluginRegistrarRef registrar;
  // The calling thread's COM apartment; nullopt when COM was not initialised there.
  std::optional<APTTYPE> apartment;
};
std::vector<PluginCall> g_plugin_calls;
// Set by a test that runs the whole program: the last plugin closes the window, which ends it.
bool g_close_after_plugins = false;

HWND ProgramWindowOfThisThread() {
  HWND found = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND hwnd, LPARAM found) -> BOOL {
        wchar_t name[64] = {};
        GetClassNameW(hwnd, name, 64);
        if (wcscmp(name, L"FLUTTER_RUNNER_WIN32_WINDOW") != 0) {
          return TRUE;
        }
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

void RecordPluginCall(const char* plugin, FlutterDesktopPluginRegistrarRef registrar) {
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  std::optional<APTTYPE> apartment;
  if (SUCCEEDED(CoGetApartmentType(&type, &qualifier))) {
    apartment = type;
  }
  g_plugin_calls.push_back({plugin, registrar, apartment});
}

}  // namespace

extern "C" void RecordWindowsPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  RecordPluginCall("record", registrar);
}
extern "C" void WebviewWindowsPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  RecordPluginCall("webview", registrar);
  if (g_close_after_plugins) {
    PostMessageW(ProgramWindowOfThisThread(), WM_CLOSE, 0, 0);
  }
}

namespace tonelark {
namespace {

constexpr UINT kPcmReady = 0x8007;
const char kCommandChannel[] = "tonelark/guitar";
const char kPcmChannel[] = "tonelark/guitar_pcm";

// A method call without arguments in the standard method codec.
std::vector<uint8_t> EncodedCall(const std::string& method) {
  std::vector<uint8_t> bytes = {0x07, static_cast<uint8_t>(method.size())};
  bytes.insert(bytes.end(), method.begin(), method.end());
  bytes.push_back(0x00);
  return bytes;
}

const std::vector<uint8_t> kSuccessWithoutValue = {0x00, 0x00};

// The start-up calls in the order they were made.
std::vector<std::string> StartUpCalls() {
  static const std::set<std::string> kStartUp = {
      "FlutterDesktopGetDpiForMonitor",           "FlutterDesktopEngineCreate",
      "FlutterDesktopEngineGetMessenger",         "FlutterDesktopViewControllerCreate",
      "FlutterDesktopViewControllerGetView",      "FlutterDesktopEngineGetPluginRegistrar",
      "FlutterDesktopMessengerSetCallback",       "FlutterDesktopViewGetHWND",
      "FlutterDesktopEngineSetNextFrameCallback", "FlutterDesktopViewControllerForceRedraw",
  };
  std::vector<std::string> calls;
  for (const std::string& call : engine_standin::CallLog()) {
    if (kStartUp.count(call) != 0) {
      calls.push_back(call);
    }
  }
  return calls;
}

// Index in the call log at which `channel` last got a null callback; -1 when it never did.
int64_t ChannelRemovedAt(const std::string& channel) {
  const std::vector<std::string> log = engine_standin::CallLog();
  const std::vector<engine_standin::SetCallbackCall> set_calls = engine_standin::SetCallbackCalls();
  int64_t removed_at = -1;
  size_t next_set_call = 0;
  for (size_t index = 0; index < log.size(); ++index) {
    if (log[index] != "FlutterDesktopMessengerSetCallback") {
      continue;
    }
    if (next_set_call >= set_calls.size()) {
      break;
    }
    const engine_standin::SetCallbackCall& call = set_calls[next_set_call++];
    if (call.channel == channel) {
      removed_at = call.callback == nullptr ? static_cast<int64_t>(index) : -1;
    }
  }
  return removed_at;
}

// The monitor let go of both channels before the engine ended, and nobody used a dead engine.
void ExpectCleanTeardown() {
  ASSERT_EQ(engine_standin::DestroyedByOf(), engine_standin::DestroyedBy::kViewControllerDestroy);
  const int64_t engine_end = engine_standin::DestroyedAtOf();
  for (const char* channel : {kCommandChannel, kPcmChannel}) {
    SCOPED_TRACE(channel);
    const int64_t removed = ChannelRemovedAt(channel);
    EXPECT_GE(removed, 0) << "channel still registered";
    EXPECT_LT(removed, engine_end) << "channel removed after the engine ended";
  }
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

class FlutterWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    engine_standin::Reset();
    g_plugin_calls.clear();
  }
  void TearDown() override {
    engine_standin::Reset();
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }

  static flutter::EngineProject Project() {
    flutter::EngineProject project(L"data");
    project.entrypoint_arguments = {"a", "", "\xC3\xA9"};
    return project;
  }
};

TEST_F(FlutterWindowTest, StartsTheEngineAndShowsItselfAtTheFirstFrameOnly) {
  auto project = std::make_unique<flutter::EngineProject>(Project());
  FlutterWindow window(*project);
  project.reset();  // the window keeps its own copy

  ASSERT_TRUE(window.Create(L"tonelark", {10, 10}, {640, 480}));
  HWND hwnd = window.Handle();

  const std::vector<std::string> expected_order = {
      "FlutterDesktopGetDpiForMonitor",           "FlutterDesktopEngineCreate",
      "FlutterDesktopEngineGetMessenger",         "FlutterDesktopViewControllerCreate",
      "FlutterDesktopViewControllerGetView",      "FlutterDesktopEngineGetPluginRegistrar",
      "FlutterDesktopEngineGetPluginRegistrar",   "FlutterDesktopMessengerSetCallback",
      "FlutterDesktopMessengerSetCallback",       "FlutterDesktopViewGetHWND",
      "FlutterDesktopEngineSetNextFrameCallback", "FlutterDesktopViewControllerForceRedraw",
  };
  EXPECT_EQ(StartUpCalls(), expected_order);

  const engine_standin::EngineProperties properties = engine_standin::PropertiesOf();
  EXPECT_EQ(properties.assets_path, L"data\\flutter_assets");
  EXPECT_EQ(properties.icu_data_path, L"data\\icudtl.dat");
  EXPECT_EQ(properties.aot_library_path, L"data\\app.so");
  EXPECT_EQ(properties.entrypoint_arguments, (std::vector<std::string>{"a", "", "\xC3\xA9"}));

  // Plugins: the recording plugin first, each once, with the registrar the engine gave out.
  EXPECT_EQ(engine_standin::RegistrarRequests(),
            (std::vector<std::string>{"RecordWindowsPluginCApi", "WebviewWindowsPlugin"}));
  ASSERT_EQ(g_plugin_calls.size(), 2u);
  EXPECT_EQ(g_plugin_calls[0].plugin, "record");
  EXPECT_EQ(g_plugin_calls[1].plugin, "webview");
  EXPECT_EQ(engine_standin::RegistrarPluginName(g_plugin_calls[0].registrar),
            "RecordWindowsPluginCApi");
  EXPECT_EQ(engine_standin::RegistrarPluginName(g_plugin_calls[1].registrar),
            "WebviewWindowsPlugin");

  // The view fills the client area.
  HWND view = GetWindow(hwnd, GW_CHILD);
  ASSERT_NE(view, nullptr);
  RECT client{};
  RECT view_client{};
  GetClientRect(hwnd, &client);
  GetClientRect(view, &view_client);
  EXPECT_EQ(view_client.right, client.right);
  EXPECT_EQ(view_client.bottom, client.bottom);
  EXPECT_EQ(engine_standin::RedrawCount(), 1);

  // Hidden until the engine has drawn a frame; shown once, whatever follows.
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_TRUE(engine_standin::DrawFrame());
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_FALSE(engine_standin::DrawFrame());

  window.Destroy();
  ExpectCleanTeardown();
}

TEST_F(FlutterWindowTest, MonitorAndEngineSeeMessagesFirst) {
  FlutterWindow window(Project());
  ASSERT_TRUE(window.Create(L"tonelark", {10, 10}, {320, 240}));
  HWND hwnd = window.Handle();
  const int offered_before = engine_standin::TopLevelWindowProcCount();

  // The PCM-ready message belongs to the monitor alone.
  EXPECT_EQ(SendMessageW(hwnd, kPcmReady, 0, 0), 0);
  EXPECT_EQ(engine_standin::TopLevelWindowProcCount(), offered_before);

  // A font change the engine does not claim reloads the fonts and goes on to the window.
  EXPECT_EQ(SendMessageW(hwnd, WM_FONTCHANGE, 0, 0), 0);
  EXPECT_EQ(engine_standin::TopLevelWindowProcCount(), offered_before + 1);
  EXPECT_EQ(engine_standin::FontReloadCount(), 1);

  // One the engine claims returns the engine's result and reloads nothing.
  engine_standin::ClaimWindowMessage(WM_FONTCHANGE, 42);
  EXPECT_EQ(SendMessageW(hwnd, WM_FONTCHANGE, 0, 0), 42);
  EXPECT_EQ(engine_standin::FontReloadCount(), 1);

  // The commands and the PCM stream are bound to this engine's messenger.
  engine_standin::Response listen =
      engine_standin::DeliverMessage(kPcmChannel, EncodedCall("listen"));
  EXPECT_TRUE(listen.delivered());
  EXPECT_EQ(listen.Get(), kSuccessWithoutValue);
  engine_standin::Response unknown =
      engine_standin::DeliverMessage(kCommandChannel, EncodedCall("tune"));
  EXPECT_TRUE(unknown.delivered());
  EXPECT_EQ(unknown.Get(), std::vector<uint8_t>());
  // Nothing is queued, so a wake-up sends no event.
  SendMessageW(hwnd, kPcmReady, 0, 0);
  EXPECT_TRUE(engine_standin::SentMessages().empty());

  // Closing the window ends the loop after a clean teardown.
  window.SetQuitOnDestroy(true);
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(window.Handle(), nullptr);
  ExpectCleanTeardown();
  MSG message{};
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

std::vector<UINT>* g_default_handled = nullptr;
WNDPROC g_default_window_procedure = nullptr;

LRESULT WINAPI RecordDefWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_default_handled != nullptr) {
    g_default_handled->push_back(message);
  }
  return g_default_window_procedure(hwnd, message, wparam, lparam);
}

// While the view controller is being created the window already receives messages: the view is
// made at the client area's size, and a font change that arrives meanwhile goes to the base
// class without a font reload.
TEST_F(FlutterWindowTest, BeforeTheViewControllerExists) {
  std::vector<UINT> default_handled;
  runner_test::ScopedImportPatch patch("user32.dll", "DefWindowProcW",
                                       reinterpret_cast<void*>(&RecordDefWindowProc));
  ASSERT_TRUE(patch.active()) << "the program does not import DefWindowProcW";
  g_default_window_procedure = reinterpret_cast<WNDPROC>(patch.original());

  FlutterWindow window(Project());
  RECT client_at_creation{};
  RECT view_at_creation{};
  LRESULT font_change_result = -1;
  engine_standin::SetViewControllerCreatedObserver([&](FlutterDesktopEngineRef, HWND view) {
    client_at_creation = window.ClientRect();
    GetClientRect(view, &view_at_creation);
    g_default_handled = &default_handled;
    font_change_result = SendMessageW(window.Handle(), WM_FONTCHANGE, 0, 0);
    g_default_handled = nullptr;
  });
  ASSERT_TRUE(window.Create(L"tonelark", {10, 10}, {640, 360}));
  engine_standin::SetViewControllerCreatedObserver(nullptr);

  EXPECT_GT(client_at_creation.right - client_at_creation.left, 0);
  EXPECT_EQ(view_at_creation.right - view_at_creation.left,
            client_at_creation.right - client_at_creation.left);
  EXPECT_EQ(view_at_creation.bottom - view_at_creation.top,
            client_at_creation.bottom - client_at_creation.top);

  EXPECT_EQ(font_change_result, 0);
  EXPECT_EQ(default_handled, std::vector<UINT>{WM_FONTCHANGE});
  EXPECT_EQ(engine_standin::FontReloadCount(), 0);
  window.Destroy();
  ExpectCleanTeardown();
}

// The whole program, from its entry point: the plugins are registered on a thread whose COM
// apartment is single-threaded, as they expect of the user-interface thread.
TEST_F(FlutterWindowTest, ProgramRegistersThePluginsInASingleThreadedApartment) {
  g_close_after_plugins = true;
  int exit_code = -1;
  // A thread of its own, so that no COM state of another test is found there.
  std::thread program([&exit_code] {
    exit_code = wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWNORMAL);
  });
  program.join();
  g_close_after_plugins = false;

  EXPECT_EQ(exit_code, 0);
  ASSERT_EQ(g_plugin_calls.size(), 2u);
  for (const PluginCall& call : g_plugin_calls) {
    SCOPED_TRACE(call.plugin);
    ASSERT_TRUE(call.apartment.has_value()) << "COM not initialised";
    EXPECT_TRUE(*call.apartment == APTTYPE_STA || *call.apartment == APTTYPE_MAINSTA)
        << "apartment type " << *call.apartment;
  }
  ExpectCleanTeardown();
}

TEST_F(FlutterWindowTest, FailedViewControllerFailsCreateAndNeverShowsTheWindow) {
  engine_standin::SetViewControllerCreationFails(true);
  FlutterWindow window(Project());

  testing::internal::CaptureStderr();
  EXPECT_FALSE(window.Create(L"tonelark", {10, 10}, {320, 240}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create view controller.\n");

  HWND hwnd = window.Handle();
  ASSERT_NE(hwnd, nullptr);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(engine_standin::DrawFrame());
  EXPECT_FALSE(IsWindowVisible(hwnd));
  // Neither the plugins nor the monitor were started.
  EXPECT_TRUE(g_plugin_calls.empty());
  EXPECT_TRUE(engine_standin::RegistrarRequests().empty());
  EXPECT_TRUE(engine_standin::SetCallbackCalls().empty());
  EXPECT_EQ(GetWindow(hwnd, GW_CHILD), nullptr);
  window.Destroy();
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

TEST_F(FlutterWindowTest, DestroyingTheObjectWithItsWindowAliveStillDetachesFirst) {
  {
    FlutterWindow window(Project());
    ASSERT_TRUE(window.Create(L"tonelark", {10, 10}, {320, 240}));
    engine_standin::DeliverMessage(kPcmChannel, EncodedCall("listen"));
  }
  ExpectCleanTeardown();
}

}  // namespace
}  // namespace tonelark
