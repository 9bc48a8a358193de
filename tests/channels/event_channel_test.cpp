#include "channels/event_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channels/encodable_value.h"
#include "channels/event_sink.h"
#include "channels/stream_handler_error.h"
#include "channels/stream_handler_functions.h"
#include "tests/channels/channel_test_support.h"

namespace channel_test {
namespace {

using flutter::EncodableValue;
using flutter::EventChannel;
using flutter::EventSink;
using flutter::StreamHandlerError;
using flutter::StreamHandlerFunctions;
using Error = std::unique_ptr<StreamHandlerError<>>;

constexpr char kChannel[] = "tonelark/guitar_pcm";
const Bytes kSuccess{0x00, 0x00};

// The reply to "cancel" when no stream is open.
Bytes NotListening() {
  return Concat(Concat({0x01, 0x07, 0x05}, StringBytes("error")),
                Concat(Concat({0x07, 0x1A}, StringBytes("No active stream to cancel")), {0x00}));
}

// A call decoded without arguments carries a null value; only the channel's own implicit cancel
// passes no value at all.
std::string Describe(const EncodableValue* arguments) {
  if (arguments == nullptr) {
    return "nullptr";
  }
  return arguments->IsNull() ? "null" : "args";
}

// Records what the channel asks of its stream handler; each callable can be told to refuse.
class EventChannelTest : public MessengerTest {
 protected:
  void SetUp() override {
    MessengerTest::SetUp();
    channel_ = std::make_unique<EventChannel<>>(messenger_.get(), kChannel, &Codec());
  }

  void TearDown() override {
    sink_.reset();
    channel_.reset();
    MessengerTest::TearDown();
  }

  void InstallRecordingHandler() {
    channel_->SetStreamHandler(std::make_unique<StreamHandlerFunctions<>>(
        [this](const EncodableValue* arguments, std::unique_ptr<EventSink<>>&& events) -> Error {
          calls_.push_back("listen(" + Describe(arguments) + ")");
          sink_ = std::move(events);
          return std::move(listen_error_);
        },
        [this](const EncodableValue* arguments) -> Error {
          calls_.push_back("cancel(" + Describe(arguments) + ")");
          return std::move(cancel_error_);
        }));
  }

  MaybeBytes Send(const Bytes& bytes) { return Deliver(kChannel, bytes).Get(); }

  std::unique_ptr<EventChannel<>> channel_;
  std::vector<std::string> calls_;
  std::unique_ptr<EventSink<>> sink_;
  Error listen_error_;
  Error cancel_error_;
};

TEST_F(EventChannelTest, CancelWithoutAStreamIsRefusedWithExactBytes) {
  InstallRecordingHandler();
  Bytes expected{0x01, 0x07, 0x05, 0x65, 0x72, 0x72, 0x6F, 0x72, 0x07, 0x1A};
  expected = Concat(Concat(expected, StringBytes("No active stream to cancel")), {0x00});
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(expected));
  EXPECT_TRUE(calls_.empty());
}

TEST_F(EventChannelTest, SecondListenCancelsTheFirstStream) {
  InstallRecordingHandler();
  EXPECT_EQ(Send(CallBytes("listen")), MaybeBytes(kSuccess));
  EXPECT_EQ(Send(CallBytes("listen", std::make_unique<EncodableValue>(1))), MaybeBytes(kSuccess));
  EXPECT_EQ(calls_, (std::vector<std::string>{"listen(null)", "cancel(nullptr)", "listen(args)"}));
  EXPECT_EQ(Send(CallBytes("cancel", std::make_unique<EncodableValue>(2))), MaybeBytes(kSuccess));
  EXPECT_EQ(calls_.back(), "cancel(args)");
}

TEST_F(EventChannelTest, FailedImplicitCancelIsReportedWithoutLineEnd) {
  InstallRecordingHandler();
  Send(CallBytes("listen"));
  cancel_error_ = std::make_unique<StreamHandlerError<>>("gone", "already closed");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Send(CallBytes("listen")), MaybeBytes(kSuccess));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to cancel existing stream: gone, already closed, 0");
}

TEST_F(EventChannelTest, RefusedListenStillCountsAsListening) {
  InstallRecordingHandler();
  listen_error_ =
      std::make_unique<StreamHandlerError<>>("denied", "", std::make_unique<EncodableValue>(true));
  Bytes refused = Concat(Concat({0x01, 0x07, 0x06}, StringBytes("denied")), {0x00, 0x01});
  EXPECT_EQ(Send(CallBytes("listen")), MaybeBytes(refused));
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(kSuccess));
  EXPECT_EQ(calls_, (std::vector<std::string>{"listen(null)", "cancel(null)"}));
  // The refused cancel still closes the stream.
  Send(CallBytes("listen"));
  cancel_error_ = std::make_unique<StreamHandlerError<>>("x", "y");
  EXPECT_NE(Send(CallBytes("cancel")), MaybeBytes(kSuccess));
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(NotListening()));
}

TEST_F(EventChannelTest, OtherMethodNamesGetAnEmptyReplyAndChangeNothing) {
  InstallRecordingHandler();
  for (const char* name : {"Listen", "listen ", "listenx", "cancelled", ""}) {
    engine_standin::Response response = Deliver(kChannel, CallBytes(name));
    EXPECT_EQ(response.Get(), MaybeBytes(Bytes{})) << name;
    EXPECT_TRUE(response.answered_with_null()) << name;
  }
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(NotListening()));
}

TEST_F(EventChannelTest, MessageThatIsNoMethodCallGetsTheColonLine) {
  InstallRecordingHandler();
  testing::internal::CaptureStderr();
  engine_standin::Response response = Deliver(kChannel, {0x01});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel: tonelark/guitar_pcm\n");
  EXPECT_TRUE(response.answered_with_null());
}

TEST_F(EventChannelTest, MissingCallablesRefuseWithTheirMessages) {
  channel_->SetStreamHandler(std::make_unique<StreamHandlerFunctions<>>(nullptr, nullptr));
  Bytes no_listen =
      Concat(Concat({0x01, 0x07, 0x05}, StringBytes("error")),
             Concat(Concat({0x07, 0x17}, StringBytes("No OnListen handler set")), {0x00}));
  Bytes no_cancel =
      Concat(Concat({0x01, 0x07, 0x05}, StringBytes("error")),
             Concat(Concat({0x07, 0x17}, StringBytes("No OnCancel handler set")), {0x00}));
  EXPECT_EQ(Send(CallBytes("listen")), MaybeBytes(no_listen));
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(no_cancel));
}

TEST_F(EventChannelTest, SinkSendsEachEventAsItsOwnMessage) {
  InstallRecordingHandler();
  Send(CallBytes("listen"));
  ASSERT_NE(sink_, nullptr);
  EncodableValue samples(std::vector<uint8_t>{1, 2, 3});
  sink_->Success(&samples);
  sink_->Success();
  sink_->Error("e", "m");
  sink_->EndStream();
  std::vector<engine_standin::SentMessage> sent = engine_standin::SentMessages(engine_);
  ASSERT_EQ(sent.size(), 4u);
  for (const auto& message : sent) {
    EXPECT_EQ(message.channel, kChannel);
    EXPECT_FALSE(message.wants_reply);
  }
  EXPECT_EQ(sent[0].bytes, (Bytes{0x00, 0x08, 0x03, 1, 2, 3}));
  EXPECT_EQ(sent[1].bytes, kSuccess);
  EXPECT_EQ(sent[2].bytes, (Bytes{0x01, 0x07, 0x01, 'e', 0x07, 0x01, 'm', 0x00}));
  EXPECT_TRUE(sent[3].bytes.empty());
  EXPECT_TRUE(sent[3].data_null);
}

TEST_F(EventChannelTest, RemovingTheHandlerDropsTheStreamWithoutCancel) {
  InstallRecordingHandler();
  Send(CallBytes("listen"));
  channel_->SetStreamHandler(nullptr);
  EXPECT_FALSE(Deliver(kChannel, CallBytes("cancel")).delivered());
  InstallRecordingHandler();
  EXPECT_EQ(Send(CallBytes("cancel")), MaybeBytes(NotListening()));  // a fresh, idle stream
  EXPECT_EQ(calls_, (std::vector<std::string>{"listen(null)"}));
}

}  // namespace
}  // namespace channel_test
