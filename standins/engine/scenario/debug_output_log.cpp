#include "standins/engine/scenario/debug_output_log.h"

#include <cstdio>
#include <cstring>

namespace engine_standin {

std::atomic<DebugOutputLog*> DebugOutputLog::active_{nullptr};

DebugOutputLog::~DebugOutputLog() {
  if (handler_ != nullptr) RemoveVectoredExceptionHandler(handler_);
  DebugOutputLog* self = this;
  active_.compare_exchange_strong(self, nullptr);
  // A handler that already read active_ may still be writing.
  std::lock_guard<std::mutex> lock(mutex_);
  file_.reset();
}

bool DebugOutputLog::Open(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = OpenFile(path, "wb");
    if (!file_) return false;
  }
  DebugOutputLog* none = nullptr;
  if (!active_.compare_exchange_strong(none, this)) return false;
  // First in line, so that no other handler of the process swallows the text before us.
  handler_ = AddVectoredExceptionHandler(1, &DebugOutputLog::OnException);
  if (handler_ == nullptr) active_ = nullptr;
  return handler_ != nullptr;
}

void DebugOutputLog::SetOrigin(Clock::time_point origin) {
  origin_ = origin.time_since_epoch().count();
}

LONG CALLBACK DebugOutputLog::OnException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
    // The parameters are the length with the terminating NUL, and the text.
    const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    DebugOutputLog* log = active_.load();
    if (log != nullptr && text != nullptr) log->Append(text, strnlen(text, length));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void DebugOutputLog::Append(const char* text, size_t length) {
  const Clock::time_point origin{Clock::duration(origin_.load())};
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - origin).count();
  char time[32];
  std::snprintf(time, sizeof time, "%10.3f ", ms);
  std::string lines;
  size_t start = 0;
  // One log line per output line; a text without a final line break still ends its line.
  while (start < length) {
    const char* end = static_cast<const char*>(std::memchr(text + start, '\n', length - start));
    const size_t stop = end != nullptr ? static_cast<size_t>(end - text) : length;
    size_t line_end = stop;
    if (line_end > start && text[line_end - 1] == '\r') --line_end;
    lines += time;
    lines.append(text + start, line_end - start);
    lines += '\n';
    start = stop + 1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_ || lines.empty()) return;
  std::fputs(lines.c_str(), file_.get());
  std::fflush(file_.get());
}

}  // namespace engine_standin
