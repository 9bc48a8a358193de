// What the "status" command reports about the streams: the audio thread publishes when it opens
// or loses its streams, and refreshes the delay estimate while it streams; the user-interface
// thread reads.
//
// Threads: the audio thread calls Publish, MarkLost and ClearStreams at set-up and on a loss or a
// return, never on its per-period path, and SetLatency on it (an atomic store: no lock, no
// allocation). The user-interface thread calls Reset and ClearStreams (with no audio thread
// running) and Snapshot. The summary, the lost flag with it, is guarded by `mutex_`, so a reader
// never sees a lost device beside open streams or the reverse.
#ifndef GUITAR_ENGINE_STATUS_H_
#define GUITAR_ENGINE_STATUS_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tonelark {

struct StreamSummary {
  bool device_lost = false;  // the streams' devices are gone; the engine looks for them
  std::string name;          // the input device, UTF-8
  int32_t sample_rate = 0;   // capture, Hz; 0 while no streams are open
  bool capture_exclusive = false;
  int32_t render_sample_rate = 0;
  bool render_exclusive = false;
  std::string render_name;      // the output device, UTF-8
  int32_t pcm_sample_rate = 0;  // of the PCM events, Hz; 0 while no streams are open
  double capture_period_ms = 0.0;
  double render_period_ms = 0.0;
  double latency_ms = 0.0;  // the guitar-to-speaker delay, measured (or estimated)
  // The part of it the engine adds beyond the devices' own periods: the cushion the ring keeps
  // (learnt margin included), the converter's lookahead and a shared render stream's margin.
  double cushion_ms = 0.0;
  double engine_delay_ms = 0.0;
};

class EngineStatus {
 public:
  void Reset();
  // Streams are open and started (again); the summary describes them.
  void Publish(const StreamSummary& summary);
  // The devices are gone: the streams read 0, the name stays.
  void MarkLost();
  // Streams are closed on purpose: the rates, periods and latency read 0; the name stays.
  void ClearStreams();
  // A new estimate for the open streams; ignored while none are open.
  void SetLatency(double latency_ms) { latency_ms_.store(latency_ms, std::memory_order_relaxed); }
  void SetCushion(double cushion_ms, double engine_delay_ms) {
    cushion_ms_.store(cushion_ms, std::memory_order_relaxed);
    engine_delay_ms_.store(engine_delay_ms, std::memory_order_relaxed);
  }

  bool device_lost() const;
  StreamSummary Snapshot() const;

 private:
  void ClearLocked(bool lost);

  mutable std::mutex mutex_;
  StreamSummary summary_;
  std::atomic<double> latency_ms_{0.0};
  std::atomic<double> cushion_ms_{0.0};
  std::atomic<double> engine_delay_ms_{0.0};
};

}  // namespace tonelark

#endif  // GUITAR_ENGINE_STATUS_H_
