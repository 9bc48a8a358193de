// Whether a stream's positions and their times can be believed: over the first seconds of a
// stream, the position must move at the stream's rate against the performance counter, within a
// real crystal's tolerance. A driver whose times run off (measured under Wine's PulseAudio driver:
// about 0.2% apart) would otherwise make the delay steering drain or fill the ring for nothing.
//
// Audio thread only.
#ifndef GUITAR_CLOCK_TRUST_H_
#define GUITAR_CLOCK_TRUST_H_

#include <cstdint>

namespace tonelark {

class ClockTrust {
 public:
  // A new stream: believed until shown wrong.
  void Reset() { *this = ClockTrust(); }
  // A reading: the stream position (frames) at `time` (100 ns), at `rate` frames per second.
  // Returns whether the stream's times are still believed.
  bool Observe(int64_t time, double position, int32_t rate);

 private:
  bool trusted_ = true;
  bool started_ = false;
  int64_t first_time_ = 0;
  double first_position_ = 0.0;
};

}  // namespace tonelark

#endif  // GUITAR_CLOCK_TRUST_H_
