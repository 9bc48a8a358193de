#include "guitar/engine_status.h"

#include <utility>

namespace tonelark {

void EngineStatus::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_ = StreamSummary{};
  latency_ms_.store(0.0);
}

void EngineStatus::Publish(const StreamSummary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_ = summary;
  summary_.device_lost = false;
  latency_ms_.store(summary.latency_ms);
  SetCushion(summary.cushion_ms, summary.engine_delay_ms);
}

void EngineStatus::MarkLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocked(true);
}

void EngineStatus::ClearStreams() {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocked(false);
}

void EngineStatus::ClearLocked(bool lost) {
  std::string name = std::move(summary_.name);
  std::string render_name = std::move(summary_.render_name);
  summary_ = StreamSummary{};
  summary_.name = std::move(name);
  summary_.render_name = std::move(render_name);
  summary_.device_lost = lost;
  latency_ms_.store(0.0);
}

bool EngineStatus::device_lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return summary_.device_lost;
}

StreamSummary EngineStatus::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  StreamSummary summary = summary_;
  // Only open streams have a delay; the estimate may be refreshed between two publications.
  const bool open = summary.sample_rate > 0;
  summary.latency_ms = open ? latency_ms_.load(std::memory_order_relaxed) : 0.0;
  summary.cushion_ms = open ? cushion_ms_.load(std::memory_order_relaxed) : 0.0;
  summary.engine_delay_ms = open ? engine_delay_ms_.load(std::memory_order_relaxed) : 0.0;
  return summary;
}

}  // namespace tonelark
