// A straight line through readings that come with noise: an exponentially weighted least-squares
// fit of values against time, newest readings weighing most. It tells the trend (the slope) and
// where the line stands now, and how sure it is of the slope.
//
// The rate control feeds it the measured delay with its own corrections added back, which makes
// a line whose slope is the clocks' true drift: a driver's times scatter each reading by up to a
// millisecond or more, far more than the drift moves the delay between two render calls, and only
// a fit over seconds tells the two apart. The clock trust feeds it a stream's positions against
// their times, with a memory long enough to weigh a whole stretch alike.
//
// Audio thread only; a handful of sums, so nothing allocates.
#ifndef GUITAR_DELAY_FIT_H_
#define GUITAR_DELAY_FIT_H_

namespace tonelark {

class DelayFit {
 public:
  explicit DelayFit(double memory_seconds) : memory_seconds_(memory_seconds) {}

  void Reset();
  // A reading `value` at `time` (seconds).
  void Add(double time, double value);
  // Every reading so far, and the line through them, move by `offset` (the values jumped by a
  // known amount; the trend stays).
  void Shift(double offset);

  // Seconds between the oldest and the newest reading that still count.
  double span() const { return span_; }
  int readings() const { return readings_; }
  // Units of value per second; 0 until two readings at different times.
  double Slope() const;
  // The variance of Slope(), from the scatter of the readings about the line.
  double SlopeVariance() const;
  // The variance of the readings about the line.
  double Scatter() const;
  // The line's value at the newest reading's time, and at `time`.
  double Now() const;
  double At(double time) const { return Now() + Slope() * (time - newest_); }

 private:
  double Denominator() const { return s0_ * stt_ - st_ * st_; }

  double memory_seconds_;
  double newest_ = 0.0;
  double span_ = 0.0;
  int readings_ = 0;
  // Weighted sums with times counted from the newest reading: weights, times, times squared,
  // values, times x values, values squared.
  double s0_ = 0.0;
  double st_ = 0.0;
  double stt_ = 0.0;
  double sv_ = 0.0;
  double stv_ = 0.0;
  double svv_ = 0.0;
};

}  // namespace tonelark

#endif  // GUITAR_DELAY_FIT_H_
