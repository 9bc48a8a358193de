#include "guitar/engine_status.h"

#include <utility>

namespace tonelark {

void EngineStatus::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_ = StreamSummary{};
  device_lost_ = false;
}

void EngineStatus::Publish(const StreamSummary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_ = summary;
}

void EngineStatus::ClearStreams() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string name = std::move(summary_.name);
  summary_ = StreamSummary{};
  summary_.name = std::move(name);
}

StreamSummary EngineStatus::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return summary_;
}

}  // namespace tonelark
