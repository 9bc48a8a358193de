#include "guitar/sinc_filter.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace tonelark {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The least stopband attenuation designed. Measured, the lines beside a tone then stay more than
// 100 dB down, with a few dB to spare.
constexpr double kStopbandDb = 105.0;
// Where the transition band starts, from 44.1 kHz up (the same fraction of a lower rate below).
// A passband to 15 kHz would cost three to five more input samples of delay; the transition from
// here still keeps the gain within 0.05 dB to 15 kHz.
constexpr double kPassbandHz = 12000.0;
constexpr double kPassbandReferenceRate = 44100.0;
constexpr int32_t kMinRate = 1000;
constexpr int32_t kMaxRate = 768000;
constexpr int32_t kMaxDownRatio = 64;

// Zero at every nonzero integer exactly, so that a cutoff at the input Nyquist frequency gives a
// kernel of one 1 among zeros at fraction 0 (std::sin(kPi * n) is not 0).
double Sinc(double x) {
  if (x == std::floor(x)) return x == 0.0 ? 1.0 : 0.0;
  return std::sin(kPi * x) / (kPi * x);
}

double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; term > sum * 1e-17; ++k) {
    const double ratio = x / (2.0 * k);
    term *= ratio * ratio;
    sum += term;
  }
  return sum;
}

}  // namespace

void SincFilter::Configure(int32_t input_rate, int32_t output_rate) {
  half_ = 0;
  taps_ = 0;
  table_.clear();
  if (input_rate < kMinRate || input_rate > kMaxRate || output_rate < kMinRate ||
      output_rate > kMaxRate || input_rate > kMaxDownRatio * output_rate) {
    std::cerr << "SincFilter: unsupported rates " << input_rate << " -> " << output_rate << " Hz"
              << std::endl;
    return;
  }
  const double lower = std::min(input_rate, output_rate);
  const double pass_hz = std::min(kPassbandHz, kPassbandHz * lower / kPassbandReferenceRate);
  // In cycles per input sample: the transition band lies symmetrically around the cutoff, so
  // whatever it lets through folds back above the passband.
  const double cutoff = 0.5 * lower / input_rate;
  const double transition = (lower - 2.0 * pass_hz) / input_rate;
  // Kaiser's estimate of the length for the stopband; rounded up to whole input samples, the
  // length then buys what stopband it can.
  const double samples_per_db = 1.0 / (2.285 * 2.0 * kPi * transition);
  half_ = std::max(1, static_cast<int32_t>(std::ceil((kStopbandDb - 7.95) * samples_per_db / 2.0)));
  taps_ = 2 * half_;
  const double beta = 0.1102 * (2.0 * half_ / samples_per_db + 7.95 - 8.7);

  table_.resize(static_cast<size_t>(kPhases + 1) * taps_);
  const double window_scale = 1.0 / BesselI0(beta);
  std::vector<double> row(static_cast<size_t>(taps_));
  for (int32_t phase = 0; phase <= kPhases; ++phase) {
    const double fraction = static_cast<double>(phase) / kPhases;
    double sum = 0.0;
    for (int32_t k = 0; k < taps_; ++k) {
      const double t = (k - half_ + 1) - fraction;  // input samples from the output position
      const double edge = t / half_;
      const double window = std::fabs(edge) < 1.0
                                ? BesselI0(beta * std::sqrt(1.0 - edge * edge)) * window_scale
                                : 0.0;
      row[k] = 2.0 * cutoff * Sinc(2.0 * cutoff * t) * window;
      sum += row[k];
    }
    // Unity gain at DC for every fraction, or the gain would wobble with the fraction.
    float* out = &table_[static_cast<size_t>(phase) * taps_];
    for (int32_t k = 0; k < taps_; ++k) out[k] = static_cast<float>(row[k] / sum);
  }
}

float SincFilter::Convolve(const float* window, double fraction) const {
  if (taps_ == 0) return 0.0f;
  const double scaled = std::clamp(fraction, 0.0, 1.0) * kPhases;
  const int32_t phase = std::min(static_cast<int32_t>(scaled), kPhases - 1);
  const float* a = &table_[static_cast<size_t>(phase) * taps_];
  const float* b = a + taps_;
  const float t = static_cast<float>(scaled - phase);
  // Four independent partial sums, so that the compiler keeps them in one vector register without
  // reordering a float sum. At t = 0 each coefficient is exactly the row's.
  float sum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  int32_t k = 0;
  for (; k + 4 <= taps_; k += 4) {
    for (int32_t j = 0; j < 4; ++j) {
      sum[j] += window[k + j] * (a[k + j] + t * (b[k + j] - a[k + j]));
    }
  }
  for (; k < taps_; ++k) sum[0] += window[k] * (a[k] + t * (b[k] - a[k]));
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

}  // namespace tonelark
