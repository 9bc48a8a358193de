#include "standins/engine/scenario/output_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace engine_standin {
namespace {

#ifdef _WIN32
std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                      nullptr, nullptr);
  return text;
}
#endif

}  // namespace

FilePtr OpenFile(const std::string& path, const char* mode) {
  if (path.empty()) return nullptr;
#ifdef _WIN32
  const std::string narrow_mode = mode;
  return FilePtr(
      _wfopen(Widen(path).c_str(), std::wstring(narrow_mode.begin(), narrow_mode.end()).c_str()));
#else
  return FilePtr(std::fopen(path.c_str(), mode));
#endif
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  content->clear();
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content->append(buffer, n);
  return std::ferror(file.get()) == 0;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  const char last = directory.back();
  if (last == '\\' || last == '/') return directory + name;
  const bool windows_style =
      directory.find('\\') != std::string::npos || (directory.size() >= 2 && directory[1] == ':');
  return directory + (windows_style ? "\\" : "/") + name;
}

std::string Utf8FromWide(const std::wstring& wide) {
#ifdef _WIN32
  return Narrow(wide);
#else
  std::string text;
  for (wchar_t c : wide) {
    const auto code = static_cast<uint32_t>(c);
    if (code < 0x80) {
      text += static_cast<char>(code);
    } else if (code < 0x800) {
      text += static_cast<char>(0xC0 | (code >> 6));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text += static_cast<char>(0xE0 | (code >> 12));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (code >> 18));
      text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return text;
#endif
}

std::string EnvironmentValue(const char* name) {
#ifdef _WIN32
  // The wide environment keeps non-ASCII paths intact, whatever the code page.
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (length == 0) return std::string();
  std::wstring value(length, L'\0');
  const DWORD written = GetEnvironmentVariableW(wide_name.c_str(), &value[0], length);
  if (written == 0 || written >= length) return std::string();
  value.resize(written);
  return Narrow(value);
#else
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
#endif
}

}  // namespace engine_standin
