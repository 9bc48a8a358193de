// tonelark.log in one folder, appended to and rolled over to tonelark.1.log before it would pass
// kRollBytes; one old file is kept. The first failure (a folder that cannot be made, a file that
// cannot be opened, written or moved) writes one line to the debugger and closes the log for good.
//
// Threads: one at a time (the log's writer); every call here is a file call.
#ifndef GUITAR_LOG_FILE_H_
#define GUITAR_LOG_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace tonelark {

class LogFile {
 public:
  static constexpr int64_t kRollBytes = 1 << 20;

  // Makes `folder` and the levels above it that are missing, and opens its tonelark.log to
  // append; false when that fails.
  bool Open(const std::wstring& folder);
  // Writes `length` bytes of whole lines at the end of the file; false when the log is closed.
  bool Append(const char* text, size_t length);
  bool is_open() const { return static_cast<bool>(file_); }

 private:
  bool OpenCurrent();
  bool Unavailable(const char* what, const std::wstring& path, DWORD error);

  std::wstring folder_;
  platform::ScopedHandle file_;
  int64_t size_ = 0;  // bytes in tonelark.log
};

}  // namespace tonelark

#endif  // GUITAR_LOG_FILE_H_
