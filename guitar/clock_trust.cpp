#include "guitar/clock_trust.h"

#include <cmath>

namespace tonelark {
namespace {

constexpr int64_t kJudgedAfter = 20000000;  // 100 ns: two seconds of readings
constexpr double kToleranceppm = 1000.0;    // far beyond any crystal's

}  // namespace

bool ClockTrust::Observe(int64_t time, double position, int32_t rate) {
  if (!trusted_ || time <= 0 || rate <= 0) return trusted_;
  if (!started_) {
    started_ = true;
    first_time_ = time;
    first_position_ = position;
    return true;
  }
  const int64_t elapsed = time - first_time_;
  if (elapsed < kJudgedAfter) return true;
  const double expected = static_cast<double>(elapsed) * 1e-7 * rate;
  const double moved = position - first_position_;
  // Judged once; a stream whose position stood still (stopped, stalled) is judged later.
  if (moved <= 0.0) return true;
  if (std::fabs(moved / expected - 1.0) * 1e6 > kToleranceppm) trusted_ = false;
  started_ = false;
  first_time_ = time;
  first_position_ = position;
  return trusted_;
}

}  // namespace tonelark
