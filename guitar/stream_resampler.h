// Converts a linear stream of mono float samples between two rates with the SincFilter kernel,
// keeping its own history of input: the PCM stream's fixed-ratio conversion, and the reference
// converter of tests and benchmarks.
//
// The output is the input delayed by filter().half() input samples: the history starts as that
// many zeros, so every call returns about count / step outputs from the first call on.
//
// Threads: one thread at a time. Configure allocates; Reset, SetStep and Process do not.
#ifndef GUITAR_STREAM_RESAMPLER_H_
#define GUITAR_STREAM_RESAMPLER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "guitar/sinc_filter.h"

namespace tonelark {

class StreamResampler {
 public:
  // Rates in Hz (see SincFilter::Configure). Sets the step to input_rate / output_rate and resets.
  void Configure(int32_t input_rate, int32_t output_rate);
  // The history becomes zeros and the next output falls on an input sample.
  void Reset();
  // The step (input samples per output) the next Process call ends at: the step moves linearly
  // from the previous one across that call's outputs, so a drift control may move it every period
  // without a jump. A step not within a factor 2 of the nominal one gets a line on standard error
  // and is ignored.
  void SetStep(double input_per_output);

  // Takes `count` input samples and writes every output they allow, up to `max_out`; returns the
  // outputs written. With max_out at least count / step + 2 nothing waits beyond the kernel's
  // lookahead; outputs beyond max_out wait for the next call, as far as the history holds them
  // (about 1024 input samples), and are lost beyond that.
  size_t Process(const float* input, size_t count, float* out, size_t max_out);

  const SincFilter& filter() const { return filter_; }
  // Input samples per output, as far as the last Process call moved it.
  double step() const { return step_; }

 private:
  SincFilter filter_;
  double nominal_step_ = 1.0;  // input rate / output rate
  double step_ = 1.0;          // input samples per output
  double target_step_ = 1.0;   // input samples per output
  // Input samples from the oldest one a pending output reads; capacity allocated by Configure.
  std::vector<float> history_;
  size_t filled_ = 0;      // samples in history_
  double position_ = 0.0;  // of the next output, in input samples from history_[0]
};

}  // namespace tonelark

#endif  // GUITAR_STREAM_RESAMPLER_H_
