#include "channels/standard_codec_serializer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "channels/byte_buffer_streams.h"
#include "tests/codec/codec_test_support.h"

namespace flutter {
namespace {

using codec_test::Bytes;
using codec_test::Concat;
using codec_test::Decode;
using codec_test::Encode;
using codec_test::Hex;
using codec_test::kInvalidRead;
using codec_test::Lines;

Bytes Sequence(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7);
  }
  return bytes;
}

// Values whose encoding is fixed byte for byte; each must also decode back to itself, reading
// the whole message.
TEST(StandardCodecSerializerTest, WireFormatRoundTrips) {
  const std::vector<std::pair<EncodableValue, Bytes>> cases = {
      {EncodableValue(), Hex("00")},
      {EncodableValue(true), Hex("01")},
      {EncodableValue(false), Hex("02")},
      {EncodableValue(int32_t{5}), Hex("03 05 00 00 00")},
      {EncodableValue(int64_t{-1}), Hex("04 FF FF FF FF FF FF FF FF")},
      {EncodableValue(1.0), Hex("06 00 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F")},
      {EncodableValue("stop"), Hex("07 04 73 74 6F 70")},
      {EncodableValue(""), Hex("07 00")},
      {EncodableValue(Sequence(300)), Concat(Hex("08 FE 2C 01"), Sequence(300))},
      {EncodableValue(Sequence(70000)), Concat(Hex("08 FF 70 11 01 00"), Sequence(70000))},
      {EncodableValue(std::vector<int32_t>{1}), Hex("09 01 00 00 01 00 00 00")},
      {EncodableValue(std::vector<int64_t>{-2}),
       Hex("0A 01 00 00 00 00 00 00 FE FF FF FF FF FF FF FF")},
      {EncodableValue(std::vector<double>{1.0}),
       Hex("0B 01 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F")},
      {EncodableValue(std::vector<float>{1.0f, -2.0f}), Hex("0E 02 00 00 00 00 80 3F 00 00 00 C0")},
      {EncodableValue(ValueList{EncodableValue(), EncodableValue(true)}), Hex("0C 02 00 01")},
      {EncodableValue(ValueMap{{EncodableValue("a"), EncodableValue(1)}}),
       Hex("0D 01 07 01 61 03 01 00 00 00")},
      // Keys go out in ascending order; the double is padded from the message start (its tag at
      // 13, padding to 16), not from the start of its list.
      {EncodableValue(
           ValueMap{{EncodableValue("b"), EncodableValue(ValueList{EncodableValue(0.5)})},
                    {EncodableValue(2), EncodableValue()}}),
       Hex("0D 02 03 02 00 00 00 00 07 01 62 0C 01 06 00 00 00 00 00 00 00 00 E0 3F")},
  };
  for (const auto& [value, bytes] : cases) {
    SCOPED_TRACE(testing::PrintToString(value));
    EXPECT_EQ(Encode(value), bytes);
    const codec_test::Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.value, value);
    EXPECT_EQ(decoded.position, bytes.size());
    EXPECT_EQ(decoded.errors, "");
  }
}

TEST(StandardCodecSerializerTest, SizeFieldEscapesAt254And65536) {
  const StandardCodecSerializer& serializer = StandardCodecSerializer::SharedSerializer();
  const std::vector<std::pair<size_t, Bytes>> cases = {
      {253, Hex("FD")},
      {254, Hex("FE FE 00")},
      {65535, Hex("FE FF FF")},
      {65536, Hex("FF 00 00 01 00")},
      {0xFFFFFFFF, Hex("FF FF FF FF FF")},
  };
  for (const auto& [length, bytes] : cases) {
    Bytes written;
    ByteBufferStreamWriter writer(&written);
    serializer.WriteLength(length, &writer);
    EXPECT_EQ(written, bytes) << length;
    ByteBufferStreamReader reader(bytes.data(), bytes.size());
    EXPECT_EQ(serializer.ReadLength(&reader), length);
  }
}

TEST(StandardCodecSerializerTest, ReaderQuirks) {
  // The reader aligns for an empty typed list too, so the writer pads it: what follows survives.
  const EncodableValue empty_inside(
      ValueList{EncodableValue(), EncodableValue(std::vector<int32_t>{}), EncodableValue(true)});
  EXPECT_EQ(Encode(empty_inside), Hex("0C 03 00 09 00 00 00 00 01"));
  EXPECT_EQ(Decode(Encode(empty_inside)).value, empty_inside);
  const Bytes message = Hex("09 00 AA BB 03 07 00 00 00");
  ByteBufferStreamReader reader(message.data(), message.size());
  const StandardCodecSerializer& serializer = StandardCodecSerializer::SharedSerializer();
  EXPECT_EQ(serializer.ReadTaggedValue(&reader), EncodableValue(std::vector<int32_t>{}));
  EXPECT_EQ(reader.position(), 4u);
  EXPECT_EQ(serializer.ReadTaggedValue(&reader), EncodableValue(7));

  // Tag 5 (a large integer in its decimal form) arrives as a string.
  EXPECT_EQ(Decode(Hex("05 02 34 32")).value, EncodableValue("42"));

  // The first of two equivalent keys wins, also when the keys are out of order.
  EXPECT_EQ(Decode(Hex("0D 02 07 01 6B 03 01 00 00 00 07 01 6B 03 02 00 00 00")).value,
            EncodableValue(ValueMap{{EncodableValue("k"), EncodableValue(1)}}));
  EXPECT_EQ(Decode(Hex("0D 04 07 01 62 03 01 00 00 00 07 01 61 03 02 00 00 00 "
                       "07 01 62 03 03 00 00 00 07 01 61 03 04 00 00 00"))
                .value,
            EncodableValue(ValueMap{{EncodableValue("a"), EncodableValue(2)},
                                    {EncodableValue("b"), EncodableValue(1)}}));
}

TEST(StandardCodecSerializerTest, UnknownTagAndCustomValueReportAndBecomeNull) {
  const codec_test::Decoded decoded = Decode(Hex("C8 01 02"));
  EXPECT_TRUE(decoded.value.IsNull());
  EXPECT_EQ(decoded.position, 1u);
  EXPECT_EQ(decoded.errors, "Unknown type in StandardCodecSerializer::ReadValueOfType: 200\n");

  testing::internal::CaptureStderr();
  const Bytes bytes =
      Encode(EncodableValue(ValueList{EncodableValue(CustomValue(1)), EncodableValue(true)}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unhandled custom type in StandardCodecSerializer::WriteValue. Custom types require "
            "codec extensions.\n");
  EXPECT_EQ(bytes, Hex("0C 02 00 01"));
}

// Every size field cut short, and every payload cut short, yields zero or empty with one line.
TEST(StandardCodecSerializerTest, TruncatedMessagesReadAsZeroOrEmpty) {
  const std::vector<std::pair<Bytes, EncodableValue>> cases = {
      {Hex(""), EncodableValue()},
      {Hex("0C"), EncodableValue(ValueList{})},
      {Hex("07 FE 05"), EncodableValue("")},
      {Hex("07 FF 01 00 00"), EncodableValue("")},
      {Hex("08 FE"), EncodableValue(std::vector<uint8_t>{})},
      {Hex("0D FF 01"), EncodableValue(ValueMap{})},
      {Hex("03 05 00"), EncodableValue(int32_t{0})},
      {Hex("04 05 00 00 00"), EncodableValue(int64_t{0})},
      {Hex("06 00 00 00"), EncodableValue(0.0)},
      {Hex("06 00 00 00 00 00 00 00 00 00 F0 3F"), EncodableValue(0.0)},
      // The payload is missing: the announced size is not filled with invented zeros.
      {Hex("07 05 61 62 63"), EncodableValue("")},
      {Hex("09 02 00 00 01 00 00 00"), EncodableValue(std::vector<int32_t>{})},
      // Entries stop where the data ends; a key without its value keeps a null value.
      {Hex("0C 03 01"), EncodableValue(ValueList{EncodableValue(true)})},
      {Hex("0D 01 07 01 6B"), EncodableValue(ValueMap{{EncodableValue("k"), EncodableValue()}})},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    const codec_test::Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.value, expected);
    EXPECT_EQ(decoded.errors, Lines(kInvalidRead, 1));
  }
}

// A six-byte message that announces 2^32 - 1 elements must cost neither memory nor time; it
// yields the empty value of its type, the same as a size of 0.
TEST(StandardCodecSerializerTest, OversizedAnnouncementsAreRefusedUpFront) {
  for (uint8_t tag : {5, 7, 8, 9, 10, 11, 12, 13, 14}) {
    SCOPED_TRACE(static_cast<int>(tag));
    const codec_test::Decoded decoded = Decode(Bytes{tag, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(decoded.value, Decode(Bytes{tag, 0x00}).value);
    EXPECT_EQ(decoded.errors, Lines(kInvalidRead, 1));
  }
}

// The reader aligns even for an empty typed list; an alignment that runs past the end of the
// data is a failed read, one that ends exactly at the end is not.
TEST(StandardCodecSerializerTest, EmptyTypedListAlignedPastTheEndIsAnInvalidRead) {
  for (const auto& [bytes, value] : std::vector<std::pair<Bytes, EncodableValue>>{
           {Hex("09 00"), EncodableValue(std::vector<int32_t>{})},
           {Hex("0E 00"), EncodableValue(std::vector<float>{})},
           {Hex("0A 00 00 00"), EncodableValue(std::vector<int64_t>{})},
           {Hex("0B 00 00 00 00 00 00"), EncodableValue(std::vector<double>{})}}) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    const codec_test::Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.value, value);
    EXPECT_EQ(decoded.errors, Lines(kInvalidRead, 1));
  }
  EXPECT_EQ(Decode(Hex("09 00 00 00")).errors, "");
  EXPECT_EQ(Decode(Hex("0B 00 00 00 00 00 00 00")).errors, "");
}

// Each nested list or map costs stack; beyond the limit the innermost reads as null.
TEST(StandardCodecSerializerTest, NestingDeeperThanTheLimitReadsAsNull) {
  const auto nested = [](int depth, uint8_t innermost) {
    Bytes bytes;
    for (int i = 0; i < depth; ++i) {
      bytes.insert(bytes.end(), {0x0C, 0x01});
    }
    bytes.push_back(innermost);
    return bytes;
  };
  constexpr int kLimit = StandardCodecSerializer::kMaxNestingDepth;
  const codec_test::Decoded deepest = Decode(nested(kLimit, 0x01));
  EXPECT_EQ(Encode(deepest.value), nested(kLimit, 0x01));
  EXPECT_EQ(deepest.errors, "");

  const codec_test::Decoded too_deep = Decode(nested(100000, 0x01));
  EXPECT_EQ(Encode(too_deep.value), nested(kLimit, 0x00));
  EXPECT_EQ(too_deep.errors, "Nesting too deep in StandardCodecSerializer::ReadValueOfType: 12\n");
}

// A list or map refused for its depth reads as null, and its parent reads on from the byte after
// the refused one's encoding: none of its bytes is taken for a value of the parent.
TEST(StandardCodecSerializerTest, ValuesAfterARefusedContainerAreReadFromTheRightPlace) {
  constexpr int kLimit = StandardCodecSerializer::kMaxNestingDepth;
  // Lists of one element around inner, depth levels deep.
  const auto nest = [](int depth, EncodableValue inner) {
    for (int i = 0; i < depth; ++i) {
      inner = EncodableValue(ValueList{std::move(inner)});
    }
    return inner;
  };
  // Every kind of payload, with alignment padding that depends on the position in the message.
  const EncodableValue refused(ValueMap{
      {EncodableValue("doubles"), EncodableValue(std::vector<double>{0.5, -1.0})},
      {EncodableValue(int64_t{7}),
       EncodableValue(ValueList{
           EncodableValue(std::vector<float>{1.5f}),
           EncodableValue(std::vector<int32_t>{}),
           EncodableValue(std::vector<int64_t>{-1}),
           EncodableValue(std::vector<uint8_t>{1, 2, 3}),
           EncodableValue(2.5),
           EncodableValue(int32_t{-9}),
           EncodableValue(ValueMap{{EncodableValue(), EncodableValue(true)}}),
       })},
  });
  const auto message = [&](EncodableValue at_the_limit) {
    return EncodableValue(ValueList{nest(kLimit - 1, std::move(at_the_limit)), EncodableValue(0.25),
                                    EncodableValue("after"),
                                    EncodableValue(std::vector<int32_t>{5})});
  };
  const Bytes bytes = Encode(message(refused));
  const codec_test::Decoded decoded = Decode(bytes);
  EXPECT_EQ(decoded.value, message(EncodableValue()));
  EXPECT_EQ(decoded.position, bytes.size());
  EXPECT_EQ(decoded.errors, "Nesting too deep in StandardCodecSerializer::ReadValueOfType: 13\n");

  // Cut inside the refused container: the data ended, so the parent reads nothing more.
  const Bytes cut(bytes.begin(), bytes.end() - 40);
  const codec_test::Decoded truncated = Decode(cut);
  EXPECT_EQ(truncated.value, EncodableValue(ValueList{nest(kLimit - 1, EncodableValue())}));
  EXPECT_EQ(truncated.position, cut.size());
  EXPECT_EQ(truncated.errors, "Nesting too deep in StandardCodecSerializer::ReadValueOfType: 13\n" +
                                  Lines(kInvalidRead, 2));

  // A tag the format does not define has no known length: the rest is abandoned, not misread.
  Bytes unknown = Encode(message(EncodableValue(ValueList{EncodableValue(true)})));
  const Bytes true_at_the_limit = Hex("0C 01 01 06");
  auto inner = std::search(unknown.begin(), unknown.end(), true_at_the_limit.begin(),
                           true_at_the_limit.end());
  ASSERT_NE(inner, unknown.end());
  inner[2] = 0xC8;
  const codec_test::Decoded abandoned = Decode(unknown);
  EXPECT_EQ(abandoned.value, EncodableValue(ValueList{nest(kLimit - 1, EncodableValue())}));
  EXPECT_EQ(abandoned.position, unknown.size());
  EXPECT_EQ(abandoned.errors, "Nesting too deep in StandardCodecSerializer::ReadValueOfType: 12\n" +
                                  Lines(kInvalidRead, 1));
}

// A serializer that adds a type: its additions apply inside lists and maps too.
struct Point {
  int32_t x;
  int32_t y;
};

class PointSerializer : public StandardCodecSerializer {
 public:
  void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const override {
    const CustomValue* custom = std::get_if<CustomValue>(&value);
    const Point* point = custom != nullptr ? custom->get_if<Point>() : nullptr;
    if (point == nullptr) {
      StandardCodecSerializer::WriteValue(value, stream);
      return;
    }
    stream->PutByte(128);
    WriteValue(EncodableValue(point->x), stream);
    WriteValue(EncodableValue(point->y), stream);
  }

  EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const override {
    if (type != 128) {
      return StandardCodecSerializer::ReadValueOfType(type, stream);
    }
    const int32_t x = std::get<int32_t>(ReadTaggedValue(stream));
    const int32_t y = std::get<int32_t>(ReadTaggedValue(stream));
    return EncodableValue(CustomValue(Point{x, y}));
  }
};

TEST(StandardCodecSerializerTest, DerivedSerializerExtendsNestedValues) {
  const PointSerializer serializer;
  const EncodableValue value(ValueMap{
      {EncodableValue("p"), EncodableValue(ValueList{EncodableValue(CustomValue(Point{1, -1}))})}});
  const Bytes bytes = Encode(value, serializer);
  EXPECT_EQ(bytes, Hex("0D 01 07 01 70 0C 01 80 03 01 00 00 00 03 FF FF FF FF"));
  // Reading gives back a Point that writes the same bytes.
  EXPECT_EQ(Encode(Decode(bytes, serializer).value, serializer), bytes);
}

}  // namespace
}  // namespace flutter
