#include "channels/standard_method_codec.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "tests/codec/codec_test_support.h"

namespace flutter {
namespace {

using codec_test::Bytes;
using codec_test::Hex;
using codec_test::kInvalidRead;
using codec_test::Lines;

// Records every call as one line, with the values it was given.
class RecordingResult : public MethodResult<EncodableValue> {
 public:
  void Success(const EncodableValue* result = nullptr) override {
    log += "Success(" + Describe(result) + ")";
  }
  void Error(const std::string& code, const std::string& message = "",
             const EncodableValue* details = nullptr) override {
    log += "Error(" + code + "," + message + "," + Describe(details) + ")";
  }
  void NotImplemented() override { log += "NotImplemented()"; }

  std::string log;

 private:
  static std::string Describe(const EncodableValue* value) {
    return value == nullptr ? "nullptr" : testing::PrintToString(*value);  // its encoding
  }
};

const StandardMethodCodec& Codec() { return StandardMethodCodec::ForSerializer(); }

struct Response {
  bool recognised;
  std::string log;
  std::string errors;
};

Response DecodeResponse(const Bytes& bytes) {
  RecordingResult result;
  testing::internal::CaptureStderr();
  const bool recognised = Codec().DecodeResponse(bytes.data(), bytes.size(), &result);
  return Response{recognised, result.log, testing::internal::GetCapturedStderr()};
}

// "start" with a map argument holding copies of one key, a list nested depth levels deep around
// null; the map's value for each is null.
Bytes StartWithDeepKeys(int depth, uint8_t copies) {
  Bytes key;
  for (int i = 0; i < depth; ++i) {
    key.insert(key.end(), {0x0C, 0x01});
  }
  key.push_back(0x00);
  Bytes message = Hex("07 05 73 74 61 72 74 0D");
  message.push_back(copies);
  for (int i = 0; i < copies; ++i) {
    message.insert(message.end(), key.begin(), key.end());
    message.push_back(0x00);
  }
  return message;
}

// Comparing equal keys used to cost 2^depth; decoding must cost the message's length. Counted in
// values compared, not in time, at two depths: linear cost grows four times with four times the
// depth, quadratic sixteen times.
TEST(StandardMethodCodecTest, DeeplyNestedEqualKeysDecodeInLinearTime) {
  uint64_t steps[2] = {};
  const int depths[2] = {125, 500};
  for (int i = 0; i < 2; ++i) {
    const int depth = depths[i];
    const Bytes message = StartWithDeepKeys(depth, 2);
    const uint64_t before = flutter::ValueStepsForTesting();
    const std::unique_ptr<MethodCall<>> call = Codec().DecodeCall(message.data(), message.size());
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->method_name(), "start");
    const ValueMap* arguments = std::get_if<ValueMap>(call->arguments());
    ASSERT_NE(arguments, nullptr);
    ASSERT_EQ(arguments->size(), 1u);
    const EncodableValue& key = arguments->begin()->first;
    int levels = 0;
    for (const EncodableValue* level = &key; std::holds_alternative<ValueList>(*level); ++levels) {
      level = &std::get<ValueList>(*level).front();
    }
    EXPECT_EQ(levels, depth);
    // Ordering and equality of the deep key against a copy of itself walk it once each.
    const EncodableValue copy = key;
    EXPECT_FALSE(key < copy);
    EXPECT_FALSE(copy < key);
    EXPECT_EQ(Compare(key, copy), 0);
    EXPECT_EQ(key, copy);
    steps[i] = flutter::ValueStepsForTesting() - before;
    EXPECT_EQ(*Codec().EncodeCall(*call), StartWithDeepKeys(depth, 1));
  }
  std::cout << "values compared: " << steps[0] << " at depth " << depths[0] << ", " << steps[1]
            << " at depth " << depths[1] << std::endl;
  EXPECT_LE(steps[1], 5 * steps[0]);
  EXPECT_GE(steps[1], 3 * steps[0]) << "the comparisons are counted";
}

TEST(StandardMethodCodecTest, EnvelopesOnTheWire) {
  EXPECT_EQ(*Codec().EncodeCall(MethodCall<>("stop", nullptr)), Hex("07 04 73 74 6F 70 00"));
  // The double is padded from the start of the message: the name ends at position 11.
  EXPECT_EQ(*Codec().EncodeCall(MethodCall<>("setVolume", std::make_unique<EncodableValue>(0.5))),
            Hex("07 09 73 65 74 56 6F 6C 75 6D 65 06 00 00 00 00 00 00 00 00 00 00 E0 3F"));
  EXPECT_EQ(*Codec().EncodeSuccess(), Hex("00 00"));
  const EncodableValue yes(true);
  EXPECT_EQ(*Codec().EncodeSuccess(&yes), Hex("00 01"));
  EXPECT_EQ(*Codec().EncodeError("error"), Hex("01 07 05 65 72 72 6F 72 00 00"));
  EXPECT_EQ(*Codec().EncodeError("", "m", &yes), Hex("01 07 00 07 01 6D 01"));
}

TEST(StandardMethodCodecTest, DecodeCall) {
  const Bytes set_volume =
      *Codec().EncodeCall(MethodCall<>("setVolume", std::make_unique<EncodableValue>(0.25)));
  std::unique_ptr<MethodCall<>> call = Codec().DecodeCall(set_volume.data(), set_volume.size());
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->method_name(), "setVolume");
  ASSERT_NE(call->arguments(), nullptr);
  EXPECT_EQ(*call->arguments(), EncodableValue(0.25));

  // A message that ends after the name carries null arguments.
  const Bytes name_only = Hex("07 04 73 74 6F 70");
  testing::internal::CaptureStderr();
  call = Codec().DecodeCall(name_only.data(), name_only.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), Lines(kInvalidRead, 1));
  ASSERT_NE(call, nullptr);
  ASSERT_NE(call->arguments(), nullptr);
  EXPECT_TRUE(call->arguments()->IsNull());

  const Bytes not_a_name = Hex("03 07 00 00 00 00");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeCall(not_a_name.data(), not_a_name.size()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n");
}

TEST(StandardMethodCodecTest, DecodeResponseHandsEnvelopesToTheResult) {
  const EncodableValue details(ValueList{EncodableValue(1)});
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {*Codec().EncodeSuccess(), "Success(nullptr)"},
      {Hex("00 03 02 00 00 00"), "Success(03 02 00 00 00 )"},
      {*Codec().EncodeError("bad", "", nullptr), "Error(bad,,nullptr)"},
      {*Codec().EncodeError("bad", "why", &details), "Error(bad,why,0C 01 03 01 00 00 00 )"},
  };
  for (const auto& [bytes, log] : cases) {
    const Response response = DecodeResponse(bytes);
    EXPECT_TRUE(response.recognised);
    EXPECT_EQ(response.log, log);
    EXPECT_EQ(response.errors, "");
  }

  const Response empty = DecodeResponse(Bytes{});
  EXPECT_TRUE(empty.recognised);
  EXPECT_EQ(empty.log, "Success(nullptr)");
  EXPECT_EQ(empty.errors, Lines(kInvalidRead, 2));

  const Response unknown = DecodeResponse(Hex("02 00"));
  EXPECT_FALSE(unknown.recognised);
  EXPECT_EQ(unknown.log, "");
}

TEST(StandardMethodCodecTest, MalformedErrorEnvelopeThrowsBeforeTouchingTheResult) {
  for (const Bytes& bytes : {Hex("01 03 01 00 00 00 00 00"), Hex("01 07 01 63 01 00")}) {
    RecordingResult result;
    EXPECT_THROW(Codec().DecodeResponse(bytes.data(), bytes.size(), &result),
                 std::bad_variant_access);
    EXPECT_EQ(result.log, "");
  }
}

TEST(StandardMethodCodecTest, OneCodecPerSerializer) {
  const StandardCodecSerializer& shared = StandardCodecSerializer::SharedSerializer();
  EXPECT_EQ(&StandardMethodCodec::ForSerializer(), &StandardMethodCodec::ForSerializer(nullptr));
  EXPECT_EQ(&StandardMethodCodec::ForSerializer(), &StandardMethodCodec::ForSerializer(&shared));

  // Serializers must outlive their codecs, so these live as long as the process.
  static const StandardCodecSerializer first;
  static const StandardCodecSerializer second;
  const StandardMethodCodec* seen[2] = {};
  std::thread other([&] { seen[0] = &StandardMethodCodec::ForSerializer(&first); });
  seen[1] = &StandardMethodCodec::ForSerializer(&second);
  other.join();
  EXPECT_EQ(seen[0], &StandardMethodCodec::ForSerializer(&first));
  EXPECT_EQ(seen[1], &StandardMethodCodec::ForSerializer(&second));
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_NE(seen[0], &StandardMethodCodec::ForSerializer());
}

}  // namespace
}  // namespace flutter
