#include "channels/method_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "channels/encodable_value.h"
#include "channels/method_result.h"
#include "channels/reply_holder.h"
#include "tests/channels/channel_test_support.h"

namespace channel_test {
namespace {

using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodChannel;
using flutter::MethodResult;

constexpr char kChannel[] = "tonelark/guitar";
const std::string kDuplicateResultLine =
    "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
    "exactly once. Ignoring duplicate result.\n";
const std::string kLeakLine = "Warning: Failed to respond to a message. This is a memory leak.\n";

class MethodChannelTest : public MessengerTest {
 protected:
  void SetUp() override {
    MessengerTest::SetUp();
    channel_ = std::make_unique<MethodChannel<>>(messenger_.get(), kChannel, &Codec());
  }

  void TearDown() override {
    channel_.reset();
    MessengerTest::TearDown();
  }

  std::unique_ptr<MethodChannel<>> channel_;
};

TEST_F(MethodChannelTest, CallReachesTheHandlerAndItsAnswerIsEncoded) {
  std::string method;
  double volume = 0;
  channel_->SetMethodCallHandler(
      [&](const MethodCall<>& call, std::unique_ptr<MethodResult<>> result) {
        method = call.method_name();
        volume = std::get<double>(*call.arguments());
        EncodableValue ok(true);
        result->Success(&ok);
      });
  engine_standin::Response response =
      Deliver(kChannel, CallBytes("setVolume", std::make_unique<EncodableValue>(0.5)));
  EXPECT_EQ(method, "setVolume");
  EXPECT_EQ(volume, 0.5);
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{0x00, 0x01}));
}

TEST_F(MethodChannelTest, EachKindOfAnswerHasItsEnvelope) {
  channel_->SetMethodCallHandler(
      [](const MethodCall<>& call, std::unique_ptr<MethodResult<>> result) {
        if (call.method_name() == "start") {
          result->Success();
        } else if (call.method_name() == "stop") {
          result->Error("busy", "not now");
        } else {
          result->NotImplemented();
        }
      });
  EXPECT_EQ(Deliver(kChannel, CallBytes("start")).Get(), MaybeBytes(Bytes{0x00, 0x00}));
  Bytes error = Concat(Concat({0x01, 0x07, 0x04}, StringBytes("busy")),
                       Concat(Concat({0x07, 0x07}, StringBytes("not now")), {0x00}));
  EXPECT_EQ(Deliver(kChannel, CallBytes("stop")).Get(), MaybeBytes(error));
  engine_standin::Response unknown = Deliver(kChannel, CallBytes("click"));
  EXPECT_EQ(unknown.Get(), MaybeBytes(Bytes{}));
  EXPECT_TRUE(unknown.answered_with_null());
}

TEST_F(MethodChannelTest, SecondAnswerIsRefusedWithItsLine) {
  channel_->SetMethodCallHandler([](const MethodCall<>&, std::unique_ptr<MethodResult<>> result) {
    result->Success();
    result->Success();
    result->NotImplemented();
  });
  testing::internal::CaptureStderr();
  engine_standin::Response response = Deliver(kChannel, CallBytes("start"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kDuplicateResultLine + kDuplicateResultLine);
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{0x00, 0x00}));
}

// The holder is emptied before the reply runs, so a reply that answers again from inside
// itself is refused rather than sent twice.
TEST(ReplyHolderTest, ReplyThatAnswersAgainFromInsideIsRefused) {
  std::unique_ptr<flutter::ReplyHolder> holder;
  int sends = 0;
  holder = std::make_unique<flutter::ReplyHolder>([&](const uint8_t*, size_t) {
    if (++sends < 3) {  // bounded, so that a holder that is not emptied fails instead of looping
      holder->SendOnce(nullptr);
    }
  });
  testing::internal::CaptureStderr();
  holder->SendOnce(nullptr);
  holder.reset();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kDuplicateResultLine);
  EXPECT_EQ(sends, 1);
}

TEST_F(MethodChannelTest, DroppedResultWarnsAndSendsNothing) {
  channel_->SetMethodCallHandler([](const MethodCall<>&, std::unique_ptr<MethodResult<>>) {});
  testing::internal::CaptureStderr();
  engine_standin::Response response = Deliver(kChannel, CallBytes("start"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kLeakLine);
  EXPECT_EQ(response.Get(), std::nullopt);
}

TEST_F(MethodChannelTest, ResultKeptPastTheHandlerAnswersLater) {
  std::unique_ptr<MethodResult<>> kept;
  channel_->SetMethodCallHandler([&](const MethodCall<>&, std::unique_ptr<MethodResult<>> result) {
    kept = std::move(result);
  });
  engine_standin::Response response = Deliver(kChannel, CallBytes("start"));
  // The channel object is not needed by the installed handler.
  channel_.reset();
  EXPECT_EQ(response.Get(), std::nullopt);
  kept->Success();
  kept.reset();
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{0x00, 0x00}));
}

TEST_F(MethodChannelTest, MessageThatIsNoMethodCallGetsALineAndAnEmptyReply) {
  bool called = false;
  channel_->SetMethodCallHandler(
      [&](const MethodCall<>&, std::unique_ptr<MethodResult<>>) { called = true; });
  testing::internal::CaptureStderr();
  // The 32-bit integer 7 where the method name belongs.
  engine_standin::Response response = Deliver(kChannel, {0x03, 0x07, 0x00, 0x00, 0x00});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel tonelark/guitar\n");
  EXPECT_FALSE(called);
  EXPECT_EQ(response.Get(), MaybeBytes(Bytes{}));
  EXPECT_TRUE(response.answered_with_null());
}

TEST_F(MethodChannelTest, EmptyHandlerUnregistersTheChannel) {
  int calls = 0;
  channel_->SetMethodCallHandler([&](const MethodCall<>&, std::unique_ptr<MethodResult<>> result) {
    ++calls;
    result->Success();
  });
  channel_->SetMethodCallHandler(nullptr);
  engine_standin::Response response = Deliver(kChannel, CallBytes("start"));
  EXPECT_FALSE(response.delivered());
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace channel_test
