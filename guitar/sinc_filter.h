// The interpolation kernel of the monitoring path's rate conversion: a Kaiser-windowed sinc that
// reconstructs the input between its samples at any fraction, so one table serves every ratio a
// drift control steers to (a few thousand ppm around the nominal one) without being rebuilt.
//
// The kernel is tabulated at kPhases fractions of an input sample plus the fraction 1, and read
// with linear interpolation between the two nearest: the interpolation error stays more than
// 100 dB below the signal. At equal rates the cutoff is the input Nyquist frequency, so the kernel
// at fraction 0 is a single 1 among zeros: at a ratio of exactly 1 the output is the input
// delayed by half() samples, bit for bit, by the same code that runs at every other ratio.
//
// Threads: Configure runs while no other thread uses the filter (it allocates, when streams open);
// afterwards any thread may call the const members (the audio thread's Convolve takes no lock and
// allocates nothing).
#ifndef GUITAR_SINC_FILTER_H_
#define GUITAR_SINC_FILTER_H_

#include <cstdint>
#include <vector>

namespace tonelark {

class SincFilter {
 public:
  // Fractions of an input sample tabulated.
  static constexpr int32_t kPhases = 512;

  // Builds the kernel for input_rate -> output_rate (Hz). Rates outside 1000..768000 Hz, or an
  // input more than 64 times the output, get a line on standard error and an empty filter (no
  // taps; Convolve answers 0).
  void Configure(int32_t input_rate, int32_t output_rate);

  // Input samples one output reads (2 * half()).
  int32_t taps() const { return taps_; }
  // Lookahead in input samples: an output at input position n + f (0 <= f < 1) reads input
  // n - half() + 1 .. n + half(). It is also the conversion's delay.
  int32_t half() const { return half_; }

  // One output: `window` points at input n - half() + 1 (taps() samples), `fraction` is f.
  float Convolve(const float* window, double fraction) const;

 private:
  int32_t half_ = 0;  // input samples
  int32_t taps_ = 0;  // input samples
  // kPhases + 1 rows of taps_ coefficients; row p is the kernel at fraction p / kPhases.
  std::vector<float> table_;
};

}  // namespace tonelark

#endif  // GUITAR_SINC_FILTER_H_
