#include "guitar/delay_median.h"

#include <algorithm>

namespace tonelark {
namespace {

constexpr double kWindowSeconds = 1.0;
constexpr double kEverySeconds = 0.25;

}  // namespace

void DelayMedian::Clear() {
  next_ = 0;
  count_ = 0;
  since_median_ = 0.0;
  median_ms_ = 0.0;
}

bool DelayMedian::Add(double delay_ms, double seconds) {
  delays_ms_[next_] = delay_ms;
  seconds_[next_] = seconds;
  next_ = (next_ + 1) % kCapacity;
  count_ = std::min(count_ + 1, kCapacity);
  const bool first = count_ == 1;
  since_median_ += seconds;
  if (!first && since_median_ < kEverySeconds) return false;
  since_median_ = 0.0;
  // The newest first, back to a second's worth.
  int taken = 0;
  double covered = 0.0;
  for (int i = 0; i < count_ && covered < kWindowSeconds; ++i) {
    const int at = (next_ - 1 - i + kCapacity) % kCapacity;
    scratch_[taken++] = delays_ms_[at];
    covered += seconds_[at];
  }
  std::nth_element(scratch_.begin(), scratch_.begin() + taken / 2, scratch_.begin() + taken);
  median_ms_ = scratch_[taken / 2];
  return true;
}

}  // namespace tonelark
