#include "standins/engine/scenario/resource_log.h"

// clang-format off
#include <windows.h>
#include <psapi.h>
#include <winternl.h>
// clang-format on

#include <cstdio>

namespace engine_standin {
namespace {

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr size_t kMaxTableBytes = 64u << 20;

// Committed private memory, region by region: what PrivateUsage counts on Windows.
uint64_t CommittedPrivateBytes() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  uint64_t total = 0;
  auto* address = static_cast<BYTE*>(system.lpMinimumApplicationAddress);
  MEMORY_BASIC_INFORMATION region{};
  while (address < system.lpMaximumApplicationAddress &&
         VirtualQuery(address, &region, sizeof(region)) == sizeof(region)) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    if (region.RegionSize == 0) break;
    address = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize;
  }
  return total;
}

}  // namespace

bool ResourceLog::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = OpenFile(path, "wb");
  return file_ != nullptr;
}

uint64_t ResourceLog::HandlesInSystemTable() {
  using QueryFn = decltype(&NtQuerySystemInformation);
  static const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  if (table_.empty()) table_.resize(8192);
  for (;;) {
    const size_t bytes = table_.size() * sizeof(table_[0]);
    ULONG needed = 0;
    const NTSTATUS status =
        query(static_cast<SYSTEM_INFORMATION_CLASS>(16 /* SystemHandleInformation */),
              table_.data(), static_cast<ULONG>(bytes), &needed);
    if (status == kInfoLengthMismatch && bytes < kMaxTableBytes) {
      // Other processes open handles meanwhile: grow with room to spare.
      const size_t wanted = needed > bytes ? needed + needed / 2 : 2 * bytes;
      table_.resize(wanted / sizeof(table_[0]) + 1);
      continue;
    }
    if (status < 0) return 0;
    break;
  }
  const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(table_.data());
  const size_t room =
      (table_.size() * sizeof(table_[0]) - offsetof(SYSTEM_HANDLE_INFORMATION, Handle)) /
      sizeof(SYSTEM_HANDLE_ENTRY);
  const size_t count = info->Count < room ? info->Count : room;
  const DWORD self = GetCurrentProcessId();
  uint64_t ours = 0;
  for (size_t i = 0; i < count; ++i) {
    if (info->Handle[i].OwnerPid == self) ++ours;
  }
  return ours;
}

void ResourceLog::Sample(double time_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  const HANDLE process = GetCurrentProcess();
  DWORD counted = 0;
  uint64_t handles = GetProcessHandleCount(process, &counted) ? counted : 0;
  if (handles == 0) handles = HandlesInSystemTable();
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                            sizeof(memory))) {
    memory = PROCESS_MEMORY_COUNTERS_EX{};
  }
  uint64_t private_bytes = memory.PrivateUsage;
  if (private_bytes == 0) private_bytes = CommittedPrivateBytes();
  char line[160];
  std::snprintf(line, sizeof line, "%10.3f handles=%llu private_bytes=%llu working_set=%llu\n",
                time_ms, static_cast<unsigned long long>(handles),
                static_cast<unsigned long long>(private_bytes),
                static_cast<unsigned long long>(memory.WorkingSetSize));
  std::fputs(line, file_.get());
  std::fflush(file_.get());
}

}  // namespace engine_standin
