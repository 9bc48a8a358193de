// The monitoring rate conversion against its goals, from its output spectrum: the lines beside a
// tone, the passband and the delay at each conversion; at equal rates the input delayed sample for
// sample; and no click while a drift control moves the ratio every period.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <vector>

#include "gtest/gtest.h"
#include "guitar/stream_resampler.h"

namespace tonelark_test {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kLength = 32768;  // outputs analysed: 1.5 Hz bins at 48 kHz

// A 0.5 full-scale tone converted in 10 ms blocks, the step set before each block to the nominal
// one off by `ppm`, plus up to `wander_ppm` over the first half second and back to exactly the
// nominal step for good. Returns the last kLength outputs.
std::vector<float> Convert(int in_rate, int out_rate, double hz, double ppm, double wander_ppm) {
  tonelark::StreamResampler resampler;
  resampler.Configure(in_rate, out_rate);
  const size_t block = static_cast<size_t>(in_rate / 100);
  std::vector<float> input(block), out;
  for (size_t b = 0; out.size() < kLength + 2 * block; ++b) {
    const double swing = wander_ppm * std::max(0.0, std::sin(2.0 * kPi * b / 100.0));
    resampler.SetStep(static_cast<double>(in_rate) / out_rate * (1.0 + (ppm + swing) * 1e-6));
    for (size_t i = 0; i < block; ++i) {
      input[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * hz * (b * block + i) / in_rate));
    }
    const size_t at = out.size();
    out.resize(at + 3 * block);
    out.resize(at + resampler.Process(input.data(), block, &out[at], 3 * block));
  }
  return std::vector<float>(out.end() - kLength, out.end());
}

// The tone's gain, and the strongest bin outside its main lobe relative to it, under a Kaiser
// window (beta 20: sidelobes far below any line sought, main lobe within 7 bins).
struct Tone {
  double gain_db, worst_line_db;
};

Tone Analyse(const std::vector<float>& y, double cycles_per_sample) {
  static std::vector<double> window;
  for (double j = static_cast<double>(window.size()); j < kLength; ++j) {
    window.push_back(
        std::cyl_bessel_i(0.0, 20.0 * std::sqrt(1.0 - std::pow(j / kLength * 2 - 1, 2))));
  }
  std::vector<std::complex<double>> x(kLength);
  std::complex<double> tone = 0.0;
  for (size_t j = 0; j < kLength; ++j) {
    x[j] = window[j] * y[j];
    tone += x[j] * std::polar(1.0, -2.0 * kPi * cycles_per_sample * j);
  }
  for (size_t i = 1, j = 0; i < kLength; ++i) {  // radix-2 FFT in place
    size_t bit = kLength >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (size_t len = 2; len <= kLength; len <<= 1) {
    const std::complex<double> turn = std::polar(1.0, -2.0 * kPi / len);
    std::complex<double> w = 1.0;
    for (size_t k = 0; k < len / 2; ++k, w *= turn) {
      for (size_t i = k; i < kLength; i += len) {
        const std::complex<double> v = x[i + len / 2] * w;
        x[i + len / 2] = x[i] - v;
        x[i] += v;
      }
    }
  }
  double worst = 0.0;
  for (size_t k = 0; k <= kLength / 2; ++k) {
    if (std::fabs(k - cycles_per_sample * kLength) > 8.0) worst = std::max(worst, std::abs(x[k]));
  }
  const double window_sum = std::accumulate(window.begin(), window.end(), 0.0);
  return {20.0 * std::log10(std::abs(tone) * 4.0 / window_sum),
          20.0 * std::log10(worst / std::abs(tone))};
}

TEST(SincFilterTest, LinesPassbandAndDelayMeetTheGoalsAtEachConversion) {
  // Input and output rates (Hz), and the step off its nominal value (ppm).
  const int cases[][3] = {{44100, 48000, 0},
                          {48000, 44100, 0},
                          {96000, 48000, 0},
                          {48000, 48000, 300},
                          {48000, 48000, -300}};
  for (const auto& [in_rate, out_rate, ppm] : cases) {
    tonelark::SincFilter filter;
    filter.Configure(in_rate, out_rate);
    EXPECT_LE(filter.half() * 2000, in_rate) << in_rate << " -> " << out_rate;  // 0.5 ms
    for (double hz : {50.0, 7300.0, 8300.0, 15000.0}) {
      SCOPED_TRACE(testing::Message() << in_rate << " -> " << out_rate << " Hz, " << ppm
                                      << " ppm, tone " << hz << " Hz");
      const Tone tone =
          Analyse(Convert(in_rate, out_rate, hz, ppm, 0.0), hz / out_rate * (1.0 + ppm * 1e-6));
      EXPECT_NEAR(tone.gain_db, 0.0, 0.1);
      EXPECT_TRUE(hz > 10000.0 || tone.worst_line_db < -100.0) << tone.worst_line_db << " dB line";
    }
  }
}

TEST(SincFilterTest, EqualRatesGiveTheInputDelayedByHalfSampleForSample) {
  tonelark::StreamResampler resampler;
  resampler.Configure(48000, 48000);
  const size_t half = static_cast<size_t>(resampler.filter().half());
  std::vector<float> input(6000), out(input.size() + 4);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(std::sin(0.1 * i * i));
  // A block larger than the history takes at once, then a smaller one.
  size_t made = resampler.Process(input.data(), 2500, out.data(), out.size());
  made += resampler.Process(&input[2500], 3500, &out[made], out.size() - made);
  ASSERT_EQ(made, input.size());
  for (size_t j = 0; j < made; ++j) ASSERT_EQ(out[j], j < half ? 0.0f : input[j - half]) << j;
}

TEST(SincFilterTest, RatioMovedEveryPeriodLeavesNoClick) {
  // Up to 300 ppm and back to exactly 1, which must not change the delay.
  EXPECT_LT(Analyse(Convert(48000, 48000, 1000.0, 0.0, 300.0), 1000.0 / 48000).worst_line_db,
            -80.0);
}

}  // namespace
}  // namespace tonelark_test
