// resources.log: the process's own resource use over time, one sample per line,
//
//   <ms> handles=<n> private_bytes=<n> working_set=<n>
//
// on the traffic log's clock. `handles` is GetProcessHandleCount; where that gives nothing
// (Wine 8 answers 0) it is the number of this process's entries in the system handle table
// (NtQuerySystemInformation, SystemHandleInformation). `private_bytes` is PrivateUsage from
// GetProcessMemoryInfo; where that is 0 (Wine 8), the committed private memory found by walking
// the address space with VirtualQuery. `working_set` is WorkingSetSize (bytes). A figure no
// source gives is written as 0.
//
// Threads: any thread; each line is written whole under the log's own lock and flushed.
#ifndef STANDINS_ENGINE_SCENARIO_RESOURCE_LOG_H_
#define STANDINS_ENGINE_SCENARIO_RESOURCE_LOG_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {

class ResourceLog {
 public:
  // False when the file cannot be created; the log then stays silent.
  bool Open(const std::string& path);
  // Measures the process now and appends the sample, stamped time_ms.
  void Sample(double time_ms);

 private:
  // The process's entries in the system handle table; 0 when the table cannot be read.
  uint64_t HandlesInSystemTable();

  std::mutex mutex_;
  FilePtr file_;                 // under mutex_
  std::vector<uint64_t> table_;  // under mutex_; kept, so sampling does not churn memory
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_RESOURCE_LOG_H_
