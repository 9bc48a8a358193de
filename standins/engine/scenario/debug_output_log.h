// debug.log: what the program writes with OutputDebugStringA, one line per output line,
//
//   <ms> <text>
//
// on the traffic log's clock (milliseconds after the first frame, three decimals; before it,
// after the view controller's creation). The text is seen where OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C: a vectored exception handler looks at it and lets the search go on, so
// the text still reaches an attached debugger or a DBWIN reader exactly as before. With a
// debugger attached the debugger takes the exception first and the log stays empty.
//
// Threads: the handler runs on whichever thread wrote the output; lines are written whole under
// the log's own lock and flushed. SetOrigin may be called from any thread.
#ifndef STANDINS_ENGINE_SCENARIO_DEBUG_OUTPUT_LOG_H_
#define STANDINS_ENGINE_SCENARIO_DEBUG_OUTPUT_LOG_H_

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {

class DebugOutputLog {
 public:
  using Clock = std::chrono::steady_clock;

  DebugOutputLog() = default;
  ~DebugOutputLog();
  DebugOutputLog(const DebugOutputLog&) = delete;
  DebugOutputLog& operator=(const DebugOutputLog&) = delete;

  // Creates the file and starts watching the process's debugger output. False when the file
  // cannot be created or the handler cannot be installed; nothing is watched then.
  bool Open(const std::string& path);
  // Times count from here on.
  void SetOrigin(Clock::time_point origin);

 private:
  static LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers);
  void Append(const char* text, size_t length);

  static std::atomic<DebugOutputLog*> active_;  // the open log the handler writes to
  std::atomic<Clock::rep> origin_{Clock::now().time_since_epoch().count()};
  PVOID handler_ = nullptr;  // from AddVectoredExceptionHandler, removed by the destructor
  std::mutex mutex_;
  FilePtr file_;  // under mutex_
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_DEBUG_OUTPUT_LOG_H_
