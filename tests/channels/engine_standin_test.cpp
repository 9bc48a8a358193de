// The stand-in's own promises that the channel tests rely on: misuse is caught, answers can be
// awaited across threads, observers see the traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "standins/engine/engine_control.h"
#include "tests/channels/channel_test_support.h"

namespace channel_test {
namespace {

using EngineStandinTest = StandinTest;

FlutterDesktopEngineRef CreateEngine() {
  FlutterDesktopEngineProperties properties{};
  return FlutterDesktopEngineCreate(&properties);
}

void Record(FlutterDesktopMessengerRef, const FlutterDesktopMessage* message, void* user_data) {
  static_cast<std::vector<const FlutterDesktopMessage*>*>(user_data)->push_back(message);
}

TEST_F(EngineStandinTest, UseOfAnEndedEngineIsCountedAndReported) {
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  FlutterDesktopEngineDestroy(engine);
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  testing::internal::CaptureStderr();
  FlutterDesktopMessengerSend(messenger, "x", nullptr, 0);
  FlutterDesktopEngineDestroy(engine);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(engine_standin::MisuseCount(), 2);
  EXPECT_EQ(err,
            "engine stand-in: FlutterDesktopMessengerSend on a released messenger (channel x)\n"
            "engine stand-in: FlutterDesktopEngineDestroy on a destroyed engine\n");
}

TEST_F(EngineStandinTest, ResponsesAreCheckedAgainstTheirHandles) {
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  std::vector<const FlutterDesktopMessage*> seen;
  const FlutterDesktopMessageResponseHandle* handle = nullptr;
  FlutterDesktopMessengerSetCallback(
      messenger, "c",
      [](FlutterDesktopMessengerRef, const FlutterDesktopMessage* message, void* user_data) {
        EXPECT_EQ(message->struct_size, sizeof(FlutterDesktopMessage));
        EXPECT_STREQ(message->channel, "c");
        EXPECT_EQ(message->message_size, 2u);
        *static_cast<const FlutterDesktopMessageResponseHandle**>(user_data) =
            message->response_handle;
      },
      &handle);
  engine_standin::Response response = engine_standin::DeliverMessage("c", {1, 2});
  EXPECT_TRUE(response.delivered());

  // Answered from another thread while this one waits.
  std::thread answer([&] {
    const uint8_t bytes[] = {7};
    FlutterDesktopMessengerSendResponse(messenger, handle, bytes, 1);
  });
  EXPECT_EQ(response.Wait(std::chrono::seconds(5)), MaybeBytes(Bytes{7}));
  answer.join();

  testing::internal::CaptureStderr();
  FlutterDesktopMessengerSendResponse(messenger, handle, nullptr, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "engine stand-in: FlutterDesktopMessengerSendResponse with an unknown or already "
            "answered response handle\n");
  EXPECT_EQ(engine_standin::MisuseCount(), 1);
  FlutterDesktopEngineDestroy(engine);
}

TEST_F(EngineStandinTest, MessengerOutlivesItsEngineWhileReferencesRemain) {
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  EXPECT_EQ(FlutterDesktopMessengerAddRef(messenger), messenger);
  std::vector<const FlutterDesktopMessage*> seen;
  FlutterDesktopMessengerSetCallback(messenger, "c", Record, &seen);
  engine_standin::EndEngine(engine);
  EXPECT_FALSE(engine_standin::DeliverMessage("c", {1}).delivered());
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(engine_standin::MessengerRefCount(messenger), 1);
  EXPECT_EQ(FlutterDesktopMessengerLock(messenger), messenger);
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  FlutterDesktopMessengerUnlock(messenger);
  FlutterDesktopMessengerRelease(messenger);
  EXPECT_EQ(engine_standin::MessengerRefCount(messenger), 0);
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
  // Ended by itself, the handle still has to be destroyed by its owner.
  EXPECT_TRUE(FlutterDesktopEngineDestroy(engine));
}

TEST_F(EngineStandinTest, EndingAnEngineAnswersRepliesItStillOwes) {
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  int answers = 0;
  FlutterDesktopMessengerSendWithReply(
      messenger, "c", nullptr, 0,
      [](const uint8_t* data, size_t size, void* user_data) {
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(size, 0u);
        ++*static_cast<int*>(user_data);
      },
      &answers);
  FlutterDesktopEngineDestroy(engine);
  EXPECT_EQ(answers, 1);
}

TEST_F(EngineStandinTest, SentMessagesCanBeLeftToTheObserver) {
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  int observed = 0;
  engine_standin::SetTrafficObserver([&](const engine_standin::TrafficEvent&) { ++observed; });
  engine_standin::SetKeepSentMessages(false);
  const uint8_t event[] = {0, 1};
  for (int i = 0; i < 3; ++i) FlutterDesktopMessengerSend(messenger, "events", event, 2);
  // One that awaits a reply must stay findable, or it could never be answered.
  FlutterDesktopMessengerSendWithReply(
      messenger, "asks", nullptr, 0, [](const uint8_t*, size_t, void*) {}, nullptr);
  const std::vector<engine_standin::SentMessage> sent = engine_standin::SentMessages(engine);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].channel, "asks");
  EXPECT_EQ(observed, 4);
  const std::vector<std::string> log = engine_standin::CallLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "FlutterDesktopMessengerSend"), 3);
  FlutterDesktopEngineDestroy(engine);
}

TEST_F(EngineStandinTest, DpiAndOutputStreams) {
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(nullptr), 96u);
  engine_standin::SetDpi(144);
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(nullptr), 144u);
  FlutterDesktopResyncOutputStreams();
  EXPECT_EQ(engine_standin::ResyncCount(), 1);
}

TEST_F(EngineStandinTest, ObserversSeeViewsAndTrafficBothWays) {
  std::vector<std::string> traffic;
  engine_standin::SetTrafficObserver([&](const engine_standin::TrafficEvent& event) {
    traffic.push_back(std::to_string(static_cast<int>(event.direction)) + ":" + event.channel +
                      ":" + std::to_string(event.size));
  });
  FlutterDesktopEngineRef created = nullptr;
  HWND view = nullptr;
  engine_standin::SetViewControllerCreatedObserver([&](FlutterDesktopEngineRef engine, HWND hwnd) {
    created = engine;
    view = hwnd;
  });
  FlutterDesktopEngineRef engine = CreateEngine();
  FlutterDesktopMessengerRef messenger = FlutterDesktopEngineGetMessenger(engine);
  FlutterDesktopViewControllerRef controller = FlutterDesktopViewControllerCreate(10, 10, engine);
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(created, engine);
  EXPECT_EQ(view, FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller)));

  FlutterDesktopMessengerSetCallback(
      messenger, "in",
      [](FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message, void*) {
        const uint8_t bytes[] = {1, 2, 3};
        FlutterDesktopMessengerSendResponse(messenger, message->response_handle, bytes, 3);
      },
      nullptr);
  engine_standin::DeliverMessage("in", {9});
  FlutterDesktopMessengerSendWithReply(
      messenger, "out", nullptr, 0, [](const uint8_t*, size_t, void*) {}, nullptr);
  engine_standin::AnswerSentMessage(engine_standin::SentMessages().back().id, {5, 5});
  EXPECT_EQ(traffic, (std::vector<std::string>{"0:in:1", "1:in:3", "2:out:0", "3:out:2"}));

  std::vector<std::string> frames;
  engine_standin::SetFrameObserver(
      [&](FlutterDesktopEngineRef, bool after) { frames.push_back(after ? "after" : "before"); });
  FlutterDesktopEngineSetNextFrameCallback(
      engine,
      [](void* user_data) {
        static_cast<std::vector<std::string>*>(user_data)->push_back("frame");
      },
      &frames);
  EXPECT_TRUE(engine_standin::DrawFrame(engine));
  EXPECT_FALSE(engine_standin::DrawFrame(engine));
  EXPECT_EQ(frames, (std::vector<std::string>{"before", "frame", "after"}));
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_EQ(engine_standin::MisuseCount(), 0);
}

}  // namespace
}  // namespace channel_test
