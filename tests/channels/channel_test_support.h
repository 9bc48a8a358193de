#ifndef TESTS_CHANNELS_CHANNEL_TEST_SUPPORT_H_
#define TESTS_CHANNELS_CHANNEL_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "channels/encodable_value.h"
#include "channels/flutter_desktop.h"
#include "channels/method_call.h"
#include "channels/standard_method_codec.h"
#include "standins/engine/engine_control.h"

namespace channel_test {

using Bytes = std::vector<uint8_t>;
using MaybeBytes = std::optional<Bytes>;

inline const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::ForSerializer(nullptr);
}

// The bytes of a method call, as the user interface sends it.
inline Bytes CallBytes(const std::string& method,
                       std::unique_ptr<flutter::EncodableValue> arguments = nullptr) {
  return *Codec().EncodeCall(flutter::MethodCall<>(method, std::move(arguments)));
}

inline Bytes StringBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes Concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// A fresh stand-in before and after each test.
class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override { engine_standin::Reset(); }
  void TearDown() override { engine_standin::Reset(); }
};

// An engine created straight through the C interface, with its messenger wrapped as the engine
// wrapper does it.
class MessengerTest : public StandinTest {
 protected:
  void SetUp() override {
    StandinTest::SetUp();
    FlutterDesktopEngineProperties properties{};
    engine_ = FlutterDesktopEngineCreate(&properties);
    handle_ = FlutterDesktopEngineGetMessenger(engine_);
    messenger_ = std::make_unique<flutter::BinaryMessengerImpl>(handle_);
  }

  void TearDown() override {
    // The engine goes first, so no message can reach a destroyed handler table.
    FlutterDesktopEngineDestroy(engine_);
    messenger_.reset();
    EXPECT_EQ(engine_standin::MisuseCount(), expected_misuses_);
    StandinTest::TearDown();
  }

  engine_standin::Response Deliver(const std::string& channel, const Bytes& bytes) {
    return engine_standin::DeliverMessage(engine_, channel, bytes.empty() ? nullptr : bytes.data(),
                                          bytes.size());
  }

  FlutterDesktopEngineRef engine_ = nullptr;
  FlutterDesktopMessengerRef handle_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
  int expected_misuses_ = 0;  // faults of the test's own making that the stand-in reports
};

}  // namespace channel_test

#endif  // TESTS_CHANNELS_CHANNEL_TEST_SUPPORT_H_
