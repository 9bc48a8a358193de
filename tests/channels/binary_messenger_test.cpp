#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "standins/engine/engine_control.h"
#include "tests/channels/channel_test_support.h"

namespace channel_test {
namespace {

using engine_standin::MessengerRefCount;
using flutter::BinaryReplyFn;

constexpr char kChannel[] = "tonelark/guitar";
const std::string kDuplicateLine =
    "Error: Response can be set only once. Ignoring duplicate response.\n";

TEST_F(MessengerTest, HandlerAnswersDuringDeliveryAndTheReferenceIsGivenBack) {
  Bytes seen;
  messenger_->SetChannelHandler(
      kChannel, [&](const uint8_t* data, size_t size, BinaryReplyFn reply) {
        seen.assign(data, data + size);
        EXPECT_EQ(MessengerRefCount(handle_), 2);  // the reply function holds its own
        const uint8_t answer[] = {0x00, 0x01};
        reply(answer, sizeof(answer));
      });
  engine_standin::Response response = Deliver(kChannel, {1, 2, 3});
  EXPECT_EQ(seen, (Bytes{1, 2, 3}));
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{0x00, 0x01}));
  EXPECT_EQ(MessengerRefCount(handle_), 1);
  // A reply goes out under the messenger's lock, after the availability test.
  std::vector<std::string> log = engine_standin::CallLog();
  std::vector<std::string> tail(log.end() - 5, log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "FlutterDesktopMessengerLock", "FlutterDesktopMessengerIsAvailable",
                      "FlutterDesktopMessengerSendResponse", "FlutterDesktopMessengerUnlock",
                      "FlutterDesktopMessengerRelease"}));
}

TEST_F(MessengerTest, EmptyReplyIsPassedOnAsNullAndZero) {
  messenger_->SetChannelHandler(
      kChannel, [](const uint8_t*, size_t, BinaryReplyFn reply) { reply(nullptr, 0); });
  engine_standin::Response response = Deliver(kChannel, {7});
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{}));
  EXPECT_TRUE(response.answered_with_null());
}

TEST_F(MessengerTest, KeptReplyAnswersLaterOnceAndCopiesShareTheAnswer) {
  BinaryReplyFn kept;
  messenger_->SetChannelHandler(
      kChannel, [&](const uint8_t*, size_t, BinaryReplyFn reply) { kept = std::move(reply); });
  engine_standin::Response response = Deliver(kChannel, {1});
  EXPECT_EQ(response.Get(), std::nullopt);
  EXPECT_EQ(MessengerRefCount(handle_), 2);

  BinaryReplyFn copy = kept;
  const uint8_t answer[] = {0x00, 0x00};
  testing::internal::CaptureStderr();
  kept(answer, sizeof(answer));
  kept(answer, sizeof(answer));
  copy(answer, sizeof(answer));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kDuplicateLine + kDuplicateLine);
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{0x00, 0x00}));

  kept = nullptr;
  EXPECT_EQ(MessengerRefCount(handle_), 2);  // the copy still holds it
  copy = nullptr;
  EXPECT_EQ(MessengerRefCount(handle_), 1);
}

TEST_F(MessengerTest, DroppedReplyIsSilentAndLeavesTheMessageUnanswered) {
  messenger_->SetChannelHandler(kChannel, [](const uint8_t*, size_t, BinaryReplyFn) {});
  testing::internal::CaptureStderr();
  engine_standin::Response response = Deliver(kChannel, {1});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(response.Get(), std::nullopt);
  EXPECT_EQ(MessengerRefCount(handle_), 1);
}

TEST_F(MessengerTest, ReplyAfterTheEngineIsGoneSendsAndPrintsNothing) {
  BinaryReplyFn kept;
  messenger_->SetChannelHandler(
      kChannel, [&](const uint8_t*, size_t, BinaryReplyFn reply) { kept = std::move(reply); });
  engine_standin::Response response = Deliver(kChannel, {1});
  engine_standin::EndEngine(engine_);
  // The reply's reference keeps the messenger object alive past its engine.
  EXPECT_EQ(MessengerRefCount(handle_), 1);

  testing::internal::CaptureStderr();
  const uint8_t answer[] = {0x00, 0x00};
  kept(answer, sizeof(answer));
  kept(answer, sizeof(answer));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(response.Get(), std::nullopt);
  kept = nullptr;
  EXPECT_EQ(MessengerRefCount(handle_), 0);
}

TEST_F(MessengerTest, ReplyFromAnotherThreadWhileTheUiThreadSendsEvents) {
  BinaryReplyFn kept;
  messenger_->SetChannelHandler(
      kChannel, [&](const uint8_t*, size_t, BinaryReplyFn reply) { kept = std::move(reply); });
  engine_standin::Response response = Deliver(kChannel, {1});
  std::thread replier([reply = std::move(kept)]() mutable {
    const uint8_t answer[] = {0x00, 0x01};
    reply(answer, sizeof(answer));
    reply = nullptr;  // the reference goes back on this thread
  });
  const Bytes event(512, 0x5A);
  for (int i = 0; i < 200; ++i) {
    messenger_->Send("tonelark/guitar_pcm", event.data(), event.size());
  }
  replier.join();
  EXPECT_EQ(response.Wait(std::chrono::seconds(5)), MaybeBytes(Bytes{0x00, 0x01}));
  EXPECT_EQ(engine_standin::SentMessages(engine_).size(), 200u);
  EXPECT_EQ(MessengerRefCount(handle_), 1);
}

TEST_F(StandinTest, ReplyRacingTheEngineEndIsEitherSentOrDropped) {
  for (int round = 0; round < 20; ++round) {
    engine_standin::Reset();
    FlutterDesktopEngineProperties properties{};
    FlutterDesktopEngineRef engine = FlutterDesktopEngineCreate(&properties);
    flutter::BinaryMessengerImpl messenger(FlutterDesktopEngineGetMessenger(engine));
    BinaryReplyFn kept;
    messenger.SetChannelHandler(
        kChannel, [&](const uint8_t*, size_t, BinaryReplyFn reply) { kept = std::move(reply); });
    engine_standin::Response response =
        engine_standin::DeliverMessage(engine, kChannel, nullptr, 0);
    std::thread replier([reply = std::move(kept)]() mutable {
      const uint8_t answer[] = {0x00, 0x00};
      reply(answer, sizeof(answer));
    });
    FlutterDesktopEngineDestroy(engine);
    replier.join();
    std::optional<Bytes> answer = response.Get();
    EXPECT_TRUE(!answer.has_value() || *answer == (Bytes{0x00, 0x00}));
    EXPECT_EQ(engine_standin::MisuseCount(), 0);
  }
}

TEST_F(MessengerTest, InstallingTwiceReplacesInPlace) {
  int first = 0;
  int second = 0;
  messenger_->SetChannelHandler(kChannel, [&](const uint8_t*, size_t, BinaryReplyFn) { ++first; });
  messenger_->SetChannelHandler(kChannel, [&](const uint8_t*, size_t, BinaryReplyFn) { ++second; });
  std::vector<engine_standin::SetCallbackCall> calls = engine_standin::SetCallbackCalls(engine_);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].callback, nullptr);
  EXPECT_EQ(calls[0].callback, calls[1].callback);
  EXPECT_EQ(calls[0].user_data, calls[1].user_data);
  Deliver(kChannel, {1});
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

// The handler's own captures must outlive its call even when it removes or replaces itself;
// under ASan a freed handler shows up as a use after free.
TEST_F(MessengerTest, HandlerMayRemoveOrReplaceItselfWhileItRuns) {
  auto probe = std::make_shared<std::string>("alive");
  std::weak_ptr<std::string> watch = probe;
  std::string seen_after_removal;
  messenger_->SetChannelHandler(kChannel, [this, probe, &watch, &seen_after_removal](
                                              const uint8_t*, size_t, BinaryReplyFn reply) {
    messenger_->SetChannelHandler(kChannel, nullptr);
    seen_after_removal = watch.expired() ? "freed" : *probe;
    reply(nullptr, 0);
  });
  probe.reset();
  EXPECT_TRUE(Deliver(kChannel, {1}).Get().has_value());
  EXPECT_EQ(seen_after_removal, "alive");
  EXPECT_TRUE(watch.expired());  // released once the call returned
  EXPECT_FALSE(Deliver(kChannel, {2}).delivered());

  int successor_calls = 0;
  probe = std::make_shared<std::string>("first");
  watch = probe;
  std::string seen_after_replacement;
  messenger_->SetChannelHandler(
      kChannel, [this, probe, &watch, &seen_after_replacement, &successor_calls](
                    const uint8_t*, size_t, BinaryReplyFn reply) {
        messenger_->SetChannelHandler(
            kChannel, [&successor_calls](const uint8_t*, size_t, BinaryReplyFn reply) {
              ++successor_calls;
              reply(nullptr, 0);
            });
        seen_after_replacement = watch.expired() ? "freed" : *probe;
        reply(nullptr, 0);
      });
  probe.reset();
  Deliver(kChannel, {3});
  EXPECT_EQ(seen_after_replacement, "first");
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(successor_calls, 0);
  Deliver(kChannel, {4});
  EXPECT_EQ(successor_calls, 1);
}

TEST_F(MessengerTest, HandlersKeepTheirAddressWhileOthersComeAndGo) {
  int guitar = 0;
  messenger_->SetChannelHandler(kChannel, [&](const uint8_t*, size_t, BinaryReplyFn) { ++guitar; });
  for (int i = 0; i < 50; ++i) {
    messenger_->SetChannelHandler("other/" + std::to_string(i),
                                  [](const uint8_t*, size_t, BinaryReplyFn) {});
  }
  for (int i = 0; i < 50; i += 2) {
    messenger_->SetChannelHandler("other/" + std::to_string(i), nullptr);
  }
  Deliver(kChannel, {1});
  EXPECT_EQ(guitar, 1);
}

TEST_F(MessengerTest, RemovingAHandlerClearsTheCallbackEvenWhenThereWasNone) {
  messenger_->SetChannelHandler("never/installed", nullptr);
  int calls = 0;
  messenger_->SetChannelHandler(kChannel, [&](const uint8_t*, size_t, BinaryReplyFn) { ++calls; });
  messenger_->SetChannelHandler(kChannel, nullptr);

  std::vector<engine_standin::SetCallbackCall> set = engine_standin::SetCallbackCalls(engine_);
  ASSERT_EQ(set.size(), 3u);
  EXPECT_EQ(set[0].channel, "never/installed");
  EXPECT_EQ(set[0].callback, nullptr);
  EXPECT_EQ(set[0].user_data, nullptr);
  EXPECT_EQ(set[2].callback, nullptr);
  engine_standin::Response response = Deliver(kChannel, {1});
  EXPECT_FALSE(response.delivered());
  EXPECT_EQ(calls, 0);
}

TEST_F(MessengerTest, SendWithoutAndWithReply) {
  const Bytes event{1, 2, 3};
  messenger_->Send("a", event.data(), event.size());
  Bytes reply_seen;
  int replies = 0;
  messenger_->Send("b", event.data(), event.size(), [&](const uint8_t* data, size_t size) {
    reply_seen.assign(data, data + size);
    ++replies;
  });
  std::vector<engine_standin::SentMessage> sent = engine_standin::SentMessages(engine_);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].channel, "a");
  EXPECT_EQ(sent[0].bytes, event);
  EXPECT_FALSE(sent[0].wants_reply);
  EXPECT_TRUE(sent[1].wants_reply);
  EXPECT_EQ(replies, 0);
  EXPECT_TRUE(engine_standin::AnswerSentMessage(sent[1].id, {9, 8}));
  EXPECT_FALSE(engine_standin::AnswerSentMessage(sent[1].id, {9, 8}));
  EXPECT_EQ(replies, 1);
  EXPECT_EQ(reply_seen, (Bytes{9, 8}));
}

TEST_F(MessengerTest, RefusedSendWithReplyDestroysTheReplyUncalled) {
  engine_standin::EndEngine(engine_);
  auto sentinel = std::make_shared<int>(0);
  bool called = false;
  testing::internal::CaptureStderr();
  messenger_->Send("b", nullptr, 0, [sentinel, &called](const uint8_t*, size_t) { called = true; });
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sentinel.use_count(), 1);
  EXPECT_FALSE(called);
  // Sending after the engine ended is a fault of the caller, which the stand-in reports.
  EXPECT_EQ(err.rfind("engine stand-in: FlutterDesktopMessengerSendWithReply", 0), 0u);
  expected_misuses_ = 1;
}

}  // namespace
}  // namespace channel_test
