#include "guitar/monitoring_path.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tonelark {
namespace {

constexpr int32_t kMinimumCapacity = 16384;  // samples

int32_t PowerOfTwoAtLeast(int64_t value) {
  int32_t capacity = kMinimumCapacity;
  while (capacity < value) capacity *= 2;
  return capacity;
}

}  // namespace

void MonitoringPath::Configure(int32_t capture_rate, int32_t render_rate,
                               uint32_t capture_packet_frames, uint32_t render_call_frames,
                               bool capture_in_bursts) {
  const bool changed = steering_.Configure(capture_rate, render_rate, capture_packet_frames,
                                           render_call_frames, capture_in_bursts);
  if (!changed && !storage_.empty()) return;
  filter_.Configure(capture_rate, render_rate);
  // Room for the largest fill the rate control lets through before it cuts, with its margin
  // grown to the most, a packet arriving on top, and the converter's window.
  const int64_t packet = std::max<int64_t>(
      capture_packet_frames,
      static_cast<int64_t>(std::ceil(render_call_frames * steering_.nominal_step())));
  const int64_t largest_margin =
      int64_t{std::max(capture_rate, 0)} * SteeredResampler::kMaxMarginMs / 1000;
  const int64_t needed = steering_.CutFill() + largest_margin + 2 * packet + 2 * filter_.taps();
  capacity_ = PowerOfTwoAtLeast(needed);
  mask_ = capacity_ - 1;
  storage_.assign(static_cast<size_t>(capacity_) + static_cast<size_t>(filter_.taps()), 0.0f);
  write_ = 0;
  read_ = 0;
  Restart();
}

void MonitoringPath::Reset() {
  steering_.ForgetMargin();
  Restart();
}

void MonitoringPath::Restart() {
  Reprime();
  timed_capture_ = 0;
  measured_delay_ms_ = 0.0;
  measured_frames_ = 0;
  read_ = write_;
  fraction_ = 0.0;
  if (storage_.empty()) return;
  // What the converter reads behind its position: silence, not audio from before the restart.
  for (int64_t index = read_ - filter_.half() + 1; index < read_; ++index) Store(index, 0.0f);
}

void MonitoringPath::Reprime() {
  steering_.Restart();
  last_step_ = steering_.nominal_step();
}

int32_t MonitoringPath::usable() const {
  const int64_t samples = count() - filter_.half();
  return static_cast<int32_t>(std::max<int64_t>(samples, 0));
}

double MonitoringPath::WaitSamples(uint32_t render_frames) const {
  return PrimeFill() - render_frames * steering_.nominal_step() + filter_.half();
}

std::vector<float> MonitoringPath::QueuedForTesting() const {
  std::vector<float> samples;
  for (int64_t index = read_; index < write_; ++index) {
    samples.push_back(storage_[static_cast<size_t>(index & mask_)]);
  }
  return samples;
}

void MonitoringPath::Store(int64_t index, float value) {
  const int64_t at = index & mask_;
  storage_[static_cast<size_t>(at)] = value;
  if (at < filter_.taps()) storage_[static_cast<size_t>(at + capacity_)] = value;
}

const float* MonitoringPath::Window() const {
  return storage_.data() + ((read_ - filter_.half() + 1) & mask_);
}

int64_t MonitoringPath::Write(const float* samples, uint32_t count_in, int64_t capture_time) {
  if (storage_.empty() || count_in == 0) return 0;
  // An untimed packet ends what the last timed one said: extrapolating from it at the nominal
  // rate would make up a delay that no clock measured.
  timed_index_ = write_;
  timed_capture_ = capture_time > 0 ? capture_time : 0;
  // The history behind the position and the window ahead of the newest sample stay intact.
  const int64_t room = capacity_ - 2 * int64_t{filter_.taps()};
  const int64_t end = write_ + count_in;
  const int64_t oldest = std::max(read_, end - room);
  const int64_t dropped = oldest - read_;
  if (dropped > 0) DropOldest(dropped);
  // A packet longer than the whole ring: only its newest part can be kept.
  uint32_t i = static_cast<uint32_t>(std::max<int64_t>(count_in - room, 0));
  write_ += i;
  while (i < count_in) {
    const int64_t at = write_ & mask_;
    const uint32_t span = static_cast<uint32_t>(std::min<int64_t>(count_in - i, capacity_ - at));
    std::memcpy(storage_.data() + at, samples + i, span * sizeof(float));
    if (at < filter_.taps()) {
      const int64_t mirrored = std::min<int64_t>(span, filter_.taps() - at);
      std::memcpy(storage_.data() + at + capacity_, samples + i,
                  static_cast<size_t>(mirrored) * sizeof(float));
    }
    write_ += span;
    i += span;
  }
  return dropped;
}

void MonitoringPath::DropOldest(int64_t samples) {
  if (samples <= 0) return;
  read_ += samples;
  fraction_ = 0.0;
}

bool MonitoringPath::PrepareRead(ReadOutcome* outcome) {
  const int32_t prime = steering_.PrimeFill();
  if (steering_.priming()) {
    if (usable() < prime) return false;
    // What arrived beyond the priming fill was never going to be heard in time.
    DropOldest(usable() - prime);
    steering_.EndPriming();
    last_step_ = steering_.nominal_step();
    return true;
  }
  if (usable() > steering_.CutFill()) {
    const int64_t excess = usable() - prime;
    DropOldest(excess);
    outcome->cut_samples = excess;
  }
  return true;
}

void MonitoringPath::Advance() {
  if (fraction_ < 1.0) return;
  const int64_t whole = std::min<int64_t>(static_cast<int64_t>(fraction_), usable());
  read_ += whole;
  fraction_ -= static_cast<double>(whole);
}

void MonitoringPath::OnOutputGap(uint32_t frames) {
  if (frames == 0 || steering_.priming()) return;
  steering_.WidenMargin(static_cast<int32_t>(std::ceil(frames * steering_.nominal_step())));
}

void MonitoringPath::OnCaptureLoss(int64_t frames) {
  if (frames <= 0 || steering_.priming()) return;
  steering_.OnCaptureLoss(static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX)));
}

bool MonitoringPath::MeasurementsStopped() const {
  return unmeasured_frames_ > static_cast<int64_t>(steering_.render_rate()) / 4;
}

bool MonitoringPath::TakeMeasurement(double* delay_ms, uint32_t* frames) {
  if (measured_frames_ == 0) return false;
  *delay_ms = measured_delay_ms_;
  *frames = measured_frames_;
  measured_frames_ = 0;
  return true;
}

double MonitoringPath::DelayMs(int64_t play_time) const {
  const int32_t capture_rate = steering_.capture_rate();
  if (play_time <= 0 || timed_capture_ <= 0 || capture_rate <= 0) return 0.0;
  const double position = static_cast<double>(read_ - timed_index_) + fraction_;
  const double captured = static_cast<double>(timed_capture_) + position * 1e7 / capture_rate;
  return (static_cast<double>(play_time) - captured) * 1e-4;
}

MonitoringPath::ReadOutcome MonitoringPath::Read(uint32_t frames, float* out, int64_t play_time) {
  ReadOutcome outcome;
  measured_delay_ms_ = 0.0;
  if (frames == 0) return outcome;
  if (storage_.empty() || !PrepareRead(&outcome)) {
    unmeasured_frames_ += frames;
    std::fill(out, out + frames, 0.0f);
    // Waiting for the ring again after it ran dry is a gap the player hears; the first priming
    // of a start is not.
    if (steering_.recovering()) outcome.empty_frames = frames;
    return outcome;
  }
  const bool ring_was_empty = usable() <= 0;
  measured_delay_ms_ = ring_was_empty ? 0.0 : DelayMs(play_time);
  measured_frames_ = measured_delay_ms_ > 0.0 ? frames : 0;
  unmeasured_frames_ = measured_frames_ > 0 ? 0 : unmeasured_frames_ + frames;
  const double target = measured_delay_ms_ > 0.0
                            ? steering_.NextStepForDelay(measured_delay_ms_, usable(), frames)
                            : steering_.NextStep(usable(), frames);
  // The step glides to its new value over the call, so a correction bends the pitch instead of
  // stepping it.
  const double start = last_step_;
  const double glide = (target - start) / frames;
  uint32_t empty = 0;
  for (uint32_t frame = 0; frame < frames; ++frame) {
    Advance();
    if (usable() <= 0 || fraction_ >= 1.0) {
      out[frame] = 0.0f;
      ++empty;
      continue;
    }
    out[frame] = filter_.Convolve(Window(), fraction_);
    fraction_ += start + glide * (frame + 1);
  }
  Advance();
  last_step_ = target;
  if (empty > 0) {
    outcome.empty_frames = empty;
    // A ring with nothing at all to give has lost its cushion: wait for it again. A shortfall at
    // the end of a call only widens the margin.
    if (ring_was_empty) {
      steering_.OnRingEmpty(static_cast<int32_t>(std::ceil(frames * start)));
    } else {
      steering_.WidenMargin(static_cast<int32_t>(std::ceil(empty * start)));
    }
  }
  return outcome;
}

}  // namespace tonelark
