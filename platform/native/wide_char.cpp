// WideCharToMultiByte for CP_UTF8, the only code page the program converts to.
//
// Each wchar_t holds one UTF-16 code unit, as the Windows code that fills it expects, so
// supplementary characters arrive as surrogate pairs in two consecutive units.
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

int Utf8Length(uint32_t code_point) {
  if (code_point < 0x80) return 1;
  if (code_point < 0x800) return 2;
  if (code_point < 0x10000) return 3;
  return 4;
}

void EncodeUtf8(uint32_t code_point, char* out) {
  const int length = Utf8Length(code_point);
  if (length == 1) {
    out[0] = static_cast<char>(code_point);
    return;
  }
  static constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (code_point & 0x3F));
    code_point >>= 6;
  }
  out[0] = static_cast<char>(kLead[length] | code_point);
}

// Decodes the code point starting at `units[*index]` and advances `*index`. Returns false for a
// unit that no valid UTF-16 holds there (an unpaired surrogate, or a value above 0xFFFF that
// a 32-bit wchar_t can carry but UTF-16 cannot).
bool NextCodePoint(const wchar_t* units, size_t count, size_t* index, uint32_t* code_point) {
  const uint32_t unit = static_cast<uint32_t>(units[*index]);
  ++*index;
  if (unit > 0xFFFF || IsLowSurrogate(unit)) return false;
  if (!IsHighSurrogate(unit)) {
    *code_point = unit;
    return true;
  }
  if (*index == count) return false;
  const uint32_t low = static_cast<uint32_t>(units[*index]);
  if (!IsLowSurrogate(low)) return false;
  ++*index;
  *code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  return true;
}

}  // namespace

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length, LPSTR out,
                        int out_size, LPCCH default_char, LPBOOL used_default_char) {
  // Windows refuses default characters for UTF-8, and every flag but WC_ERR_INVALID_CHARS.
  if (code_page != CP_UTF8 || (flags & ~WC_ERR_INVALID_CHARS) != 0 || default_char != nullptr ||
      used_default_char != nullptr) {
    return 0;
  }
  if (wide == nullptr || wide_length == 0 || wide_length < -1 || out_size < 0 ||
      (out == nullptr && out_size != 0)) {
    return 0;
  }
  const size_t count = wide_length == -1 ? std::wcslen(wide) + 1 : static_cast<size_t>(wide_length);
  const bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;

  size_t needed = 0;
  for (size_t i = 0; i < count;) {
    uint32_t code_point = kReplacement;
    if (!NextCodePoint(wide, count, &i, &code_point) && strict) return 0;
    needed += static_cast<size_t>(Utf8Length(code_point));
  }
  if (needed > static_cast<size_t>(INT32_MAX)) return 0;
  if (out_size == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(out_size)) return 0;

  char* cursor = out;
  for (size_t i = 0; i < count;) {
    uint32_t code_point = kReplacement;
    if (!NextCodePoint(wide, count, &i, &code_point)) code_point = kReplacement;
    EncodeUtf8(code_point, cursor);
    cursor += Utf8Length(code_point);
  }
  return static_cast<int>(needed);
}
