#include "guitar/utf16_to_utf8.h"

#include <string>

#include "gtest/gtest.h"

namespace {

using tonelark::Utf16ToUtf8;

// Builds a wide string from UTF-16 code units, one unit per wchar_t, as the system hands them over.
std::wstring Units(std::initializer_list<unsigned> units) {
  std::wstring text;
  for (unsigned unit : units) text.push_back(static_cast<wchar_t>(unit));
  return text;
}

TEST(Utf16ToUtf8Test, ConvertsValidText) {
  EXPECT_EQ(Utf16ToUtf8(L"Rocksmith USB Guitar Adapter"), "Rocksmith USB Guitar Adapter");
  EXPECT_EQ(Utf16ToUtf8(Units({0x47, 0xE9, 0x20AC}).c_str()), "G\xC3\xA9\xE2\x82\xAC");
  // U+1F3B8 (guitar) as a surrogate pair.
  EXPECT_EQ(Utf16ToUtf8(Units({0xD83C, 0xDFB8}).c_str()), "\xF0\x9F\x8E\xB8");
}

TEST(Utf16ToUtf8Test, NullEmptyAndInvalidGiveEmpty) {
  EXPECT_EQ(Utf16ToUtf8(nullptr), "");
  EXPECT_EQ(Utf16ToUtf8(L""), "");
  EXPECT_EQ(Utf16ToUtf8(Units({0x61, 0xD800, 0x62}).c_str()), "");  // lone high surrogate
  EXPECT_EQ(Utf16ToUtf8(Units({0xDC00}).c_str()), "");              // lone low surrogate
}

TEST(Utf16ToUtf8Test, ConvertsAtMost32767Units) {
  const std::wstring long_text(40000, L'a');
  const std::string converted = Utf16ToUtf8(long_text.c_str());
  EXPECT_EQ(converted, std::string(32767, 'a'));
  EXPECT_EQ(converted.find('\0'), std::string::npos);

  // A pair cut by the limit leaves a lone high surrogate: the text is then not valid UTF-16.
  std::wstring cut(32766, L'a');
  cut += Units({0xD83C, 0xDFB8});
  EXPECT_EQ(Utf16ToUtf8(cut.c_str()), "");
}

}  // namespace
