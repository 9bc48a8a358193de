// The median of the measured guitar-to-speaker delay over the last second, for "status": one
// measurement per render call in, one figure out every quarter second.
//
// Audio thread only; a fixed array, so adding and taking the median allocate nothing.
#ifndef GUITAR_DELAY_MEDIAN_H_
#define GUITAR_DELAY_MEDIAN_H_

#include <array>
#include <cstdint>

namespace tonelark {

class DelayMedian {
 public:
  static constexpr int kCapacity = 1024;  // measurements: a second of 1 ms periods

  void Clear();
  // One render call's measurement (ms), and the call's length in seconds. True when a new
  // median is due (a quarter second after the last), to be read from median_ms().
  bool Add(double delay_ms, double seconds);
  // Over the measurements of the last second (the latest kCapacity at most).
  double median_ms() const { return median_ms_; }
  bool measuring() const { return count_ > 0; }

 private:
  std::array<double, kCapacity> delays_ms_{};
  std::array<double, kCapacity> seconds_{};  // the length of the call each was measured at
  std::array<double, kCapacity> scratch_{};
  int next_ = 0;
  int count_ = 0;
  double since_median_ = 0.0;  // seconds
  double median_ms_ = 0.0;
};

}  // namespace tonelark

#endif  // GUITAR_DELAY_MEDIAN_H_
