#include "guitar/stream_resampler.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace tonelark {
namespace {

// Input samples copied into the history at a time, beyond what the kernel reads.
constexpr size_t kChunk = 1024;

}  // namespace

void StreamResampler::Configure(int32_t input_rate, int32_t output_rate) {
  filter_.Configure(input_rate, output_rate);
  nominal_step_ = filter_.taps() > 0 ? static_cast<double>(input_rate) / output_rate : 1.0;
  step_ = target_step_ = nominal_step_;
  history_.assign(static_cast<size_t>(filter_.taps()) + kChunk, 0.0f);
  Reset();
}

void StreamResampler::Reset() {
  const int32_t half = filter_.half();
  filled_ = half > 0 ? static_cast<size_t>(2 * half - 1) : 0;
  std::fill(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(filled_), 0.0f);
  position_ = half - 1;
}

void StreamResampler::SetStep(double input_per_output) {
  if (!(input_per_output >= 0.5 * nominal_step_ && input_per_output <= 2.0 * nominal_step_)) {
    std::cerr << "StreamResampler: step " << input_per_output << " too far from " << nominal_step_
              << std::endl;
    return;
  }
  target_step_ = input_per_output;
}

size_t StreamResampler::Process(const float* input, size_t count, float* out, size_t max_out) {
  const int32_t half = filter_.half();
  if (half == 0 || (input == nullptr && count > 0) || (out == nullptr && max_out > 0)) return 0;
  // Spread the step's move over the outputs this call is expected to make.
  const double span = static_cast<double>(filled_ + count) - half - position_;
  const double outputs = std::max(1.0, span / (0.5 * (step_ + target_step_)));
  const double increment = (target_step_ - step_) / outputs;

  size_t written = 0;
  size_t consumed = 0;
  while (true) {
    while (written < max_out) {
      const double n = std::floor(position_);
      if (n + half >= static_cast<double>(filled_)) break;
      const float* window = &history_[static_cast<size_t>(n) - static_cast<size_t>(half - 1)];
      out[written++] = filter_.Convolve(window, position_ - n);
      if (step_ != target_step_) {
        step_ += increment;
        if ((increment > 0.0) == (step_ > target_step_)) step_ = target_step_;
      }
      position_ += step_;
    }
    if (consumed == count) break;
    // Keep only what the next output reads; when the outputs wait for room and the history is
    // full, the oldest of them are lost.
    while (std::floor(position_) - half + 1 < 1.0 && filled_ == history_.size()) {
      position_ += step_;
    }
    const size_t drop =
        std::min(filled_, static_cast<size_t>(std::max(0.0, std::floor(position_) - half + 1)));
    std::copy(history_.begin() + static_cast<std::ptrdiff_t>(drop),
              history_.begin() + static_cast<std::ptrdiff_t>(filled_), history_.begin());
    filled_ -= drop;
    position_ -= static_cast<double>(drop);
    const size_t take = std::min(history_.size() - filled_, count - consumed);
    std::copy(input + consumed, input + consumed + take,
              history_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += take;
    consumed += take;
  }
  return written;
}

}  // namespace tonelark
