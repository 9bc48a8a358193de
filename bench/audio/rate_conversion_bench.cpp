// Monitoring rate conversion: the engine's own band-limited converter (StreamResampler) beside
// today's sample-and-hold (each case's baseline) and three libraries (speexdsp at qualities 3 and
// 5, libsamplerate's SRC_SINC_FASTEST, soxr's high quality in fixed-ratio and variable-rate mode),
// converting a 0.5 full-scale tone in 10 ms blocks.
//
// Before the timed runs each converter is measured, and a table follows them:
// - worst line: the strongest spectral line outside the tone's main lobe, relative to the tone
//   (a Kaiser window with sidelobes far below any converter's lines), at 3 kHz, at 9 kHz and the
//   worst over 50 Hz - 10 kHz;
// - flatness: the largest gain deviation from 0 dB for tones from 50 Hz to 15 kHz;
// - delay: how far the newest output lags the newest input at the end of a block (from a 20 Hz
//   tone's phase), which is what the converter holds back: on average over the blocks, and the
//   longest, which a player of the output has to wait for;
// - cost: the median CPU time per 10 ms block of the timed runs;
// - ratio changes (the ratio moved 100 ppm every block the way a drift control would, at
//   44.1 -> 48 kHz and at equal rates across 1): heap allocations per change, and the time of a
//   block with a change beside one without (a filter rebuilt shows there);
// - ratio 1: whether at equal rates the output is the input delayed by whole samples, bit for
//   bit.
#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "guitar/stream_resampler.h"

// Every heap allocation of the process, the libraries' included (they call malloc, calloc and
// realloc), passes through these, so that a ratio change can be seen to allocate.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(pointer, size);
}
int posix_memalign(void** pointer, size_t alignment, size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  *pointer = __libc_memalign(alignment, size);
  return *pointer != nullptr ? 0 : 12;  // ENOMEM
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 0.5;

// One conversion: rates in Hz and the fixed step (input samples per output).
struct Conversion {
  const char* name;
  const char* label;
  int input_rate;
  int output_rate;
  double step;
};

const Conversion kConversions[] = {
    {"Up44k1To48k", "44.1 -> 48 kHz", 44100, 48000, 44100.0 / 48000.0},
    {"Down48kTo44k1", "48 -> 44.1 kHz", 48000, 44100, 48000.0 / 44100.0},
    {"Down96kTo48k", "96 -> 48 kHz", 96000, 48000, 2.0},
    {"Same48kPlus300ppm", "48 -> 48 kHz +300 ppm", 48000, 48000, 1.0003},
    {"Same48kMinus300ppm", "48 -> 48 kHz -300 ppm", 48000, 48000, 0.9997},
};

class Converter {
 public:
  virtual ~Converter() = default;
  // Converts `count` samples, writing at most `max_out`; returns the outputs written.
  virtual size_t Process(const float* input, size_t count, float* out, size_t max_out) = 0;
  // Moves the step while streaming, the converter's own way; false where it has none.
  virtual bool SetStep(double /*step*/) { return false; }
};

// Today's monitoring: each input sample is held until the step has passed a whole sample.
class SampleAndHold : public Converter {
 public:
  explicit SampleAndHold(double step) : step_(step) { pending_.reserve(1 << 16); }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) override {
    pending_.insert(pending_.end(), input, input + count);
    size_t next = 0;
    size_t written = 0;
    while (written < max_out && next < pending_.size()) {
      out[written++] = pending_[next];
      position_ += step_;
      while (position_ >= 1.0 && next < pending_.size()) {
        ++next;
        position_ -= 1.0;
      }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(next));
    return written;
  }
  bool SetStep(double step) override {
    step_ = step;
    return true;
  }

 private:
  double step_;
  double position_ = 0.0;
  std::vector<float> pending_;
};

class Sinc : public Converter {
 public:
  explicit Sinc(const Conversion& c) {
    resampler_.Configure(c.input_rate, c.output_rate);
    resampler_.SetStep(c.step);
  }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) override {
    return resampler_.Process(input, count, out, max_out);
  }
  bool SetStep(double step) override {
    resampler_.SetStep(step);
    return true;
  }

 private:
  tonelark::StreamResampler resampler_;
};

// The step as a fraction of two integers, for speexdsp.
void StepFraction(double step, spx_uint32_t* num, spx_uint32_t* den) {
  *den = 100000;
  *num = static_cast<spx_uint32_t>(std::lround(step * *den));
}

class Speex : public Converter {
 public:
  Speex(const Conversion& c, int quality) : input_rate_(c.input_rate), output_rate_(c.output_rate) {
    spx_uint32_t num, den;
    StepFraction(c.step, &num, &den);
    int error = 0;
    state_ = speex_resampler_init_frac(1, num, den, static_cast<spx_uint32_t>(c.input_rate),
                                       static_cast<spx_uint32_t>(c.output_rate), quality, &error);
  }
  ~Speex() override { speex_resampler_destroy(state_); }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) override {
    size_t written = 0;
    while (count > 0 && written < max_out) {
      spx_uint32_t in_len = static_cast<spx_uint32_t>(count);
      spx_uint32_t out_len = static_cast<spx_uint32_t>(max_out - written);
      speex_resampler_process_float(state_, 0, input, &in_len, out + written, &out_len);
      input += in_len;
      count -= in_len;
      written += out_len;
      if (in_len == 0 && out_len == 0) break;
    }
    return written;
  }
  bool SetStep(double step) override {
    spx_uint32_t num, den;
    StepFraction(step, &num, &den);
    speex_resampler_set_rate_frac(state_, num, den, static_cast<spx_uint32_t>(input_rate_),
                                  static_cast<spx_uint32_t>(output_rate_));
    return true;
  }

 private:
  int input_rate_;
  int output_rate_;
  SpeexResamplerState* state_ = nullptr;
};

class SampleRate : public Converter {
 public:
  explicit SampleRate(const Conversion& c) : ratio_(1.0 / c.step) {
    int error = 0;
    state_ = src_new(SRC_SINC_FASTEST, 1, &error);
  }
  ~SampleRate() override { src_delete(state_); }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) override {
    size_t written = 0;
    while (count > 0 && written < max_out) {
      SRC_DATA data = {};
      data.data_in = input;
      data.data_out = out + written;
      data.input_frames = static_cast<long>(count);
      data.output_frames = static_cast<long>(max_out - written);
      data.src_ratio = ratio_;
      if (src_process(state_, &data) != 0) break;
      input += data.input_frames_used;
      count -= static_cast<size_t>(data.input_frames_used);
      written += static_cast<size_t>(data.output_frames_gen);
      if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
    }
    return written;
  }
  // The documented way: a new src_ratio in the next call, reached smoothly across it.
  bool SetStep(double step) override {
    ratio_ = 1.0 / step;
    return true;
  }

 private:
  double ratio_;
  SRC_STATE* state_ = nullptr;
};

class Soxr : public Converter {
 public:
  // Variable-rate mode is created for ratios up to twice the nominal one.
  Soxr(const Conversion& c, bool variable) : variable_(variable) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, variable ? SOXR_VR : 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    const double max_step = variable ? 2.0 * c.step : c.step;
    soxr_ =
        soxr_create(c.output_rate * max_step, c.output_rate, 1, &error, &io, &quality, &runtime);
    if (variable) soxr_set_io_ratio(soxr_, c.step, 0);
  }
  ~Soxr() override { soxr_delete(soxr_); }
  size_t Process(const float* input, size_t count, float* out, size_t max_out) override {
    size_t written = 0;
    while (count > 0 && written < max_out) {
      size_t used = 0;
      size_t made = 0;
      if (soxr_process(soxr_, input, count, &used, out + written, max_out - written, &made)) {
        break;
      }
      input += used;
      count -= used;
      written += made;
      if (used == 0 && made == 0) break;
    }
    return written;
  }
  // Only the variable-rate mode changes its ratio while streaming, slewing over one block.
  bool SetStep(double step) override {
    if (!variable_) return false;
    soxr_set_io_ratio(soxr_, step, 480);
    return true;
  }

 private:
  bool variable_;
  soxr_t soxr_ = nullptr;
};

struct Contender {
  const char* name;   // benchmark suffix
  const char* label;  // table row
  std::function<std::unique_ptr<Converter>(const Conversion&)> make;
};

const std::vector<Contender>& Contenders() {
  static const std::vector<Contender> contenders = {
      {"baseline", "sample-and-hold (today)",
       [](const Conversion& c) { return std::make_unique<SampleAndHold>(c.step); }},
      {"sinc", "ours (SincFilter)", [](const Conversion& c) { return std::make_unique<Sinc>(c); }},
      {"speex_q3", "speexdsp q3",
       [](const Conversion& c) { return std::make_unique<Speex>(c, 3); }},
      {"speex_q5", "speexdsp q5",
       [](const Conversion& c) { return std::make_unique<Speex>(c, 5); }},
      {"src_fastest", "libsamplerate SINC_FASTEST",
       [](const Conversion& c) { return std::make_unique<SampleRate>(c); }},
      {"soxr_hq", "soxr HQ", [](const Conversion& c) { return std::make_unique<Soxr>(c, false); }},
      {"soxr_hq_vr", "soxr HQ variable-rate",
       [](const Conversion& c) { return std::make_unique<Soxr>(c, true); }},
  };
  return contenders;
}

std::vector<float> Tone(double frequency, int rate, size_t count) {
  std::vector<float> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<float>(kAmplitude * std::sin(2.0 * kPi * frequency * i / rate));
  }
  return samples;
}

// Output samples analysed (0.7 Hz bins at 48 kHz, so that at 48 kHz +-300 ppm the images 14 Hz
// from the tone stand apart), after kSettle outputs that let every converter fill its pipeline.
constexpr size_t kAnalysed = 65536;
constexpr size_t kSettle = 8192;

struct Stream {
  std::vector<float> out;
  // Input samples given and outputs received at the end of each block after the settling.
  std::vector<std::pair<double, double>> block_ends;
};

Stream Convert(Converter& converter, const Conversion& c, const std::vector<float>& input) {
  const size_t block = static_cast<size_t>(c.input_rate / 100);
  Stream run;
  run.out.resize(input.size() * 3 + 1024);
  size_t written = 0;
  for (size_t at = 0; at + block <= input.size() && written < kSettle + kAnalysed; at += block) {
    written += converter.Process(&input[at], block, &run.out[written], run.out.size() - written);
    if (written > kSettle) run.block_ends.emplace_back(at + block, written);
  }
  run.out.resize(written);
  return run;
}

// Least-squares amplitude and phase of the tone of `omega` radians per sample in y.
std::complex<double> FitTone(const float* y, size_t count, double omega) {
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (size_t j = 0; j < count; ++j) {
    const double s = std::sin(omega * j), co = std::cos(omega * j);
    ss += s * s;
    sc += s * co;
    cc += co * co;
    ys += y[j] * s;
    yc += y[j] * co;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det;  // sine part
  const double b = (yc * ss - ys * sc) / det;  // cosine part
  return {a, b};
}

void Fft(std::vector<std::complex<double>>& x) {
  const size_t n = x.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2.0 * kPi / len);
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1.0;
      for (size_t k = 0; k < len / 2; ++k, wk *= w) {
        const std::complex<double> u = x[i + k], v = x[i + k + len / 2] * wk;
        x[i + k] = u + v;
        x[i + k + len / 2] = u - v;
      }
    }
  }
}

double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; term > sum * 1e-17; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// The strongest line outside the tone's main lobe, in dB relative to the tone.
double WorstLineDb(const float* y, double omega) {
  constexpr double kBeta = 20.0;  // sidelobes near -190 dB; main lobe about 6.5 bins each side
  constexpr int kLobeBins = 12;
  static const std::vector<double> window = [] {
    std::vector<double> w(kAnalysed);
    for (size_t j = 0; j < kAnalysed; ++j) {
      const double r = 2.0 * j / (kAnalysed - 1) - 1.0;
      w[j] = BesselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(kBeta);
    }
    return w;
  }();
  std::vector<std::complex<double>> x(kAnalysed);
  std::complex<double> tone = 0.0;
  for (size_t j = 0; j < kAnalysed; ++j) {
    x[j] = window[j] * y[j];
    tone += x[j] * std::polar(1.0, -omega * j);
  }
  Fft(x);
  const long tone_bin = std::lround(omega / (2.0 * kPi) * kAnalysed);
  double worst = 0.0;
  for (long k = 0; k <= static_cast<long>(kAnalysed / 2); ++k) {
    if (std::labs(k - tone_bin) <= kLobeBins) continue;
    worst = std::max(worst, std::abs(x[static_cast<size_t>(k)]));
  }
  return 20.0 * std::log10(std::max(worst, 1e-30) / std::abs(tone));
}

struct Quality {
  double line_3k = 0, line_9k = 0, worst_line = -1e9;
  double flatness = 0;      // dB, largest deviation from 0
  double delay_ms = 0;      // mean over the blocks
  double max_delay_ms = 0;  // the longest, what a player of the output has to wait for
  std::string ratio_one;
};

const double kLineTones[] = {50,   100,  200,  500,  1000, 2000, 3000,
                             4000, 5000, 6000, 7000, 8000, 9000, 10000};
const double kFlatTones[] = {50, 1000, 5000, 10000, 12000, 14000, 14500, 15000};

Quality Measure(const Contender& who, const Conversion& c) {
  Quality q;
  const size_t input_count =
      static_cast<size_t>((kSettle + kAnalysed) * c.step) + static_cast<size_t>(c.input_rate / 10);
  for (double f : kLineTones) {
    auto converter = who.make(c);
    const Stream run = Convert(*converter, c, Tone(f, c.input_rate, input_count));
    if (run.out.size() < kSettle + kAnalysed) return q;
    const double omega = 2.0 * kPi * f * c.step / c.input_rate;
    const double line = WorstLineDb(&run.out[kSettle], omega);
    if (f == 3000) q.line_3k = line;
    if (f == 9000) q.line_9k = line;
    q.worst_line = std::max(q.worst_line, line);
  }
  for (double f : kFlatTones) {
    auto converter = who.make(c);
    const Stream run = Convert(*converter, c, Tone(f, c.input_rate, input_count));
    const double omega = 2.0 * kPi * f * c.step / c.input_rate;
    const double gain = std::abs(FitTone(&run.out[kSettle], kAnalysed, omega)) / kAmplitude;
    q.flatness = std::max(q.flatness, std::fabs(20.0 * std::log10(gain)));
  }
  // Output j carries the input of time j * step - lag0 (input samples), from the phase of a
  // 20 Hz tone; the newest output then lags the newest input by that much plus what is held.
  constexpr double kDelayTone = 20.0;
  auto converter = who.make(c);
  const Stream run = Convert(*converter, c, Tone(kDelayTone, c.input_rate, input_count));
  const double omega = 2.0 * kPi * kDelayTone * c.step / c.input_rate;
  const double phase = std::arg(FitTone(&run.out[kSettle], kAnalysed, omega)) - omega * kSettle;
  const double period = c.input_rate / kDelayTone;
  double lag0 = std::fmod(-phase / (2.0 * kPi) * period, period);
  if (lag0 < -0.2 * period) lag0 += period;
  if (lag0 > 0.8 * period) lag0 -= period;
  double sum = 0.0, longest = -1e9;
  for (const auto& [given, made] : run.block_ends) {
    const double lag = (given - 1) - ((made - 1) * c.step - lag0);
    sum += lag;
    longest = std::max(longest, lag);
  }
  q.delay_ms = sum / run.block_ends.size() / c.input_rate * 1000.0;
  q.max_delay_ms = longest / c.input_rate * 1000.0;
  return q;
}

// At equal rates: is the output the input delayed by whole samples, bit for bit?
std::string RatioOne(const Contender& who) {
  const Conversion same = {"Same48k", "", 48000, 48000, 1.0};
  auto converter = who.make(same);
  std::mt19937 random(1);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  std::vector<float> input(48000);
  for (float& s : input) s = noise(random);
  const Stream run = Convert(*converter, same, input);
  const size_t checked = 4800;
  if (run.out.size() < 2 * checked) return "no output";
  const size_t last = run.out.size() - checked;
  for (size_t delay = 0; delay <= last; ++delay) {
    if (std::equal(run.out.begin() + static_cast<std::ptrdiff_t>(last), run.out.end(),
                   input.begin() + static_cast<std::ptrdiff_t>(last - delay))) {
      return "yes, " + std::to_string(delay) + " samples";
    }
  }
  return "no";
}

struct RatioChange {
  bool supported = false;
  double allocations_per_change = 0;
  double set_us = 0;           // the call that moves the ratio
  double change_block_us = 0;  // that call and the block after it
  double plain_block_us = 0;   // a block of the same conversion left alone
};

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The step moved by 100 ppm either way every block, beside the same conversion left alone, block
// for block; medians, so that the load of other processes weighs on neither.
RatioChange MeasureRatioChanges(const Contender& who, const Conversion& c) {
  constexpr int kBlocks = 400;
  const size_t block = static_cast<size_t>(c.input_rate / 100);
  const std::vector<float> input = Tone(1000.0, c.input_rate, block * kBlocks);
  std::vector<float> out(block * 4);
  auto moved = who.make(c);
  auto steady = who.make(c);
  std::vector<double> set_us, change_us, plain_us;
  long allocations = 0;
  const auto us = [](auto from, auto to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
  };
  for (int b = 0; b < kBlocks; ++b) {
    const auto t0 = std::chrono::steady_clock::now();
    steady->Process(&input[block * b], block, out.data(), out.size());
    const long before = g_allocations.load();
    const auto t1 = std::chrono::steady_clock::now();
    if (!moved->SetStep(c.step * (1.0 + ((b & 1) ? 100e-6 : -100e-6)))) return {};
    const auto t2 = std::chrono::steady_clock::now();
    moved->Process(&input[block * b], block, out.data(), out.size());
    const auto t3 = std::chrono::steady_clock::now();
    // The first blocks fill the libraries' buffers.
    if (b < kBlocks / 4) continue;
    allocations += g_allocations.load() - before;
    plain_us.push_back(us(t0, t1));
    set_us.push_back(us(t1, t2));
    change_us.push_back(us(t1, t3));
  }
  return {true, static_cast<double>(allocations) / static_cast<double>(set_us.size()),
          Median(set_us), Median(change_us), Median(plain_us)};
}

void RegisterCosts() {
  for (const Conversion& c : kConversions) {
    for (const Contender& who : Contenders()) {
      const std::string name = std::string(c.name) + "/" + who.name;
      benchmark::RegisterBenchmark(name.c_str(), [&c, &who](benchmark::State& state) {
        auto converter = who.make(c);
        const size_t block = static_cast<size_t>(c.input_rate / 100);
        const std::vector<float> input = Tone(997.0, c.input_rate, block * 100);
        std::vector<float> out(block * 4);
        size_t at = 0;
        for (auto _ : state) {
          benchmark::DoNotOptimize(converter->Process(&input[at], block, out.data(), out.size()));
          benchmark::ClobberMemory();
          at = at + 2 * block <= input.size() ? at + block : 0;
        }
      })->Unit(benchmark::kMicrosecond);
    }
  }
}

// Keeps each benchmark's median CPU time (or its single run's) for the table.
class CostReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) {
        cpu_us_[run.run_name.str()] =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e6;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::string CostUs(const std::string& name) const {
    const auto found = cpu_us_.find(name);
    if (found == cpu_us_.end()) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", found->second);
    return text;
  }

 private:
  std::map<std::string, double> cpu_us_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterCosts();

  std::map<std::pair<std::string, std::string>, Quality> quality;
  for (const Conversion& c : kConversions) {
    for (const Contender& who : Contenders()) quality[{c.name, who.name}] = Measure(who, c);
  }
  // Drifting 44.1 -> 48 kHz, and drifting across 1 at equal rates (from up- to downsampling).
  const Conversion equal = {"Same48k", "", 48000, 48000, 1.0};
  std::map<std::string, RatioChange> changes, changes_across_one;
  std::map<std::string, std::string> ratio_one;
  for (const Contender& who : Contenders()) {
    changes[who.name] = MeasureRatioChanges(who, kConversions[0]);
    changes_across_one[who.name] = MeasureRatioChanges(who, equal);
    ratio_one[who.name] = RatioOne(who);
  }

  CostReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-27s %9s %9s %9s %9s %9s %9s %9s\n", "converter", "3 kHz dB", "9 kHz dB",
              "worst dB", "flat dB", "delay ms", "max ms", "us/10ms");
  for (const Conversion& c : kConversions) {
    std::printf("%s\n", c.label);
    for (const Contender& who : Contenders()) {
      const Quality& q = quality[{c.name, who.name}];
      std::printf("  %-25s %9.1f %9.1f %9.1f %9.3f %9.2f %9.2f %9s\n", who.label, q.line_3k,
                  q.line_9k, q.worst_line, q.flatness, q.delay_ms, q.max_delay_ms,
                  reporter.CostUs(std::string(c.name) + "/" + who.name).c_str());
    }
  }
  std::printf(
      "\nRatio moved 100 ppm every block (44.1 -> 48 kHz; allocations also at 48 -> 48 kHz "
      "across 1), medians\n");
  std::printf("%-27s %13s %9s %9s %13s %11s  %s\n", "converter", "allocs/change", "across 1",
              "us set", "us set+block", "us steady", "ratio 1 sample for sample");
  for (const Contender& who : Contenders()) {
    const RatioChange& r = changes[who.name];
    if (r.supported) {
      std::printf("  %-25s %13.2f %9.2f %9.2f %13.1f %11.1f  %s\n", who.label,
                  r.allocations_per_change, changes_across_one[who.name].allocations_per_change,
                  r.set_us, r.change_block_us, r.plain_block_us, ratio_one[who.name].c_str());
    } else {
      std::printf("  %-25s %13s %9s %9s %13s %11s  %s\n", who.label, "fixed ratio", "-", "-", "-",
                  "-", ratio_one[who.name].c_str());
    }
  }
  return 0;
}
