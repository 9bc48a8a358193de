// The engine's "Tonelark ..." lines: each goes to the debugger, as it always did, and then to the
// log file a player can send, %LOCALAPPDATA%\Tonelark\logs\tonelark.log, one line each:
//
//   2025-03-14 20:15:02.125 Tonelark device lost 0x88890004
//
// with the local time at which the line was made. Each run appends, after a line that starts it
// ("---- Tonelark <version> started ----"). LogFile rolls the file over at 1 MiB.
//
// Threads: Write from any thread, the audio thread included: it only pushes into a LogQueue. The
// EngineLog object (one per process, made and destroyed by the program's main thread) owns the
// file and the writer thread that drains the queue into it every kDrainMs; the destructor writes
// what is left. Lines written while no EngineLog exists go to the debugger alone.
#ifndef GUITAR_ENGINE_LOG_H_
#define GUITAR_ENGINE_LOG_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "guitar/log_file.h"
#include "guitar/log_queue.h"
#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace tonelark {

class EngineLog {
 public:
  static constexpr DWORD kDrainMs = 25;

  // `line` (NUL-terminated, ending in a newline) to the debugger, then to the process's queue.
  static void Write(const char* line);
  // %LOCALAPPDATA%\Tonelark\logs; empty, with a line to the debugger, when there is none.
  static std::wstring DefaultFolder();

  // Opens the log in `folder` and starts draining `queue` into it. A folder that cannot be made
  // or written leaves the lines to the debugger alone (the file says so there once).
  EngineLog(const std::wstring& folder, const char* version, LogQueue& queue = LogQueue::Process());
  ~EngineLog();
  EngineLog(const EngineLog&) = delete;
  EngineLog& operator=(const EngineLog&) = delete;

  // Returns once every line pushed before the call is in the file (or dropped with the file).
  void Flush();

 private:
  void Drain();
  void Append(uint64_t time, const char* text, size_t length);

  LogQueue& queue_;
  LogFile file_;  // writer thread only, once started
  // The queue's position up to which every line is in the file (or dropped with the file).
  std::atomic<uint64_t> written_{0};
  platform::ScopedHandle stop_;
  std::thread writer_;
};

}  // namespace tonelark

#endif  // GUITAR_ENGINE_LOG_H_
