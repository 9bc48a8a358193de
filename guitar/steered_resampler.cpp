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
// Steering by the delay: a critically damped loop that settles in a few seconds, so a correction
// bends the pitch by far less than a cent at any moment.
constexpr double kDelayDeadBandMs = 0.05;
constexpr double kDelayProportionalPpmPerMs = 1000.0;   // 1 / s
constexpr double kDelayIntegralPpmPerMsSecond = 250.0;  // 1 / s^2
constexpr double kCleanStretchSeconds = 10.0;  // without a shortfall, before the margin shrinks
constexpr int32_t kStallBoundMs = 100;         // beyond the band, a ring that held more is cut

int32_t RingSamples(uint32_t frames, double step) {
  return static_cast<int32_t>(std::ceil(static_cast<double>(frames) * step));
}

}  // namespace

bool SteeredResampler::Configure(int32_t capture_rate, int32_t render_rate,
                                 uint32_t capture_packet_frames, uint32_t render_period_frames) {
  if (capture_rate == capture_rate_ && render_rate == render_rate_ &&
      capture_packet_frames == capture_packet_frames_ &&
      render_period_frames == render_period_frames_) {
    return false;
  }
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
  band_ = 2 * slower_packet_;
  margin_ = 0;
  correction_ppm_ = 0.0;
  integral_ppm_ = 0.0;
  window_frames_ = 0;
  return true;
}

void SteeredResampler::Restart() {
  target_delay_ms_ = 0.0;
  priming_ = true;
  recovering_ = false;
  correction_ppm_ = 0.0;
  integral_ppm_ = 0.0;
  window_frames_ = 0;
}

void SteeredResampler::WidenMargin(int32_t samples) {
  const int32_t step = std::max({capture_rate_ * kMarginStepMs / 1000, samples, 1});
  const int32_t before = margin_;
  margin_ = std::max(std::min(margin_ + step, capture_rate_ * kMaxMarginMs / 1000), margin_);
  if (target_delay_ms_ > 0.0 && capture_rate_ > 0) {
    target_delay_ms_ += 1000.0 * (margin_ - before) / capture_rate_;
  }
  clean_seconds_ = 0.0;
}

void SteeredResampler::OnRingEmpty(int32_t samples) {
  WidenMargin(samples);
  // The delay to hold is the one the wider cushion gives once primed again.
  target_delay_ms_ = 0.0;
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
  if (render_rate_ > 0) Rendered(static_cast<double>(frames) / render_rate_);
  const double step = nominal_step_ * (1.0 + correction_ppm_ * 1e-6);
  const double headroom = static_cast<double>(ring_count) - static_cast<double>(frames) * step;
  if (window_frames_ == 0 || headroom < window_min_headroom_) window_min_headroom_ = headroom;
  window_frames_ += frames;
  if (window_frames_ >= static_cast<int64_t>(render_rate_ * kWindowSeconds)) Evaluate();
  return step;
}

double SteeredResampler::NextStepForDelay(double delay_ms, int32_t ring_count, uint32_t frames) {
  if (target_delay_ms_ <= 0.0) target_delay_ms_ = delay_ms;
  double error = delay_ms - target_delay_ms_;
  if (std::fabs(error) <= kDelayDeadBandMs) {
    error = 0.0;
  } else {
    error -= error > 0 ? kDelayDeadBandMs : -kDelayDeadBandMs;
  }
  const double seconds = render_rate_ > 0 ? static_cast<double>(frames) / render_rate_ : 0.0;
  Rendered(seconds);
  integral_ppm_ = std::clamp(integral_ppm_ + kDelayIntegralPpmPerMsSecond * error * seconds,
                             -kMaxCorrectionPpm, kMaxCorrectionPpm);
  correction_ppm_ = std::clamp(integral_ppm_ + kDelayProportionalPpmPerMs * error,
                               -kMaxCorrectionPpm, kMaxCorrectionPpm);
  const double headroom = static_cast<double>(ring_count) - frames * nominal_step_;
  // Below the learnt margin the cushion is gone: a correct clock would not ask for more speed.
  if (headroom < margin_) {
    integral_ppm_ = std::min(integral_ppm_, 0.0);
    correction_ppm_ = std::min(correction_ppm_, 0.0);
  } else if (headroom > Floor() + band_ + 2.0 * slower_packet_) {
    integral_ppm_ = std::max(integral_ppm_, 0.0);
    correction_ppm_ = std::max(correction_ppm_, 0.0);
  }
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
