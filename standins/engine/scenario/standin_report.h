// report.txt: what the stand-in saw, as key=value lines in the order the keys were first set.
//
// Threads: any thread; the entries sit behind the report's own lock.
#ifndef STANDINS_ENGINE_SCENARIO_STANDIN_REPORT_H_
#define STANDINS_ENGINE_SCENARIO_STANDIN_REPORT_H_

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace engine_standin {

class StandinReport {
 public:
  // Sets key, keeping its place when it was set before. Line breaks in value become blanks so
  // that one key stays one line.
  void Set(const std::string& key, const std::string& value);
  void Set(const std::string& key, long long value);
  std::string Get(const std::string& key) const;
  std::string Text() const;
  // Rewrites the file with the current entries; false when it cannot be written.
  bool Write(const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> entries_;  // under mutex_
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_STANDIN_REPORT_H_
