#include "channels/encodable_value.h"

#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "tests/codec/codec_test_support.h"

namespace flutter {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The index order is part of the wire format and of the key ordering.
TEST(EncodableValueTest, EachPayloadTypeSelectsItsAlternative) {
  const EncodableValue values[] = {EncodableValue(),
                                   EncodableValue(false),
                                   EncodableValue(int32_t{1}),
                                   EncodableValue(int64_t{1}),
                                   EncodableValue(1.0),
                                   EncodableValue(std::string("x")),
                                   EncodableValue(std::vector<uint8_t>{}),
                                   EncodableValue(std::vector<int32_t>{}),
                                   EncodableValue(std::vector<int64_t>{}),
                                   EncodableValue(std::vector<double>{}),
                                   EncodableValue(ValueList{}),
                                   EncodableValue(ValueMap{}),
                                   EncodableValue(CustomValue(7)),
                                   EncodableValue(std::vector<float>{})};
  for (size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(values[i].index(), i);
  }
}

TEST(EncodableValueTest, CStringIsAStringNeverABool) {
  EncodableValue value("renderExclusive");
  ASSERT_TRUE(std::holds_alternative<std::string>(value));
  EXPECT_EQ(std::get<std::string>(value).size(), 15u);
  EXPECT_EQ(std::get_if<bool>(&value), nullptr);
  EXPECT_THROW(std::get<bool>(value), std::bad_variant_access);
  EXPECT_EQ(EncodableValue(static_cast<const char*>(nullptr)), EncodableValue(""));
}

// Each pair orders strictly: first before second, never the other way round.
TEST(EncodableValueTest, OrderingFollowsIndexThenPayload) {
  const std::vector<std::pair<EncodableValue, EncodableValue>> ordered = {
      {EncodableValue(), EncodableValue(false)},
      {EncodableValue(false), EncodableValue(true)},
      {EncodableValue(int32_t{5}), EncodableValue(int64_t{1})},
      {EncodableValue(int32_t{-3}), EncodableValue(int32_t{2})},
      {EncodableValue(int64_t{-1}), EncodableValue(int64_t{0})},
      {EncodableValue(-1.5), EncodableValue(0.5)},
      {EncodableValue("ab"), EncodableValue("abc")},
      {EncodableValue("a\x7f"), EncodableValue("a\x80")},  // unsigned bytes
      {EncodableValue(std::vector<uint8_t>{0x01, 0x00}),
       EncodableValue(std::vector<uint8_t>{0xFF})},
      {EncodableValue(std::vector<int32_t>{-1}), EncodableValue(std::vector<int32_t>{0})},
      {EncodableValue(std::vector<int64_t>{1}), EncodableValue(std::vector<int64_t>{1, 0})},
      {EncodableValue(std::vector<double>{1.0}), EncodableValue(std::vector<double>{2.0})},
      {EncodableValue(ValueList{EncodableValue(1), EncodableValue()}),
       EncodableValue(ValueList{EncodableValue(1), EncodableValue(false)})},
      {EncodableValue(ValueMap{{EncodableValue("a"), EncodableValue(9)}}),
       EncodableValue(ValueMap{{EncodableValue("b"), EncodableValue(0)}})},
      {EncodableValue(ValueMap{{EncodableValue("a"), EncodableValue(1)}}),
       EncodableValue(ValueMap{{EncodableValue("a"), EncodableValue(2)}})},
      {EncodableValue(ValueMap{}), EncodableValue(ValueMap{{EncodableValue(), EncodableValue()}})},
      {EncodableValue(std::vector<float>{1.0f}), EncodableValue(std::vector<float>{1.0f, 0.0f})},
      // Unlike a double list, a list reads on past equivalent elements (two NaNs).
      {EncodableValue(ValueList{EncodableValue(kNaN), EncodableValue(1)}),
       EncodableValue(ValueList{EncodableValue(kNaN), EncodableValue(2)})},
      {EncodableValue(ValueMap{{EncodableValue(kNaN), EncodableValue(1)}}),
       EncodableValue(ValueMap{{EncodableValue(kNaN), EncodableValue(2)}})},
  };
  for (const auto& pair : ordered) {
    EXPECT_TRUE(pair.first < pair.second) << testing::PrintToString(pair.first);
    EXPECT_FALSE(pair.second < pair.first) << testing::PrintToString(pair.first);
    EXPECT_LT(Compare(pair.first, pair.second), 0) << testing::PrintToString(pair.first);
    EXPECT_GT(Compare(pair.second, pair.first), 0) << testing::PrintToString(pair.first);
    EXPECT_EQ(Compare(pair.first, pair.first), 0) << testing::PrintToString(pair.first);
  }
}

TEST(EncodableValueTest, NaNLeavesFloatingPointValuesUnordered) {
  const auto unordered = [](const EncodableValue& a, const EncodableValue& b) {
    return !(a < b) && !(b < a) && Compare(a, b) == 0 && Compare(b, a) == 0;
  };
  const float nan_f = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(unordered(EncodableValue(std::vector<float>{1.0f, nan_f}),
                        EncodableValue(std::vector<float>{1.0f, 2.0f})));
  // The first unordered pair decides, even when a later pair would order.
  EXPECT_TRUE(unordered(EncodableValue(std::vector<double>{kNaN, 1.0}),
                        EncodableValue(std::vector<double>{kNaN, 2.0})));
  EXPECT_TRUE(unordered(EncodableValue(kNaN), EncodableValue(1.0)));
  EXPECT_FALSE(EncodableValue(kNaN) == EncodableValue(kNaN));
}

TEST(EncodableValueTest, CustomValueOrdersByObjectAndCopiesItsPayload) {
  auto token = std::make_shared<int>(3);
  EncodableValue a{CustomValue(token)};
  EXPECT_EQ(token.use_count(), 2);
  {
    EncodableValue b = a;
    EXPECT_EQ(token.use_count(), 3);
    EXPECT_NE(std::get<CustomValue>(b).get_if<std::shared_ptr<int>>(), nullptr);
    EXPECT_EQ(std::get<CustomValue>(b).get_if<int>(), nullptr);
    EXPECT_NE(a < b, b < a);  // distinct objects are never equivalent
    EXPECT_FALSE(a < a);
    EXPECT_FALSE(a == b);
  }
  EXPECT_EQ(token.use_count(), 2);
}

TEST(EncodableValueTest, MapKeysOfDifferentAlternativesStayDistinct) {
  ValueMap map;
  map[EncodableValue(1.0)] = EncodableValue("double");
  map[EncodableValue(int64_t{1})] = EncodableValue("int64");
  map[EncodableValue(int32_t{1})] = EncodableValue("int32");
  ASSERT_EQ(map.size(), 3u);
  std::vector<size_t> order;
  for (const auto& entry : map) {
    order.push_back(entry.first.index());
  }
  EXPECT_EQ(order, (std::vector<size_t>{2, 3, 4}));

  EXPECT_TRUE(map[EncodableValue("absent")].IsNull());
  EXPECT_EQ(map.size(), 4u);
  map[EncodableValue("ok")] = EncodableValue(true);
  EXPECT_EQ(map.at(EncodableValue("ok")), EncodableValue(true));
}

TEST(EncodableValueTest, CopyIsDeep) {
  const EncodableValue source(ValueList{EncodableValue(
      ValueMap{{EncodableValue("k"), EncodableValue(ValueList{EncodableValue(1)})}})});
  const codec_test::Bytes before = codec_test::Encode(source);
  EncodableValue copy = source;
  auto& inner = std::get<ValueList>(std::get<ValueMap>(std::get<ValueList>(copy)[0])["k"]);
  inner[0] = EncodableValue("changed");
  EXPECT_EQ(codec_test::Encode(source), before);
  EXPECT_NE(codec_test::Encode(copy), before);
}

}  // namespace
}  // namespace flutter
