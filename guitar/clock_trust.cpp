#include "guitar/clock_trust.h"

#include <cmath>

namespace tonelark {
namespace {

constexpr int64_t kWarmUp = 5000000;      // 100 ns: half a second
constexpr int64_t kStretch = 40000000;    // 100 ns: four seconds
constexpr double kToleranceppm = 1000.0;  // far beyond any crystal's

}  // namespace

bool ClockTrust::Observe(int64_t time, double position, int32_t rate) {
  if (time <= 0 || rate <= 0) return trusted_;
  if (first_time_ == 0) first_time_ = time;
  if (time - first_time_ < kWarmUp) return trusted_;
  if (n_ == 0.0) {
    stretch_time_ = time;
    stretch_position_ = position;
  }
  const double t = static_cast<double>(time - stretch_time_) * 1e-7;
  const double p = position - stretch_position_;
  n_ += 1.0;
  st_ += t;
  stt_ += t * t;
  sp_ += p;
  stp_ += t * p;
  if (time - stretch_time_ < kStretch) return trusted_;
  const double denominator = n_ * stt_ - st_ * st_;
  const double frames_per_second = denominator > 0.0 ? (n_ * stp_ - st_ * sp_) / denominator : 0.0;
  // A stream whose position stood still (stopped, stalled) gives no verdict.
  if (frames_per_second > 0.0) {
    trusted_ = std::fabs(frames_per_second / rate - 1.0) * 1e6 <= kToleranceppm;
  }
  n_ = st_ = stt_ = sp_ = stp_ = 0.0;
  return trusted_;
}

}  // namespace tonelark
