#include "channels/standard_method_codec.h"

#include <gtest/gtest.h>

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
