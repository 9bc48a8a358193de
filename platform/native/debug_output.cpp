// OutputDebugStringA for the host build: the text goes to every open reader, and nowhere else
// when none is open, as on Windows without a debugger.
#include <map>
#include <mutex>
#include <string>

#include "platform/native/host_hooks.h"
#include "platform/win32.h"

namespace platform::native {
namespace {

struct ReaderTable {
  std::mutex mutex;
  std::map<const void*, std::string> pending;  // Text not yet taken, per reader.
};

ReaderTable& Readers() {
  static ReaderTable* table = new ReaderTable;  // Never destroyed: output may come during exit.
  return *table;
}

}  // namespace

void OpenDebugOutputReader(const void* reader) {
  ReaderTable& table = Readers();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.pending[reader].clear();
}

std::string TakeDebugOutput(const void* reader) {
  ReaderTable& table = Readers();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.pending.find(reader);
  if (found == table.pending.end()) return std::string();
  std::string text;
  text.swap(found->second);
  return text;
}

void CloseDebugOutputReader(const void* reader) {
  ReaderTable& table = Readers();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.pending.erase(reader);
}

}  // namespace platform::native

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  platform::native::ReaderTable& table = platform::native::Readers();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (auto& reader : table.pending) reader.second += text;
}
