#include "guitar/delay_fit.h"

#include <algorithm>
#include <cmath>

namespace tonelark {

void DelayFit::Reset() { *this = DelayFit(memory_seconds_); }

void DelayFit::Add(double time, double value) {
  if (readings_ > 0) {
    // A reading a little older than the last (times that jitter) moves the origin back.
    const double moved = time - newest_;
    // Times are kept relative to the newest reading, so the sums stay small however long the
    // stream runs.
    stt_ += moved * (moved * s0_ - 2.0 * st_);
    stv_ -= moved * sv_;
    st_ -= moved * s0_;
    const double keep = std::exp(-moved / memory_seconds_);
    s0_ *= keep;
    st_ *= keep;
    stt_ *= keep;
    sv_ *= keep;
    stv_ *= keep;
    svv_ *= keep;
    span_ = std::min(span_ + std::max(moved, 0.0), 3.0 * memory_seconds_);
  }
  newest_ = time;
  ++readings_;
  s0_ += 1.0;
  sv_ += value;
  svv_ += value * value;
}

void DelayFit::Shift(double offset) {
  svv_ += 2.0 * offset * sv_ + offset * offset * s0_;
  sv_ += offset * s0_;
  stv_ += offset * st_;
}

double DelayFit::Slope() const {
  const double d = Denominator();
  if (readings_ < 2 || d <= 1e-12) return 0.0;
  return (s0_ * stv_ - st_ * sv_) / d;
}

double DelayFit::Scatter() const {
  if (readings_ < 3 || Denominator() <= 1e-12) return 0.0;
  const double slope = Slope();
  const double mean = (sv_ - slope * st_) / s0_;
  // The weighted sum of squared residuals about the line, from the sums alone.
  const double residuals = svv_ - 2.0 * mean * sv_ - 2.0 * slope * stv_ + mean * mean * s0_ +
                           2.0 * mean * slope * st_ + slope * slope * stt_;
  return std::max(residuals, 0.0) / std::max(s0_ - 2.0, 1.0);
}

double DelayFit::SlopeVariance() const {
  const double d = Denominator();
  if (readings_ < 3 || d <= 1e-12) return 1e12;
  return Scatter() * s0_ / d;
}

double DelayFit::Now() const {
  if (readings_ == 0) return 0.0;
  // Times count from the newest reading, which stands at 0.
  return (sv_ - Slope() * st_) / s0_;
}

}  // namespace tonelark
