#include "guitar/steered_resampler.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tonelark {
namespace {

constexpr double kWindowSeconds = 0.25;
constexpr double kProportionalGain = 0.5;  // of the correction that would settle in one window
constexpr double kIntegralGain = 0.02;     // per window
constexpr double kMaxCorrectionPpm = 3000.0;
constexpr int32_t kMarginStepMs = 1;
// Steering by the delay. The ratio is believed as far as the fit is sure of it against this
// spread of what clocks do (ppm): early readings, few and scattered, move the step little.
constexpr double kPriorSpreadPpm = 300.0;
constexpr double kRatioDeadBandPpm = 2.0;  // closer to 1 than this, the plain ratio
constexpr double kWarmUpSeconds = 0.5;     // of readings before the delay to hold is taken
constexpr double kTrendSeconds = 1.0;      // of readings before their trend is believed
constexpr double kLevelDeadBandMs = 0.1;
constexpr double kLevelPpmPerMs = 40.0;
constexpr double kMaxLevelPpm = 10.0;  // how fast the delay is brought back, at most
constexpr double kSlewPpmPerSecond = 200.0;
constexpr double kStaleSeconds = 0.25;         // without readings, the trend is no longer current
constexpr double kOutlierMs = 2.5;             // off the trend by more: a jump, or a stray reading
constexpr double kOutlierSpreads = 5.0;        // ... or by more than this many times their scatter
constexpr int32_t kOutliersForAJump = 4;       // in a row
constexpr double kCleanStretchSeconds = 10.0;  // without a shortfall, before the margin shrinks
constexpr int32_t kStallBoundMs = 100;         // beyond the band, a ring that held more is cut

int32_t RingSamples(uint32_t frames, double step) {
  return static_cast<int32_t>(std::ceil(static_cast<double>(frames) * step));
}

}  // namespace

bool SteeredResampler::Configure(int32_t capture_rate, int32_t render_rate,
                                 uint32_t capture_packet_frames, uint32_t render_period_frames,
                                 bool capture_in_bursts) {
  if (capture_rate == capture_rate_ && render_rate == render_rate_ &&
      capture_packet_frames == capture_packet_frames_ &&
      render_period_frames == render_period_frames_ && capture_in_bursts == capture_in_bursts_) {
    return false;
  }
  capture_in_bursts_ = capture_in_bursts;
  capture_rate_ = capture_rate;
  render_rate_ = render_rate;
  capture_packet_frames_ = capture_packet_frames;
  render_period_frames_ = render_period_frames;
  nominal_step_ = render_rate > 0 ? static_cast<double>(capture_rate) / render_rate : 1.0;
  render_packet_ = RingSamples(render_period_frames, nominal_step_);
  const int32_t capture_packet =
      capture_packet_frames > 0 ? static_cast<int32_t>(capture_packet_frames) : render_packet_;
  slower_packet_ = std::max(capture_packet, render_packet_);
  faster_packet_ = std::min(capture_packet, render_packet_);
  burst_ = capture_in_bursts ? capture_packet : 0;
  band_ = 2 * slower_packet_;
  margin_ = 0;
  correction_ppm_ = 0.0;
  integral_ppm_ = 0.0;
  window_frames_ = 0;
  ratio_ppm_ = 0.0;
  StartFit(0.0);
  return true;
}

void SteeredResampler::StartFit(double prior_ppm) {
  fit_.Reset();
  fit_seconds_ = 0.0;
  steered_ms_ = 0.0;
  prior_ppm_ = prior_ppm;
  outliers_ = 0;
  target_delay_ms_ = 0.0;
  untimed_seconds_ = 0.0;
}

void SteeredResampler::Restart() {
  priming_ = true;
  recovering_ = false;
  correction_ppm_ = 0.0;
  integral_ppm_ = 0.0;
  window_frames_ = 0;
  // The same devices keep their clocks: what the trend learnt is the best first guess.
  StartFit(ratio_ppm_);
  steering_by_delay_ = false;
}

void SteeredResampler::WidenMargin(int32_t samples) {
  const int32_t step = std::max({capture_rate_ * kMarginStepMs / 1000, samples, 1});
  const int32_t before = margin_;
  margin_ = std::max(std::min(margin_ + step, capture_rate_ * kMaxMarginMs / 1000), margin_);
  if (capture_rate_ > 0) {
    // The gap delayed everything after it: the trend moves with it rather than read it as drift.
    fit_.Shift(1000.0 * samples / capture_rate_);
    if (target_delay_ms_ > 0.0) target_delay_ms_ += 1000.0 * (margin_ - before) / capture_rate_;
  }
  clean_seconds_ = 0.0;
}

void SteeredResampler::OnCaptureLoss(int32_t samples) {
  if (capture_rate_ <= 0) return;
  // Known to the sample, unlike a jump found in the readings: the trend moves with it, as sure
  // of the clocks' ratio as before. Begun afresh, its first second of scattered readings would
  // move the pitch by tens of ppm.
  const double moved = -1000.0 * samples / capture_rate_;
  fit_.Shift(moved);
  if (target_delay_ms_ > 0.0) target_delay_ms_ += moved;
}

void SteeredResampler::OnRingEmpty(int32_t samples) {
  WidenMargin(samples);
  // The delay to hold is the one the wider cushion gives once primed again.
  StartFit(ratio_ppm_);
  priming_ = true;
  recovering_ = true;
  window_frames_ = 0;
}

int32_t SteeredResampler::PrimeFill() const { return slower_packet_ + Floor(); }

int32_t SteeredResampler::CutFill() const {
  return PrimeFill() + std::max(band_ + 2 * slower_packet_, capture_rate_ * kStallBoundMs / 1000);
}

void SteeredResampler::Rendered(double seconds) {
  clean_seconds_ += seconds;
  if (clean_seconds_ < kCleanStretchSeconds || margin_ == 0) return;
  clean_seconds_ = 0.0;
  const int32_t step = std::min(margin_, std::max(capture_rate_ * kMarginStepMs / 1000, 1));
  margin_ -= step;
  // The delay comes down with it, slowly, as the steering drains the ring.
  if (target_delay_ms_ > 0.0 && capture_rate_ > 0) {
    target_delay_ms_ -= 1000.0 * step / capture_rate_;
  }
}

double SteeredResampler::NextStep(int32_t ring_count, uint32_t frames) {
  const double seconds = render_rate_ > 0 ? static_cast<double>(frames) / render_rate_ : 0.0;
  Rendered(seconds);
  untimed_seconds_ += seconds;
  if (steering_by_delay_) {
    // The times went away: the fill takes over from the correction the delay had settled on.
    steering_by_delay_ = false;
    integral_ppm_ = correction_ppm_;
    window_frames_ = 0;
  }
  const double step = nominal_step_ * (1.0 + correction_ppm_ * 1e-6);
  const double headroom = static_cast<double>(ring_count) - static_cast<double>(frames) * step;
  if (window_frames_ == 0 || headroom < window_min_headroom_) window_min_headroom_ = headroom;
  window_frames_ += frames;
  if (window_frames_ >= static_cast<int64_t>(render_rate_ * kWindowSeconds)) Evaluate();
  return step;
}

double SteeredResampler::DelayCorrection(double delay_ms, double seconds) {
  if (!steering_by_delay_ && untimed_seconds_ > kStaleSeconds) StartFit(correction_ppm_);
  steering_by_delay_ = true;
  untimed_seconds_ = 0.0;
  // What the delay would be had nothing been steered: a line whose slope is the clocks' ratio.
  const double unsteered = delay_ms + steered_ms_;
  const double jump = fit_.readings() >= 2 ? unsteered - fit_.At(fit_seconds_) : 0.0;
  // Far off the trend for the readings' own scatter (times that jitter, positions that move once
  // per pass scatter them by up to a period): a lost packet or a stall moved the delay.
  const double stray = std::max(kOutlierMs, kOutlierSpreads * std::sqrt(fit_.Scatter()));
  if (std::fabs(jump) > stray && ++outliers_ < kOutliersForAJump) {
    // One stray reading is ignored; the step stays as it was.
    fit_seconds_ += seconds;
    return correction_ppm_;
  }
  if (outliers_ >= kOutliersForAJump) {
    // The delay moved for good (a stall, a lost packet, a clock that changed its pace): a new
    // trend from here, starting from the ratio believed so far, and the new delay is held.
    StartFit(ratio_ppm_);
  }
  outliers_ = 0;
  fit_.Add(fit_seconds_, unsteered);
  fit_seconds_ += seconds;

  // The ratio, believed as far as the fit is sure of it, and not before a second of readings:
  // the packets' phase against the render calls alone bends a shorter stretch.
  const double slope_ppm = fit_.span() >= kTrendSeconds ? fit_.Slope() * 1000.0 : prior_ppm_;
  const double variance = fit_.SlopeVariance() * 1e6;
  const double prior = kPriorSpreadPpm * kPriorSpreadPpm;
  ratio_ppm_ = std::clamp(prior_ppm_ + (slope_ppm - prior_ppm_) * prior / (prior + variance),
                          -kMaxCorrectionPpm, kMaxCorrectionPpm);

  const double level_ms = fit_.Now() - steered_ms_;
  if (target_delay_ms_ <= 0.0 && fit_.span() >= kWarmUpSeconds) target_delay_ms_ = level_ms;
  double level_ppm = 0.0;
  if (target_delay_ms_ > 0.0) {
    const double error = level_ms - target_delay_ms_;
    if (std::fabs(error) > kLevelDeadBandMs) {
      level_ppm = std::clamp(kLevelPpmPerMs * (error - std::copysign(kLevelDeadBandMs, error)),
                             -kMaxLevelPpm, kMaxLevelPpm);
    }
  }
  double wanted = ratio_ppm_ + level_ppm;
  if (level_ppm == 0.0 && std::fabs(ratio_ppm_) < kRatioDeadBandPpm) wanted = 0.0;
  const double slew = kSlewPpmPerSecond * seconds;
  return std::clamp(wanted, correction_ppm_ - slew, correction_ppm_ + slew);
}

double SteeredResampler::NextStepForDelay(double delay_ms, int32_t ring_count, uint32_t frames) {
  const double seconds = render_rate_ > 0 ? static_cast<double>(frames) / render_rate_ : 0.0;
  Rendered(seconds);
  const double before = correction_ppm_;
  double correction = DelayCorrection(delay_ms, seconds);
  const double headroom = static_cast<double>(ring_count) - frames * nominal_step_;
  // Below the learnt margin the cushion is gone: no faster than the clocks go, so that it comes
  // back (the level term refills it) while the pitch stays theirs. A gap widens the margin above
  // the fill; clamped to the plain ratio, the pitch would be off by the whole drift until the
  // drift alone refilled it. A call that would empty the ring gets no more than the plain ratio,
  // and a ring too full no less: there an overflow, not the pitch, is at stake.
  if (headroom < 0.0) {
    correction = std::min(correction, 0.0);
  } else if (headroom < margin_) {
    correction = std::min(correction, ratio_ppm_);
  } else if (headroom > Floor() + band_ + 2.0 * slower_packet_) {
    correction = std::max(correction, 0.0);
  }
  correction = std::clamp(correction, -kMaxCorrectionPpm, kMaxCorrectionPpm);
  // The step glides from the last call's value to this one over the call.
  steered_ms_ += 0.5 * (before + correction) * 1e-3 * seconds;
  correction_ppm_ = correction;
  integral_ppm_ = correction;
  return nominal_step_ * (1.0 + correction_ppm_ * 1e-6);
}

void SteeredResampler::Evaluate() {
  const double floor = Floor();
  double error = 0.0;  // ring samples outside the band
  if (window_min_headroom_ < floor) {
    error = window_min_headroom_ - floor;
  } else if (window_min_headroom_ > floor + band_) {
    error = window_min_headroom_ - (floor + band_);
  }
  // The correction that would move `error` samples over one window of ring samples.
  const double window_samples = static_cast<double>(window_frames_) * nominal_step_;
  const double settle_ppm = error / window_samples * 1e6;
  integral_ppm_ =
      std::clamp(integral_ppm_ + kIntegralGain * settle_ppm, -kMaxCorrectionPpm, kMaxCorrectionPpm);
  correction_ppm_ = std::clamp(integral_ppm_ + kProportionalGain * settle_ppm, -kMaxCorrectionPpm,
                               kMaxCorrectionPpm);
  window_frames_ = 0;
}

}  // namespace tonelark
