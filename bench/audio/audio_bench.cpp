// The audio thread's work for one period (ProcessCapture, then RenderMonitor), each case beside
// a baseline measured in the same run: a plain loop converting the period's int16 samples to
// float. Benchmarks named "<Case>/baseline" are the reference for "<Case>/period".
//
// The rate control of the monitoring ring runs in every case; the drift case keeps it steering.
//
// The streams are minimal in-process fakes of the capture, render and audio clients: the virtual
// audio endpoints record every rendered frame and synthesise each captured sample under a lock,
// which would dominate the few nanoseconds per frame being measured here.
//
// Counters: ns_per_frame (per capture frame of the period; printed with an "s" unit, read it as
// nanoseconds) and period_pct, the CPU time of one period's work in percent of the period's
// duration (10 ms).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "guitar/audio_loop.h"
#include "guitar/monitor.h"
#include "guitar/render_monitor.h"
#include "platform/win32.h"

namespace {

constexpr double kPeriodSeconds = 0.01;

// Reference counting without deletion: the fakes live on the benchmark's stack.
template <typename Interface>
class StackObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

 private:
  ULONG references_ = 1;
};

// Hands out one packet of a 440 Hz sine per Deliver().
class FakeCapture : public StackObject<IAudioCaptureClient> {
 public:
  explicit FakeCapture(const std::vector<int16_t>& samples) : samples_(samples) {}
  void Deliver() { available_ = true; }

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override {
    *data = reinterpret_cast<BYTE*>(samples_.data());
    *frames = available_ ? static_cast<UINT32>(samples_.size()) : 0;
    *flags = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32) override {
    available_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    *frames = available_ ? static_cast<UINT32>(samples_.size()) : 0;
    return S_OK;
  }

 private:
  std::vector<int16_t> samples_;
  bool available_ = false;
};

class FakeRender : public StackObject<IAudioRenderClient> {
 public:
  explicit FakeRender(size_t bytes) : buffer_(bytes) {}
  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32, BYTE** data) override {
    *data = buffer_.data();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32, DWORD) override {
    benchmark::DoNotOptimize(buffer_.data());
    return S_OK;
  }

 private:
  std::vector<BYTE> buffer_;
};

// Only GetCurrentPadding is used while streaming. A shared stream finds what a system mixer
// leaves after taking one period since the last top-up; an exclusive one never asks.
class FakeClient : public StackObject<IAudioClient> {
 public:
  explicit FakeClient(UINT32 padding) : padding_(padding) {}
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    *frames = padding_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Start() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }

 private:
  UINT32 padding_;
};

std::vector<int16_t> SinePacket(int rate) {
  std::vector<int16_t> samples(static_cast<size_t>(rate / 100));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(8000.0 * std::sin(6.283185307179586 * 440.0 * i / rate));
  }
  return samples;
}

struct Setup {
  int capture_rate;
  int render_rate;
  bool exclusive;
  bool float_output;
  bool click;
  // How far the capture clock runs from its nominal rate: the packets stay at rate / 100 frames,
  // so the ring's rate control has to steer against the difference for as long as it runs.
  double capture_ppm = 0.0;
};

void SetCounters(benchmark::State& state, size_t frames) {
  state.counters["ns_per_frame"] = benchmark::Counter(
      static_cast<double>(frames) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["period_pct"] =
      benchmark::Counter(kPeriodSeconds / 100.0, benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

void RunPeriod(benchmark::State& state, const Setup& setup) {
  const std::vector<int16_t> packet = SinePacket(setup.capture_rate);
  const int channels = 2;
  const int block_align = channels * (setup.float_output ? 4 : 2);
  const UINT32 buffer_frames =
      setup.exclusive ? static_cast<UINT32>(setup.render_rate / 100) : 1056;
  FakeCapture capture(packet);
  FakeRender render(static_cast<size_t>(buffer_frames) * block_align);
  const UINT32 render_period = static_cast<UINT32>(setup.render_rate / 100);
  FakeClient render_client(tonelark::SharedMarginFrames(setup.render_rate, render_period));

  auto monitor = std::make_unique<tonelark::Monitor>();
  const int nominal_capture_rate =
      static_cast<int>(std::lround(setup.capture_rate * (1.0 - setup.capture_ppm * 1e-6)));
  monitor->capture_.info = {nominal_capture_rate, 1, 2, false, true};
  monitor->capture_.period_frames = static_cast<UINT32>(packet.size());
  monitor->render_.info = {setup.render_rate, channels, block_align, setup.float_output,
                           setup.exclusive};
  monitor->render_.buffer_frames = buffer_frames;
  monitor->render_.period_frames = render_period;
  monitor->render_.client = platform::ComPtr<IAudioClient>(&render_client);
  monitor->capture_client_ = platform::ComPtr<IAudioCaptureClient>(&capture);
  monitor->render_client_ = platform::ComPtr<IAudioRenderClient>(&render);
  monitor->pending_.reserve(4096);
  monitor->volume_ = 2.0f;

  monitor->pcm_sample_rate_ = nominal_capture_rate;
  monitor->PreparePcmPool(tonelark::PcmChunkSamples(nominal_capture_rate));
  tonelark::ConfigureMonitoring(*monitor);
  monitor->monitoring_.Restart();
  for (auto _ : state) {
    if (setup.click && monitor->click_remaining_ <= 0) monitor->click_request_.store(1);
    capture.Deliver();
    tonelark::ProcessCapture(*monitor);
    tonelark::RenderMonitor(*monitor);
  }
  SetCounters(state, packet.size());
  state.counters["steering_ppm"] = monitor->monitoring_.steering().correction_ppm();
  // The fakes outlive the monitor's references to them.
  monitor.reset();
}

void RunBaseline(benchmark::State& state, int capture_rate) {
  const std::vector<int16_t> packet = SinePacket(capture_rate);
  std::vector<float> out(packet.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(packet.data());
    for (size_t i = 0; i < packet.size(); ++i) out[i] = packet[i] * (1.0f / 32768.0f);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, packet.size());
}

// 48000 Hz mono 16-bit capture into 48000 Hz stereo 16-bit exclusive render.
void Exclusive16Baseline(benchmark::State& state) { RunBaseline(state, 48000); }
void Exclusive16Period(benchmark::State& state) {
  RunPeriod(state, {48000, 48000, true, false, false});
}
// The same with the capture clock 300 ppm fast: the rate control steers the whole time.
void Drift16Baseline(benchmark::State& state) { RunBaseline(state, 48000); }
void Drift16Period(benchmark::State& state) {
  RunPeriod(state, {48000, 48000, true, false, false, 300.0});
}
// 44100 Hz capture into 48000 Hz stereo float shared render.
void SharedFloatBaseline(benchmark::State& state) { RunBaseline(state, 44100); }
void SharedFloatPeriod(benchmark::State& state) {
  RunPeriod(state, {44100, 48000, false, true, false});
}
// The exclusive case with a click sounding through every period.
void ClickBaseline(benchmark::State& state) { RunBaseline(state, 48000); }
void ClickPeriod(benchmark::State& state) { RunPeriod(state, {48000, 48000, true, false, true}); }

BENCHMARK(Exclusive16Baseline)->Name("Exclusive16/baseline");
BENCHMARK(Exclusive16Period)->Name("Exclusive16/period");
BENCHMARK(Drift16Baseline)->Name("Exclusive16Drift300ppm/baseline");
BENCHMARK(Drift16Period)->Name("Exclusive16Drift300ppm/period");
BENCHMARK(SharedFloatBaseline)->Name("SharedFloat44k1/baseline");
BENCHMARK(SharedFloatPeriod)->Name("SharedFloat44k1/period");
BENCHMARK(ClickBaseline)->Name("Click/baseline");
BENCHMARK(ClickPeriod)->Name("Click/period");

}  // namespace

BENCHMARK_MAIN();
