#include "standins/engine/scenario/wire_value.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace engine_standin {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

void AppendString(Bytes* bytes, const std::string& text) {
  bytes->push_back(7);
  bytes->push_back(static_cast<uint8_t>(text.size()));
  bytes->insert(bytes->end(), text.begin(), text.end());
}

// The reply to "start" as the program sends it: the map's keys in their sorted order.
Bytes StartReply() {
  Bytes bytes = {0, 13, 4};
  AppendString(&bytes, "name");
  AppendString(&bytes, "Rocksmith Guitar Adapter");
  AppendString(&bytes, "ok");
  bytes.push_back(1);
  AppendString(&bytes, "renderExclusive");
  bytes.push_back(2);
  AppendString(&bytes, "sampleRate");
  bytes.insert(bytes.end(), {3, 0x80, 0xBB, 0, 0});
  return bytes;
}

std::string Envelope(const Bytes& bytes) { return DescribeEnvelope(bytes.data(), bytes.size()); }

TEST(WireValueTest, DescribesRepliesOfEveryShape) {
  const Bytes start = StartReply();
  EXPECT_EQ(Envelope(start),
            "success {\"name\": \"Rocksmith Guitar Adapter\", \"ok\": true, "
            "\"renderExclusive\": false, \"sampleRate\": 48000}");
  const WireEnvelope decoded = DecodeWireEnvelope(start.data(), start.size());
  ASSERT_NE(decoded.result.Find("sampleRate"), nullptr);
  EXPECT_EQ(decoded.result.Find("sampleRate")->integer, 48000);
  EXPECT_EQ(decoded.result.Find("missing"), nullptr);

  EXPECT_EQ(Envelope({0, 0}), "success null");
  EXPECT_EQ(Envelope({}), "empty (not implemented)");
  EXPECT_EQ(Envelope({2, 0}), "unknown envelope 0x02");
  Bytes cancel = {1};
  AppendString(&cancel, "error");
  AppendString(&cancel, "No active stream to cancel");
  cancel.push_back(0);
  EXPECT_EQ(Envelope(cancel), "error \"error\" \"No active stream to cancel\" null");
  // A double right after the marker is padded to position 8 of the whole message.
  EXPECT_EQ(Envelope({0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}), "success 1.5");
  // Whole numbers keep their digits; only very large ones take an exponent.
  EXPECT_EQ(Envelope({0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0x40}), "success 10.0");
  EXPECT_EQ(Envelope({0, 6, 0, 0, 0, 0, 0, 0, 0x40, 0x8C, 0xB5, 0x78, 0x1D, 0xAF, 0x15, 0x44}),
            "success 1e+20");
  EXPECT_EQ(Envelope({0, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "success -1L");
  EXPECT_EQ(Envelope({0, 12, 2, 9, 1, 0, 0, 0, 2, 0, 0, 0, 8, 2, 0xAB, 0xCD}),
            "success [int32[1]{2}, bytes[2]{ab cd}]");
}

TEST(WireValueTest, PcmEventsAreSummarisedBySize) {
  Bytes event = {0, 8, 254, 0, 2};  // a 512-byte list: the size needs the 16-bit escape
  event.resize(event.size() + 512, 0x11);
  EXPECT_EQ(Envelope(event), "success bytes[512]");
  const WireEnvelope decoded = DecodeWireEnvelope(event.data(), event.size());
  EXPECT_EQ(decoded.result.kind, WireValue::Kind::kBytes);
  EXPECT_EQ(decoded.result.text.size(), 512u);
}

TEST(WireValueTest, BrokenMessagesAreDescribedWithoutReadingPastTheEnd) {
  // 300 bytes announced, 2 present.
  EXPECT_EQ(Envelope({0, 8, 254, 0x2C, 0x01, 1, 2}), "success bytes[0] <truncated>");
  // Four billion elements announced: refused before anything is allocated.
  EXPECT_THAT(Envelope({0, 12, 255, 0xFF, 0xFF, 0xFF, 0xFF, 0}), HasSubstr("<truncated>"));
  EXPECT_THAT(Envelope({0, 11, 255, 0xFF, 0xFF, 0xFF, 0x0F}), HasSubstr("<truncated>"));
  // Nesting far deeper than any message: stops instead of exhausting the stack.
  Bytes deep = {0};
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {12, 1});
  EXPECT_THAT(Envelope(deep), HasSubstr("<truncated>"));
  EXPECT_EQ(Envelope({0, 200}), "success null <truncated>");
  Bytes error = {1, 3, 1, 0, 0, 0};
  EXPECT_THAT(Envelope(error), HasSubstr("<truncated>"));
}

TEST(WireValueTest, DescribesCallsAndThingsThatAreNone) {
  Bytes call;
  AppendString(&call, "setVolume");
  call.insert(call.end(), {3, 2, 0, 0, 0});
  EXPECT_EQ(DescribeCall(call.data(), call.size()), "setVolume(2)");
  Bytes name_only;
  AppendString(&name_only, "start");
  EXPECT_EQ(DescribeCall(name_only.data(), name_only.size()), "start(null) <truncated>");
  const Bytes seven = {3, 7, 0, 0, 0};
  EXPECT_EQ(DescribeCall(seven.data(), seven.size()),
            "not a method call: first value is not a string");
  EXPECT_EQ(DescribeCall(nullptr, 0), "not a method call: empty message");
  const Bytes cut = {7, 10, 's'};
  EXPECT_EQ(DescribeCall(cut.data(), cut.size()), "not a method call: unreadable bytes");
  Bytes quoted;
  AppendString(&quoted, "a\"b\n");
  quoted.push_back(0);
  EXPECT_EQ(DescribeCall(quoted.data(), quoted.size()), "a\\\"b\\x0a(null)");
}

TEST(WireValueTest, EncoderMatchesTheWireFormat) {
  WireCallEncoder long_name(std::string(300, 'x'));
  long_name.AppendString("");
  ASSERT_GE(long_name.bytes().size(), 4u);
  EXPECT_EQ(long_name.bytes()[1], 254);
  EXPECT_EQ(long_name.bytes()[2], 0x2C);
  EXPECT_EQ(long_name.bytes()[3], 0x01);
  EXPECT_EQ(long_name.bytes().size(), 4u + 300u + 2u);

  WireCallEncoder call("m");
  call.AppendDouble(-0.25);
  const WireCall decoded = DecodeWireCall(call.bytes().data(), call.bytes().size());
  ASSERT_TRUE(decoded.valid);
  EXPECT_EQ(decoded.method, "m");
  EXPECT_EQ(decoded.arguments.real, -0.25);
  EXPECT_EQ(call.bytes().size(), 16u);
}

}  // namespace
}  // namespace engine_standin
