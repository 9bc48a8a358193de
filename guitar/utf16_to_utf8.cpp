#include "guitar/utf16_to_utf8.h"

#include <cwchar>

#include "platform/win32.h"

namespace tonelark {

namespace {
// The longest string a Windows API hands out in one piece (UNICODE_STRING limit in characters).
constexpr size_t kMaxInputUnits = 32767;
}  // namespace

std::string Utf16ToUtf8(const wchar_t* input) {
  if (input == nullptr) return std::string();
  const int length = static_cast<int>(wcsnlen(input, kMaxInputUnits));
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, input, length, nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string result(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, input, length, &result[0], size, nullptr,
                          nullptr) == 0) {
    return std::string();
  }
  return result;
}

}  // namespace tonelark
