#include "guitar/period_policy.h"

namespace tonelark {

void PeriodPolicy::Opened(DWORD now) {
  *this = PeriodPolicy();
  opened_ = now;
}

bool PeriodPolicy::OnUnderrun(DWORD now, bool cushion_grown) {
  if (now - opened_ < kSettleMs) return false;
  if (any_ && now - episode_start_ < kEpisodeGapMs) return false;
  any_ = true;
  episode_start_ = now;
  if (!cushion_grown) return false;
  episodes_[counted_ % kEpisodes] = now;
  ++counted_;
  if (counted_ < kEpisodes) return false;
  return now - episodes_[counted_ % kEpisodes] <= kWindowMs;
}

}  // namespace tonelark
