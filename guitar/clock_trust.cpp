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
  if (stretch_.readings() == 0) {
    stretch_time_ = time;
    stretch_position_ = position;
  }
  stretch_.Add(static_cast<double>(time - stretch_time_) * 1e-7, position - stretch_position_);
  if (time - stretch_time_ < kStretch) return trusted_;
  const double frames_per_second = stretch_.Slope();
  // A stream whose position stood still (stopped, stalled) gives no verdict.
  if (frames_per_second > 0.0) {
    trusted_ = std::fabs(frames_per_second / rate - 1.0) * 1e6 <= kToleranceppm;
  }
  stretch_.Reset();
  return trusted_;
}

}  // namespace tonelark
