// What the "status" command reports about the streams: the audio thread publishes when it opens
// or loses its streams, the user-interface thread reads.
//
// Threads: the audio thread calls Publish, ClearStreams and SetDeviceLost at set-up and on a loss
// or a return, never on its per-period path; the user-interface thread calls Reset (with no audio
// thread running) and Snapshot. The summary is guarded by `mutex_`; `device_lost_` is an atomic.
#ifndef GUITAR_ENGINE_STATUS_H_
#define GUITAR_ENGINE_STATUS_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tonelark {

struct StreamSummary {
  std::string name;         // the input device, UTF-8
  int32_t sample_rate = 0;  // capture, Hz; 0 while no streams are open
  bool capture_exclusive = false;
  int32_t render_sample_rate = 0;
  bool render_exclusive = false;
  double capture_period_ms = 0.0;
  double render_period_ms = 0.0;
  double latency_ms = 0.0;  // the engine's estimate of its guitar-to-speaker delay
};

class EngineStatus {
 public:
  void Reset();
  // Streams are open and started; the summary describes them.
  void Publish(const StreamSummary& summary);
  // Streams are closed: the rates, periods and latency read 0 again; the name stays.
  void ClearStreams();
  void SetDeviceLost(bool lost) { device_lost_.store(lost); }

  bool device_lost() const { return device_lost_.load(); }
  StreamSummary Snapshot() const;

 private:
  mutable std::mutex mutex_;
  StreamSummary summary_;
  std::atomic<bool> device_lost_{false};
};

}  // namespace tonelark

#endif  // GUITAR_ENGINE_STATUS_H_
