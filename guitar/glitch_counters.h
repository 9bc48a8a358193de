// What a player would hear as a glitch, counted since the last start.
//
// Threads: the audio thread adds (capture and render paths, and the PCM producer under
// `pcm_mutex_`); the user-interface thread resets them before it starts the audio thread and
// reads a snapshot for "status". Every counter is an atomic, so neither side waits.
#ifndef GUITAR_GLITCH_COUNTERS_H_
#define GUITAR_GLITCH_COUNTERS_H_

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

namespace tonelark {

struct GlitchCounts {
  int64_t capture_discontinuities = 0;  // capture packets flagged as following a gap
  int64_t capture_samples_lost = 0;     // frames missing in those gaps, from the device position
  int64_t render_underrun_frames = 0;   // monitoring frames the engine could not fill
  int64_t ring_dropped_samples = 0;     // capture samples cut from the monitoring ring
  int64_t pcm_chunks_dropped = 0;       // PCM chunks pushed out of the full queue
  // Not a glitch of the engine's but the player's level: monitored frames beyond full scale
  // before the clamp.
  int64_t output_clipped_samples = 0;
};

class GlitchCounters {
 public:
  // User-interface thread, while no audio thread runs.
  void Reset();
  GlitchCounts Snapshot() const;

  // Audio thread: one captured packet with its flags and the device position of its first frame.
  // A packet flagged AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY counts once, with the frames its
  // position skipped since the end of the previous packet (when the device reports positions).
  // Returns those frames: 0 for none, or none known.
  int64_t OnCapturePacket(DWORD flags, UINT64 device_position, UINT32 frames);
  // Audio thread: a new capture stream starts; its device positions count from 0.
  void RestartCapturePositions() {
    capture_position_known_ = true;
    next_capture_position_ = 0;
  }

  void AddRenderUnderrun(int64_t frames) { Add(&render_underrun_frames_, frames); }
  void AddRingDropped(int64_t samples) { Add(&ring_dropped_samples_, samples); }
  void AddPcmChunkDropped() { Add(&pcm_chunks_dropped_, 1); }
  void AddOutputClipped(int64_t frames) { Add(&output_clipped_samples_, frames); }

 private:
  // One writer (the audio thread), so a relaxed load and store is enough and never locks.
  static void Add(std::atomic<int64_t>* counter, int64_t amount) {
    counter->store(counter->load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }

  std::atomic<int64_t> capture_discontinuities_{0};
  std::atomic<int64_t> capture_samples_lost_{0};
  std::atomic<int64_t> render_underrun_frames_{0};
  std::atomic<int64_t> ring_dropped_samples_{0};
  std::atomic<int64_t> pcm_chunks_dropped_{0};
  std::atomic<int64_t> output_clipped_samples_{0};

  // Audio thread only: where the next packet should start on the device's timeline.
  bool capture_position_known_ = false;
  UINT64 next_capture_position_ = 0;
};

}  // namespace tonelark

#endif  // GUITAR_GLITCH_COUNTERS_H_
