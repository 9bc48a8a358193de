// Whether low latency holds on this machine: fed each under-run at the device (the device played
// where nothing was written), it answers whether the period must rise.
//
// Late wakes are answered by the monitoring ring's cushion first: an under-run counts only once
// the cushion has grown by a whole capture period, and then only as an episode (the under-runs of
// the 200 ms from an episode's first are one), never in the first second after streams open (the
// devices and the engine settle). Three episodes within five seconds raise the period.
//
// Audio thread only. Times are GetTickCount milliseconds, compared in 32-bit unsigned arithmetic.
#ifndef GUITAR_PERIOD_POLICY_H_
#define GUITAR_PERIOD_POLICY_H_

#include "platform/win32.h"

namespace tonelark {

class PeriodPolicy {
 public:
  static constexpr DWORD kSettleMs = 1000;
  static constexpr DWORD kEpisodeGapMs = 200;
  static constexpr DWORD kWindowMs = 5000;
  static constexpr int kEpisodes = 3;

  // Streams were (re)opened at `now`: what went before no longer counts.
  void Opened(DWORD now);
  // An under-run at the device at `now`; `cushion_grown` tells whether the ring's cushion has
  // already grown by a whole capture period. True when the period must rise.
  bool OnUnderrun(DWORD now, bool cushion_grown);

 private:
  DWORD opened_ = 0;
  bool any_ = false;         // an under-run since the open
  DWORD episode_start_ = 0;  // the first under-run of the last episode
  DWORD episodes_[kEpisodes] = {};
  int counted_ = 0;
};

}  // namespace tonelark

#endif  // GUITAR_PERIOD_POLICY_H_
