// The monitoring converter over a linear stream, for the PCM events.
#ifndef GUITAR_STREAM_RESAMPLER_H_
#define GUITAR_STREAM_RESAMPLER_H_

#include <cstddef>
#include <cstdint>

namespace tonelark {

class StreamResampler {
 public:
  void Configure(int32_t input_rate, int32_t output_rate) {
    step_ = output_rate > 0 ? static_cast<double>(input_rate) / output_rate : 1.0;
    Reset();
  }
  void Reset() {
    previous_ = 0.0f;
    position_ = 0.0;
  }
  void SetStep(double input_per_output) { step_ = input_per_output; }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) {
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
      while (position_ < 1.0 && written < max_out) {
        const float f = static_cast<float>(position_);
        out[written++] = previous_ * (1.0f - f) + input[i] * f;
        position_ += step_;
      }
      position_ -= 1.0;
      previous_ = input[i];
    }
    return written;
  }

 private:
  double step_ = 1.0;
  double position_ = 0.0;
  float previous_ = 0.0f;
};

}  // namespace tonelark

#endif  // GUITAR_STREAM_RESAMPLER_H_
