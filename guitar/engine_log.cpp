#include "guitar/engine_log.h"

#include <cstdio>
#include <system_error>

namespace tonelark {
namespace {

uint64_t Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// "YYYY-MM-DD HH:MM:SS.mmm " in local time; 24 characters.
int FormatTime(uint64_t time, char* out, size_t size) {
  const FILETIME utc{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  FILETIME local;
  SYSTEMTIME fields;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields)) {
    fields = SYSTEMTIME{};
  }
  return std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", fields.wYear,
                       fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond,
                       fields.wMilliseconds);
}

}  // namespace

void EngineLog::Write(const char* line) {
  OutputDebugStringA(line);
  LogQueue::Process().Push(line);
}

std::wstring EngineLog::DefaultFolder() {
  const DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  std::wstring folder(needed, L'\0');
  const DWORD length =
      needed == 0 ? 0 : GetEnvironmentVariableW(L"LOCALAPPDATA", &folder[0], needed);
  if (length == 0 || length >= needed) {
    OutputDebugStringA("Tonelark log unavailable: LOCALAPPDATA is not set\n");
    return std::wstring();
  }
  folder.resize(length);
  return folder + L"\\Tonelark\\logs";
}

EngineLog::EngineLog(const std::wstring& folder, const char* version, LogQueue& queue)
    : queue_(queue), written_(queue.popped()) {
  // An empty folder has had its debugger line from DefaultFolder.
  if (folder.empty() || !file_.Open(folder)) return;
  char line[LogQueue::kLineBytes];
  const int length = std::snprintf(line, sizeof(line), "---- Tonelark %s started ----",
                                   version != nullptr ? version : "");
  Append(Now(), line, length > 0 ? static_cast<size_t>(length) : 0);
  stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_) return;
  queue_.SetAttached(true);
  try {
    writer_ = std::thread([this] {
      for (;;) {
        const bool stopping = WaitForSingleObject(stop_.Get(), kDrainMs) != WAIT_TIMEOUT;
        Drain();
        if (stopping) return;
      }
    });
  } catch (const std::system_error&) {
    queue_.SetAttached(false);
    OutputDebugStringA("Tonelark log unavailable: no thread to write it\n");
  }
}

EngineLog::~EngineLog() {
  queue_.SetAttached(false);
  if (!writer_.joinable()) return;
  SetEvent(stop_.Get());
  writer_.join();
  const uint32_t lost = queue_.TakeLost();
  if (lost > 0) {
    char line[64];
    const int length = std::snprintf(line, sizeof(line), "Tonelark log lost %u lines", lost);
    Append(Now(), line, static_cast<size_t>(length));
  }
}

void EngineLog::Flush() {
  const uint64_t target = queue_.pushed();
  while (writer_.joinable() && written_.load(std::memory_order_acquire) < target) Sleep(1);
}

void EngineLog::Drain() {
  LogQueue::Line line;
  while (queue_.Pop(&line)) {
    if (line.lost_before > 0) {
      char lost[64];
      const int length =
          std::snprintf(lost, sizeof(lost), "Tonelark log lost %u lines", line.lost_before);
      Append(line.time, lost, static_cast<size_t>(length));
    }
    Append(line.time, line.text, line.length);
    written_.store(queue_.popped(), std::memory_order_release);
  }
}

void EngineLog::Append(uint64_t time, const char* text, size_t length) {
  char buffer[32 + LogQueue::kLineBytes];
  const int stamp = FormatTime(time, buffer, sizeof(buffer));
  size_t used = stamp > 0 ? static_cast<size_t>(stamp) : 0;
  for (size_t i = 0; i < length && used < sizeof(buffer) - 2; ++i) buffer[used++] = text[i];
  buffer[used++] = '\r';
  buffer[used++] = '\n';
  file_.Append(buffer, used);
}

}  // namespace tonelark
