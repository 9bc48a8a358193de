// Whether a stream's positions and their times can be believed: the position must move at the
// stream's rate against the performance counter, within a real crystal's tolerance. A driver
// whose times run off (measured under Wine's PulseAudio driver: about 0.2% apart) would otherwise
// make the delay steering drain or fill the ring for nothing.
//
// The first half second after a stream starts is not judged (a position may start moving a pass
// late); then each stretch of four seconds is judged by a straight line through its readings, so
// times that scatter by a millisecond, or positions that move once per pass, are judged by their
// trend. Each stretch gives a new verdict: a clock disbelieved can earn trust back.
//
// Audio thread only.
#ifndef GUITAR_CLOCK_TRUST_H_
#define GUITAR_CLOCK_TRUST_H_

#include <cstdint>

#include "guitar/delay_fit.h"

namespace tonelark {

class ClockTrust {
 public:
  // A new stream: believed until shown wrong.
  void Reset() { *this = ClockTrust(); }
  // A reading: the stream position (frames) at `time` (100 ns), at `rate` frames per second.
  // Returns whether the stream's times are believed now.
  bool Observe(int64_t time, double position, int32_t rate);

 private:
  bool trusted_ = true;
  int64_t first_time_ = 0;  // of the stream's first reading; 0 before it
  // The stretch being judged: its first reading, and the line through the position moved since
  // then (frames) against the time since then (s), kept whole.
  int64_t stretch_time_ = 0;
  double stretch_position_ = 0.0;
  DelayFit stretch_{1e9};
};

}  // namespace tonelark

#endif  // GUITAR_CLOCK_TRUST_H_
