#include "guitar/log_file.h"

#include <cstdio>

#include "guitar/utf16_to_utf8.h"

namespace tonelark {
namespace {

constexpr wchar_t kCurrentName[] = L"\\tonelark.log";
constexpr wchar_t kOldName[] = L"\\tonelark.1.log";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

bool LogFile::Open(const std::wstring& folder) {
  folder_ = folder;
  while (!folder_.empty() && IsSeparator(folder_.back())) folder_.pop_back();
  if (folder_.empty()) return Unavailable("no folder for", folder, ERROR_PATH_NOT_FOUND);
  // Each level in turn: a drive ("C:") or the root is there already, and only the last answer
  // tells whether the folder can be had.
  for (size_t at = 1; at < folder_.size(); ++at) {
    if (IsSeparator(folder_[at]) && folder_[at - 1] != L':' && !IsSeparator(folder_[at - 1])) {
      CreateDirectoryW(folder_.substr(0, at).c_str(), nullptr);
    }
  }
  if (!CreateDirectoryW(folder_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return Unavailable("cannot create", folder_, GetLastError());
  }
  return OpenCurrent();
}

bool LogFile::OpenCurrent() {
  const std::wstring path = folder_ + kCurrentName;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Unavailable("cannot open", path, GetLastError());
  file_.Reset(file);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return Unavailable("cannot size", path, GetLastError());
  size_ = size.QuadPart;
  return true;
}

bool LogFile::Append(const char* text, size_t length) {
  if (!file_) return false;
  if (size_ > 0 && size_ + static_cast<int64_t>(length) > kRollBytes) {
    file_.Reset();
    const std::wstring current = folder_ + kCurrentName;
    if (!MoveFileExW(current.c_str(), (folder_ + kOldName).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return Unavailable("cannot roll over", current, GetLastError());
    }
    if (!OpenCurrent()) return false;
  }
  DWORD written = 0;
  if (!WriteFile(file_.Get(), text, static_cast<DWORD>(length), &written, nullptr) ||
      written != length) {
    return Unavailable("cannot write", folder_ + kCurrentName, GetLastError());
  }
  size_ += static_cast<int64_t>(length);
  return true;
}

bool LogFile::Unavailable(const char* what, const std::wstring& path, DWORD error) {
  file_.Reset();
  char line[600];
  std::snprintf(line, sizeof(line), "Tonelark log unavailable: %s %s (error %lu)\n", what,
                Utf16ToUtf8(path.c_str()).c_str(), static_cast<unsigned long>(error));
  OutputDebugStringA(line);
  return false;
}

}  // namespace tonelark
