#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

// The two-call conversion the program uses; "<failed>" when either call returns 0.
std::string ToUtf8(const std::vector<wchar_t>& units, DWORD flags = WC_ERR_INVALID_CHARS) {
  const int length = static_cast<int>(units.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, flags, units.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "<failed>";
  std::string out(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, flags, units.data(), length, &out[0], size, nullptr, nullptr) !=
      size) {
    return "<failed>";
  }
  return out;
}

TEST(WideCharTest, ValidTextConverts) {
  EXPECT_EQ(ToUtf8({L'a'}), "a");
  EXPECT_EQ(ToUtf8({}), "<failed>");  // Windows refuses an empty input.
  EXPECT_EQ(ToUtf8({0xE9}), "\xC3\xA9");
  EXPECT_EQ(ToUtf8({0x20AC, L'x'}),
            "\xE2\x82\xAC"
            "x");
  EXPECT_EQ(ToUtf8({0xD83C, 0xDFB8}), "\xF0\x9F\x8E\xB8");  // U+1F3B8 as a surrogate pair.
  EXPECT_EQ(ToUtf8({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF");
}

TEST(WideCharTest, UnpairedSurrogatesFailStrictlyAndAreReplacedOtherwise) {
  const std::vector<wchar_t> high_at_end = {L'a', 0xD800};
  const std::vector<wchar_t> high_before_letter = {0xD83C, L'a'};
  const std::vector<wchar_t> low_alone = {0xDFB8, L'a'};
  EXPECT_EQ(ToUtf8(high_at_end), "<failed>");
  EXPECT_EQ(ToUtf8(high_before_letter), "<failed>");
  EXPECT_EQ(ToUtf8(low_alone), "<failed>");
  EXPECT_EQ(ToUtf8(high_at_end, 0), "a\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf8(high_before_letter, 0),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(ToUtf8(low_alone, 0),
            "\xEF\xBF\xBD"
            "a");
#ifndef _WIN32
  // A 32-bit wchar_t can hold values no UTF-16 unit has.
  EXPECT_EQ(ToUtf8({static_cast<wchar_t>(0x1F3B8)}), "<failed>");
#endif
}

TEST(WideCharTest, TerminatedInputCountsTheNulAndShortBuffersFail) {
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, L"ab", -1, nullptr, 0, nullptr, nullptr),
      3);
  const wchar_t text[] = {0xE9, 0xE9, 0};
  char out[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, 2, out, 3, nullptr, nullptr),
            0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, 5, nullptr, nullptr),
            5);
  EXPECT_STREQ(out, "\xC3\xA9\xC3\xA9");
}

}  // namespace
