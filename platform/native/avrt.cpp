// The multimedia class scheduler for the host build: the thread keeps its normal scheduling, but
// task handles are handed out and checked as on Windows so that the caller's pairing is tested.
#include <cwctype>
#include <mutex>
#include <set>

#include "platform/native/host_hooks.h"
#include "platform/win32.h"

namespace {

// The tasks a stock Windows installation defines.
constexpr const wchar_t* kTaskNames[] = {L"Audio",    L"Capture",   L"Distribution",  L"Games",
                                         L"Playback", L"Pro Audio", L"Window Manager"};

bool SameName(const wchar_t* a, const wchar_t* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

bool KnownTask(const wchar_t* name) {
  for (const wchar_t* known : kTaskNames) {
    if (SameName(name, known)) return true;
  }
  return false;
}

struct TaskTable {
  std::mutex mutex;
  uintptr_t next_value = 0x1000;
  DWORD next_index = 0;
  std::set<HANDLE> live;
};

TaskTable& Tasks() {
  static TaskTable* table = new TaskTable;  // Never destroyed: threads may revert during exit.
  return *table;
}

}  // namespace

namespace platform::native {

int LiveMmTaskCount() {
  TaskTable& table = Tasks();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.live.size());
}

}  // namespace platform::native

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task_name, LPDWORD task_index) {
  if (task_name == nullptr || task_index == nullptr || !KnownTask(task_name)) return nullptr;
  TaskTable& table = Tasks();
  std::lock_guard<std::mutex> lock(table.mutex);
  // Index 0 asks for a new task; a non-zero index joins that task and is left as it is.
  if (*task_index == 0) *task_index = ++table.next_index;
  table.next_value += 0x10;
  HANDLE task = reinterpret_cast<HANDLE>(table.next_value);
  table.live.insert(task);
  return task;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE task) {
  TaskTable& table = Tasks();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.live.erase(task) == 1 ? TRUE : FALSE;
}
