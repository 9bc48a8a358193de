#include "guitar/heard_clock.h"

#include <algorithm>

namespace tonelark {

double HeardClock::Observe(int64_t time, double heard_frames, int32_t rate) {
  const double implied = static_cast<double>(time) - heard_frames * 1e7 / rate;
  if (filled_ == 0) {
    slot_start_ = time;
    floors_[0] = implied;
    newest_ = 0;
    filled_ = 1;
    return implied;
  }
  // Slots older than a second make way; a long silence between readings clears them all.
  for (int moved = 0; time - slot_start_ >= kSlotLength && moved < kSlots; ++moved) {
    slot_start_ += kSlotLength;
    newest_ = (newest_ + 1) % kSlots;
    floors_[newest_] = implied;
    filled_ = std::min(filled_ + 1, kSlots);
  }
  if (time - slot_start_ >= kSlotLength) slot_start_ = time;
  floors_[newest_] = std::min(floors_[newest_], implied);
  double floor = floors_[newest_];
  for (int i = 1; i < filled_; ++i)
    floor = std::min(floor, floors_[(newest_ - i + kSlots) % kSlots]);
  return floor;
}

}  // namespace tonelark
