// Interpolation between the two samples around a position: the converter of the monitoring path.
#ifndef GUITAR_SINC_FILTER_H_
#define GUITAR_SINC_FILTER_H_

#include <cstdint>

namespace tonelark {

class SincFilter {
 public:
  void Configure(int32_t input_rate, int32_t output_rate) {
    (void)input_rate;
    (void)output_rate;
  }
  int32_t taps() const { return 2; }
  int32_t half() const { return 1; }
  float Convolve(const float* window, double fraction) const {
    const float f = static_cast<float>(fraction);
    return window[0] * (1.0f - f) + window[1] * f;
  }
};

}  // namespace tonelark

#endif  // GUITAR_SINC_FILTER_H_
