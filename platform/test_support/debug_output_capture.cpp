// On the host the platform layer hands debugger output to open readers. On Windows the text is
// observed where OutputDebugStringA raises DBG_PRINTEXCEPTION_C for a debugger: a vectored
// exception handler sees it first (when no debugger is attached) and lets the program continue.
#include <string>

#include "platform/test_support.h"

#ifdef _WIN32
#include <cstring>
#include <map>
#include <mutex>
#else
#include "platform/native/host_hooks.h"
#endif

namespace platform_test {

#ifdef _WIN32

namespace {

struct Readers {
  std::mutex mutex;
  std::map<const DebugOutputCapture*, std::string> pending;  // Text not yet taken, per capture.
};

Readers& AllReaders() {
  static Readers* readers = new Readers;  // Never destroyed: output may come during exit.
  return *readers;
}

// Set while Supported() asks whether the handler sees output at all.
thread_local bool probing = false;
thread_local bool probe_seen = false;

LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (probing) {
    probe_seen = true;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  // The parameters are the length with the terminating NUL, and the text.
  const size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
  const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
  Readers& readers = AllReaders();
  std::lock_guard<std::mutex> lock(readers.mutex);
  // With no capture open the text goes on to a debugger, if there is one.
  if (readers.pending.empty()) return EXCEPTION_CONTINUE_SEARCH;
  if (text != nullptr) {
    const std::string line(text, strnlen(text, length));
    for (auto& reader : readers.pending) reader.second += line;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Installed once for the whole process.
void InstallHandler() {
  static PVOID handler = AddVectoredExceptionHandler(1, OnException);
  (void)handler;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
  InstallHandler();
  Readers& readers = AllReaders();
  std::lock_guard<std::mutex> lock(readers.mutex);
  readers.pending[this].clear();
}

DebugOutputCapture::~DebugOutputCapture() {
  Readers& readers = AllReaders();
  std::lock_guard<std::mutex> lock(readers.mutex);
  readers.pending.erase(this);
}

std::string DebugOutputCapture::Take() {
  Readers& readers = AllReaders();
  std::lock_guard<std::mutex> lock(readers.mutex);
  std::string text;
  text.swap(readers.pending[this]);
  return text;
}

bool DebugOutputCapture::Supported() {
  // A debugger takes the exception before the handler can, so ask the system once.
  static const bool supported = [] {
    InstallHandler();
    probing = true;
    probe_seen = false;
    OutputDebugStringA("");
    probing = false;
    return probe_seen;
  }();
  return supported;
}

#else

DebugOutputCapture::DebugOutputCapture() { platform::native::OpenDebugOutputReader(this); }

DebugOutputCapture::~DebugOutputCapture() { platform::native::CloseDebugOutputReader(this); }

std::string DebugOutputCapture::Take() { return platform::native::TakeDebugOutput(this); }

bool DebugOutputCapture::Supported() { return true; }

#endif

}  // namespace platform_test
