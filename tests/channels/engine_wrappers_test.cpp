#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channels/engine_project.h"
#include "channels/flutter_engine.h"
#include "channels/flutter_view_controller.h"
#include "tests/channels/channel_test_support.h"

namespace channel_test {
namespace {

using engine_standin::DestroyedBy;
using flutter::EngineProject;
using flutter::FlutterEngine;
using flutter::FlutterViewController;

const void* PointerAt(const engine_standin::EngineProperties& properties, size_t offset) {
  const void* pointer = nullptr;
  std::memcpy(&pointer, properties.raw.data() + offset, sizeof(pointer));
  return pointer;
}

bool Contains(const std::vector<std::string>& log, const std::string& name) {
  for (const std::string& entry : log) {
    if (entry == name) {
      return true;
    }
  }
  return false;
}

using EngineWrapperTest = StandinTest;

TEST_F(EngineWrapperTest, ProjectNamesTheThreeEngineFiles) {
  EngineProject project(L"data");
  EXPECT_EQ(project.assets_path, L"data\\flutter_assets");
  EXPECT_EQ(project.icu_data_path, L"data\\icudtl.dat");
  EXPECT_EQ(project.aot_library_path, L"data\\app.so");
  EXPECT_TRUE(project.entrypoint.empty());
  EXPECT_TRUE(project.entrypoint_arguments.empty());
}

TEST_F(EngineWrapperTest, PropertiesRecordWithoutArguments) {
  EngineProject project(L"data");
  FlutterViewController controller(800, 600, project);
  engine_standin::EngineProperties properties = engine_standin::PropertiesOf();
  EXPECT_EQ(properties.assets_path, L"data\\flutter_assets");
  EXPECT_EQ(properties.icu_data_path, L"data\\icudtl.dat");
  EXPECT_EQ(properties.aot_library_path, L"data\\app.so");
  EXPECT_FALSE(properties.entrypoint_null);
  EXPECT_EQ(properties.entrypoint, "");
  EXPECT_EQ(properties.entrypoint_argc, 0);
  EXPECT_TRUE(properties.entrypoint_argv_null);
  // Padding after the count and after the switch is zero.
  for (size_t offset : {36, 37, 38, 39, 65, 66, 67, 68, 69, 70, 71}) {
    EXPECT_EQ(properties.raw[offset], 0) << offset;
  }
}

TEST_F(EngineWrapperTest, PropertiesRecordPointsIntoTheProjectInOrder) {
  EngineProject project(L"data");
  project.entrypoint_arguments = {"a", "", "\xC3\xA9"};
  project.engine_options = {1, -2, 3, 0x7FFFFFFF};
  project.engine_switch = 0xA5;
  FlutterViewController controller(800, 600, project);
  engine_standin::EngineProperties properties = engine_standin::PropertiesOf();
  EXPECT_EQ(properties.entrypoint_argc, 3);
  EXPECT_FALSE(properties.entrypoint_argv_null);
  ASSERT_EQ(properties.entrypoint_argv_pointers.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(properties.entrypoint_argv_pointers[i], project.entrypoint_arguments[i].c_str());
  }
  EXPECT_EQ(properties.entrypoint_arguments, project.entrypoint_arguments);
  EXPECT_EQ(PointerAt(properties, 0), project.assets_path.c_str());
  EXPECT_EQ(PointerAt(properties, 8), project.icu_data_path.c_str());
  EXPECT_EQ(PointerAt(properties, 16), project.aot_library_path.c_str());
  EXPECT_EQ(PointerAt(properties, 24), project.entrypoint.c_str());
  EXPECT_EQ(properties.engine_options, project.engine_options);
  EXPECT_EQ(properties.engine_switch, 0xA5);
}

TEST_F(EngineWrapperTest, ViewControllerOwnsTheEngineFromCreationOn) {
  {
    FlutterViewController controller(640, 480, EngineProject(L"data"));
    ASSERT_NE(controller.View(), nullptr);
    ASSERT_NE(controller.Engine(), nullptr);
    EXPECT_NE(controller.View()->NativeWindow(), nullptr);
    EXPECT_TRUE(engine_standin::IsRunning());
  }
  EXPECT_EQ(engine_standin::DestroyedByOf(), DestroyedBy::kViewControllerDestroy);
  std::vector<std::string> log = engine_standin::CallLog();
  EXPECT_FALSE(Contains(log, "FlutterDesktopEngineDestroy"));
  EXPECT_EQ(log[0], "FlutterDesktopEngineCreate");
  EXPECT_EQ(log[1], "FlutterDesktopEngineGetMessenger");
  EXPECT_EQ(log[2], "FlutterDesktopViewControllerCreate");
  EXPECT_EQ(log[3], "FlutterDesktopViewControllerGetView");
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

TEST_F(EngineWrapperTest, EngineNeverHandedOverIsDestroyedByItsWrapper) {
  auto engine = std::make_shared<FlutterEngine>(EngineProject(L"data"));
  EXPECT_EQ(engine_standin::DestroyedByOf(), DestroyedBy::kNotDestroyed);
  engine.reset();
  EXPECT_EQ(engine_standin::DestroyedByOf(), DestroyedBy::kEngineDestroy);
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

TEST_F(EngineWrapperTest, FailedViewControllerReportsAndLeavesNoView) {
  engine_standin::SetViewControllerCreationFails(true);
  testing::internal::CaptureStderr();
  {
    FlutterViewController controller(640, 480, EngineProject(L"data"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create view controller.\n");
    EXPECT_EQ(controller.View(), nullptr);
    EXPECT_NE(controller.Engine(), nullptr);
    controller.Redraw();
    EXPECT_FALSE(controller.PreprocessMessage(nullptr, 0x001D, 0, 0).has_value());
  }
  // The failed creation took the engine; the wrappers did not touch the handle again.
  EXPECT_EQ(engine_standin::DestroyedByOf(), DestroyedBy::kViewControllerCreate);
  EXPECT_EQ(engine_standin::RedrawCount(), 0);
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

// The failed creation freed the engine handle: whatever the program does with the engine
// afterwards must not reach it.
TEST_F(EngineWrapperTest, EngineOfAFailedViewControllerIsInert) {
  engine_standin::SetViewControllerCreationFails(true);
  testing::internal::CaptureStderr();
  FlutterViewController controller(640, 480, EngineProject(L"data"));
  FlutterEngine* engine = controller.Engine();
  const uint8_t event[] = {0x00, 0x00};
  engine->Messenger()->Send("tonelark/guitar_pcm", event, sizeof(event));
  bool replied = false;
  engine->Messenger()->Send("tonelark/guitar_pcm", event, sizeof(event),
                            [&](const uint8_t*, size_t) { replied = true; });
  engine->Messenger()->SetChannelHandler("tonelark/guitar",
                                         [](const uint8_t*, size_t, flutter::BinaryReplyFn) {});
  engine->Messenger()->SetChannelHandler("tonelark/guitar", nullptr);
  bool shown = false;
  engine->OnNextFrame([&] { shown = true; });
  engine->ReloadFonts();
  EXPECT_EQ(engine->RegistrarForPlugin("RecordWindowsPluginCApi"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to create view controller.\n"
            "Cannot get plugin registrar on an engine that isn't running; call Run first.\n");
  EXPECT_FALSE(engine_standin::DrawFrame());
  EXPECT_FALSE(replied);
  EXPECT_FALSE(shown);
  EXPECT_EQ(engine_standin::FontReloadCount(), 0);
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

TEST_F(EngineWrapperTest, EngineThatCannotStartEndsInTheViewControllerFailure) {
  engine_standin::SetEngineCreationFails(true);
  testing::internal::CaptureStderr();
  FlutterViewController controller(640, 480, EngineProject(L"data"));
  EXPECT_EQ(controller.View(), nullptr);
  EXPECT_EQ(controller.Engine()->RegistrarForPlugin("RecordWindowsPluginCApi"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to create view controller.\n"
            "Cannot get plugin registrar on an engine that isn't running; call Run first.\n");
}

TEST_F(EngineWrapperTest, RegistrarsFontsRedrawAndWindowMessagesReachTheEngine) {
  FlutterViewController controller(640, 480, EngineProject(L"data"));
  FlutterEngine* engine = controller.Engine();
  EXPECT_NE(engine->RegistrarForPlugin("RecordWindowsPluginCApi"), nullptr);
  EXPECT_NE(engine->RegistrarForPlugin("WebviewWindowsPlugin"), nullptr);
  EXPECT_EQ(engine_standin::RegistrarRequests(),
            (std::vector<std::string>{"RecordWindowsPluginCApi", "WebviewWindowsPlugin"}));
  engine->ReloadFonts();
  controller.Redraw();
  EXPECT_EQ(engine_standin::FontReloadCount(), 1);
  EXPECT_EQ(engine_standin::RedrawCount(), 1);

  EXPECT_FALSE(controller.PreprocessMessage(nullptr, 0x001D, 0, 0).has_value());
  engine_standin::ClaimWindowMessage(0x001D, 42);
  EXPECT_EQ(controller.PreprocessMessage(nullptr, 0x001D, 0, 0), std::optional<LRESULT>(42));
  EXPECT_FALSE(controller.PreprocessMessage(nullptr, 0x0005, 0, 0).has_value());
}

TEST_F(EngineWrapperTest, NextFrameCallableRunsOnceAndMayArmTheNext) {
  FlutterViewController controller(640, 480, EngineProject(L"data"));
  FlutterEngine* engine = controller.Engine();
  int replaced = 0;
  int first = 0;
  int second = 0;
  engine->OnNextFrame([&] { ++replaced; });
  engine->OnNextFrame([&] {
    ++first;
    engine->OnNextFrame([&] { ++second; });
  });
  EXPECT_TRUE(engine_standin::DrawFrame());
  EXPECT_TRUE(engine_standin::DrawFrame());
  EXPECT_FALSE(engine_standin::DrawFrame());
  EXPECT_EQ(replaced, 0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST_F(EngineWrapperTest, HandlersRegisteredThroughTheEngineMessengerReceiveMessages) {
  FlutterViewController controller(640, 480, EngineProject(L"data"));
  int calls = 0;
  controller.Engine()->Messenger()->SetChannelHandler(
      "tonelark/guitar", [&](const uint8_t*, size_t, flutter::BinaryReplyFn reply) {
        ++calls;
        reply(nullptr, 0);
      });
  EXPECT_TRUE(engine_standin::DeliverMessage("tonelark/guitar", {1}).delivered());
  EXPECT_EQ(calls, 1);
}

#ifdef _WIN32
TEST_F(EngineWrapperTest, ViewIsARealChildWindowThatDrawsTheFirstFrame) {
  HWND view = nullptr;
  bool shown = false;
  {
    FlutterViewController controller(320, 200, EngineProject(L"data"));
    view = controller.View()->NativeWindow();
    ASSERT_TRUE(IsWindow(view));
    EXPECT_NE(GetWindowLongPtrW(view, GWL_STYLE) & WS_CHILD, 0);
    RECT client{};
    GetClientRect(view, &client);
    EXPECT_EQ(client.right - client.left, 320);
    EXPECT_EQ(client.bottom - client.top, 200);

    controller.Engine()->OnNextFrame([&] { shown = true; });
    DWORD start = GetTickCount();
    MSG message;
    while (!shown && GetTickCount() - start < 5000) {
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
      }
      Sleep(5);
    }
    EXPECT_TRUE(shown);
  }
  EXPECT_FALSE(IsWindow(view));
}
#endif

}  // namespace
}  // namespace channel_test
