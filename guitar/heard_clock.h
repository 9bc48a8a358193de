// When a render stream's frame 0 was heard, on the performance counter, from its clock readings.
//
// Each reading (a position and the time it was read) implies that instant. Many shared-mode drivers
// move the position once per engine pass, and a reading taken some time into the pass implies an
// instant later than the true one by that much; times that jitter scatter it both ways. The
// earliest instant implied over the last second is the one to believe: it comes from a reading
// taken right at a pass, and it does not move with the phase at which the engine happens to read.
// A clock that runs a little off the counter moves it slowly, and the floor follows within the
// second.
//
// Audio thread only; a few fixed slots, so nothing allocates.
#ifndef GUITAR_HEARD_CLOCK_H_
#define GUITAR_HEARD_CLOCK_H_

#include <array>
#include <cstdint>

namespace tonelark {

class HeardClock {
 public:
  void Reset() { *this = HeardClock(); }
  // A reading: `heard_frames` (the stream position, frames) heard at `time` (100 ns), at `rate`
  // frames per second. Returns when frame 0 was heard (100 ns), as the readings of the last second
  // tell it.
  double Observe(int64_t time, double heard_frames, int32_t rate);

 private:
  static constexpr int kSlots = 8;
  static constexpr int64_t kSlotLength = 1250000;  // 100 ns: an eighth of a second

  std::array<double, kSlots> floors_{};  // the earliest instant implied within each slot
  int64_t slot_start_ = 0;               // of the newest slot (100 ns); 0 before the first reading
  int newest_ = 0;
  int filled_ = 0;
};

}  // namespace tonelark

#endif  // GUITAR_HEARD_CLOCK_H_
