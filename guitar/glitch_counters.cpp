#include "guitar/glitch_counters.h"

namespace tonelark {

void GlitchCounters::Reset() {
  capture_discontinuities_ = 0;
  capture_samples_lost_ = 0;
  render_underrun_frames_ = 0;
  ring_dropped_samples_ = 0;
  pcm_chunks_dropped_ = 0;
  output_clipped_samples_ = 0;
  capture_position_known_ = false;
  next_capture_position_ = 0;
}

GlitchCounts GlitchCounters::Snapshot() const {
  GlitchCounts counts;
  counts.capture_discontinuities = capture_discontinuities_.load(std::memory_order_relaxed);
  counts.capture_samples_lost = capture_samples_lost_.load(std::memory_order_relaxed);
  counts.render_underrun_frames = render_underrun_frames_.load(std::memory_order_relaxed);
  counts.ring_dropped_samples = ring_dropped_samples_.load(std::memory_order_relaxed);
  counts.pcm_chunks_dropped = pcm_chunks_dropped_.load(std::memory_order_relaxed);
  counts.output_clipped_samples = output_clipped_samples_.load(std::memory_order_relaxed);
  return counts;
}

int64_t GlitchCounters::OnCapturePacket(DWORD flags, UINT64 device_position, UINT32 frames) {
  int64_t lost = 0;
  if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0) {
    Add(&capture_discontinuities_, 1);
    // Only a position that moved forward tells how much was lost; drivers that report no
    // positions leave the count at the flag.
    if (capture_position_known_ && device_position > next_capture_position_) {
      lost = static_cast<int64_t>(device_position - next_capture_position_);
      Add(&capture_samples_lost_, lost);
    }
  }
  capture_position_known_ = true;
  next_capture_position_ = device_position + frames;
  return lost;
}

}  // namespace tonelark
