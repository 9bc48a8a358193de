#include "runner/flutter_window.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "channels/engine_project.h"
#include "gtest/gtest.h"
#include "standins/engine/engine_control.h"

// The two plugin libraries, as the test sees them being called.
namespace {
std::vector<std::pair<std::string, FlutterDesktopPluginRegistrarRef>> g_plugin_calls;
}  // namespace

extern "C" void RecordWindowsPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  g_plugin_calls.emplace_back("record", registrar);
}
extern "C" void WebviewWindowsPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  g_plugin_calls.emplace_back("webview", registrar);
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
  EXPECT_EQ(g_plugin_calls[0].first, "record");
  EXPECT_EQ(g_plugin_calls[1].first, "webview");
  EXPECT_NE(g_plugin_calls[0].second, nullptr);

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
