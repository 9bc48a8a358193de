// Monitoring output: the click, the volume, clamping, every output layout, the shared-mode
// top-up, the latency bound and the rate conversion, read back from the speakers' recording.
#include "guitar/render_monitor.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "guitar/audio_loop.h"
#include "platform/audio_guids.h"
#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using tonelark::RenderMonitor;

constexpr double kTwoPi = 6.283185307179586;

class RenderMonitorTest : public AudioTest {
 protected:
  void TearDown() override {
    tonelark::CloseStreams(monitor());
    AudioTest::TearDown();
  }

  // Opens and starts monitor().render_ exclusively in `format`, one period of `duration`.
  void OpenExclusive(const Format& format, REFERENCE_TIME duration = 100000) {
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    speakers.exclusive_formats = {format};
    audio_.AddDevice(speakers);
    ASSERT_TRUE(monitor().render_.OpenExclusive(Device(L"speakers").Get(),
                                                virtual_audio::MakeWaveFormat(format), duration));
    Finish(format.rate);
  }

  // Opens and starts monitor().render_ in shared mode with `mix` and a 1056-frame buffer.
  void OpenShared(const Format& mix) {
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    speakers.exclusive_formats.clear();
    speakers.mix_format = mix;
    audio_.AddDevice(speakers);
    ASSERT_TRUE(monitor().render_.OpenShared(Device(L"speakers").Get()));
    Finish(mix.rate);
  }

  void Finish(uint32_t rate) {
    tonelark::Monitor& m = monitor();
    ASSERT_TRUE(SUCCEEDED(m.render_.client->GetService(
        platform::kIidIAudioRenderClient, m.render_client_.ReleaseAndGetVoidAddress())));
    ASSERT_TRUE(SUCCEEDED(m.render_.client->Start()));
    SetCaptureRate(rate);  // C = R unless a test says so
  }

  void SetCaptureRate(uint32_t rate) {
    tonelark::Monitor& m = monitor();
    m.capture_.info.sample_rate = static_cast<int32_t>(rate);
    m.capture_.info.exclusive = true;
    m.capture_.period_frames = rate / 100;
    tonelark::ConfigureMonitoring(m);
  }

  // The ring holds `samples` ready to play at once, with the converter's lookahead behind them.
  void FillRing(const std::vector<float>& samples) {
    tonelark::MonitoringPath& path = monitor().monitoring_;
    path.Restart();
    path.Write(samples.data(), static_cast<uint32_t>(samples.size()));
    const std::vector<float> lookahead(path.converter_delay_samples(), 0.0f);
    path.Write(lookahead.data(), static_cast<uint32_t>(lookahead.size()));
    path.steering().EndPriming();
  }
  int32_t Usable() { return monitor().monitoring_.usable(); }

  static std::vector<float> SineSamples(double frequency, double rate, size_t count) {
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i) {
      samples[i] = static_cast<float>(0.5 * std::sin(kTwoPi * frequency * i / rate));
    }
    return samples;
  }

  // `periods` render events: fill, then let the device play one period.
  void RenderPeriods(int periods) {
    for (int i = 0; i < periods; ++i) {
      RenderMonitor(monitor());
      audio_.Tick(1);
    }
  }

  virtual_audio::RenderedAudio Rendered() { return audio_.Rendered(L"speakers"); }
  std::vector<double> Channel(int channel) { return Rendered().Channel(channel); }

  // The raw integer stored for channel `channel` of frame `frame`.
  int64_t RawSample(size_t frame, int channel) {
    const virtual_audio::RenderedAudio audio = Rendered();
    const size_t bytes = audio.format.container_bits / 8;
    const uint8_t* at = audio.bytes.data() + frame * audio.format.BlockAlign() + channel * bytes;
    uint64_t raw = 0;
    for (size_t i = 0; i < bytes; ++i) raw |= uint64_t{at[i]} << (8 * i);
    const uint64_t sign = uint64_t{1} << (8 * bytes - 1);
    return static_cast<int64_t>((raw ^ sign) - sign);
  }
};

TEST_F(RenderMonitorTest, AClickIsADecayingSineOf30Milliseconds) {
  OpenExclusive(Pcm(48000, 2));
  monitor().speaker_ = false;
  monitor().click_request_ = 1;
  RenderPeriods(5);

  const std::vector<double> out = Channel(0);
  ASSERT_EQ(out.size(), 2400u);
  EXPECT_EQ(out[0], 0.0) << "phase 0";
  EXPECT_LE(Onset(out, 0.05), 3);
  EXPECT_NEAR(ZeroCrossingFrequency(out, 0, 960, 48000), 1046.5, 2.0);
  // Envelope: 0.35 at the start, falling with the square of the remaining fraction.
  EXPECT_NEAR(Peak(out, 0, 46), 0.35, 0.01);
  EXPECT_NEAR(Peak(out, 697, 743), 0.35 * 0.25, 0.006);
  EXPECT_NEAR(Peak(out, 1057, 1103), 0.35 * 0.0625, 0.004);
  for (size_t start = 0; start + 92 < 1440; start += 46) {
    EXPECT_GE(Peak(out, start, start + 46) + 1e-4, Peak(out, start + 46, start + 92)) << start;
  }
  EXPECT_GT(Peak(out, 1400, 1440), 0.0);
  EXPECT_EQ(Peak(out, 1440, out.size()), 0.0) << "1440 frames long";
  EXPECT_EQ(Channel(1), out) << "the same value in every channel";

  const virtual_audio::RenderedAudio audio = Rendered();
  ASSERT_EQ(audio.buffers.size(), 5u);
  EXPECT_EQ(audio.buffers[2].flags, 0u);
  EXPECT_EQ(audio.buffers[3].flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT))
      << "monitoring off and no click: a silent buffer";
}

TEST_F(RenderMonitorTest, AnAccentRestartsASoundingClickAtItsOwnPitch) {
  OpenExclusive(Pcm(48000, 2));
  monitor().speaker_ = false;
  monitor().click_request_ = 1;
  RenderPeriods(1);
  monitor().click_request_ = 2;
  RenderPeriods(4);

  const std::vector<double> out = Channel(0);
  EXPECT_NEAR(ZeroCrossingFrequency(out, 0, 480, 48000), 1046.5, 5.0);
  EXPECT_EQ(out[480], 0.0) << "the accent starts from phase 0";
  EXPECT_NEAR(ZeroCrossingFrequency(out, 480, 1920, 48000), 1568.0, 3.0);
  EXPECT_NEAR(Peak(out, 480, 511), 0.35, 0.01) << "with a full envelope";
  EXPECT_GT(Peak(out, 1880, 1920), 0.0);
  EXPECT_EQ(Peak(out, 1920, out.size()), 0.0);
}

TEST_F(RenderMonitorTest, TheClickIsHeardOverAnEmptyRingAndIgnoresTheVolume) {
  OpenExclusive(Pcm(48000, 2));
  monitor().volume_ = 0.0f;
  monitor().click_request_ = 1;
  RenderPeriods(1);
  EXPECT_NEAR(Peak(Channel(0), 0, 46), 0.35, 0.01);
  EXPECT_EQ(monitor().monitoring_.queued(), 0) << "no ring sample was read";
  EXPECT_EQ(monitor().monitoring_.fraction(), 0.0);
}

TEST_F(RenderMonitorTest, MonitoringOffEmptiesTheRingAndReleasesSilence) {
  OpenExclusive(Pcm(48000, 2));
  FillRing(SineSamples(440, 48000, 1000));
  monitor().speaker_ = false;
  RenderPeriods(1);
  EXPECT_EQ(monitor().monitoring_.queued(), 0);
  const virtual_audio::RenderedAudio audio = Rendered();
  ASSERT_EQ(audio.buffers.size(), 1u);
  EXPECT_EQ(audio.buffers[0].flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT));
  EXPECT_EQ(Peak(Channel(0), 0, 480), 0.0);
}

TEST_F(RenderMonitorTest, VolumeScalesTheGuitarAndTheSumIsClampedInEveryLayout) {
  struct Case {
    bool shared;
    Format format;
    int64_t plus_one, minus_one, tenth;
  };
  const Case cases[] = {
      {false, Pcm(48000, 2), 32767, -32767, 3276},
      {false, Pcm(48000, 2, 24), 8388607, -8388607, 838860},
      {true, Pcm(48000, 2, 32), 2147483647, -2147483647 - 1, 214748368},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format.container_bits);
    tonelark::CloseStreams(monitor());
    audio_.Reset();
    if (c.shared) {
      OpenShared(c.format);
    } else {
      OpenExclusive(c.format);
    }
    monitor().volume_ = 4.0f;
    monitor().glitches_.Reset();
    FillRing({0.5f, -0.25f, 0.025f});  // x4: 2.0 (clamped), -1.0, 0.1
    RenderMonitor(monitor());
    EXPECT_EQ(monitor().glitches_.Snapshot().output_clipped_samples, 1) << "-1.0 is no clip";
    for (int channel = 0; channel < 2; ++channel) {
      EXPECT_EQ(RawSample(0, channel), c.plus_one);
      EXPECT_EQ(RawSample(1, channel), c.minus_one);
      EXPECT_EQ(RawSample(2, channel), c.tenth);
    }
  }

  tonelark::CloseStreams(monitor());
  audio_.Reset();
  OpenExclusive(Float32(48000, 2));
  monitor().volume_ = 4.0f;
  FillRing({0.5f, -0.25f, 0.025f});
  RenderMonitor(monitor());
  const std::vector<double> out = Channel(1);
  EXPECT_EQ(out[0], 1.0);
  EXPECT_EQ(out[1], -1.0);
  EXPECT_EQ(out[2], static_cast<double>(0.1f));
  EXPECT_EQ(out[3], 0.0);
}

// The system mixer takes a whole device period (10 ms here) on each pass: the queue is kept at a
// period and a 2 ms margin.
TEST_F(RenderMonitorTest, ASharedStreamKeepsAPeriodAndAMarginQueued) {
  OpenShared(Float32(48000, 2));
  FillRing(SineSamples(440, 48000, 1500));
  // Another 100 frames already queued.
  BYTE* data = nullptr;
  ASSERT_TRUE(SUCCEEDED(monitor().render_client_->GetBuffer(100, &data)));
  ASSERT_TRUE(SUCCEEDED(monitor().render_client_->ReleaseBuffer(100, AUDCLNT_BUFFERFLAGS_SILENT)));
  RenderMonitor(monitor());
  virtual_audio::RenderedAudio audio = Rendered();
  ASSERT_EQ(audio.buffers.size(), 2u);
  EXPECT_EQ(audio.buffers[1].frames, 476u) << "480 + 96 - 100";

  RenderMonitor(monitor());  // 576 queued: at the target
  EXPECT_EQ(Rendered().buffers.size(), 2u);

  // Nothing to play and no click: the buffer is not touched at all. The wakes while the ring
  // primes again find the queue empty by the engine's own choice: no under-run.
  audio_.Tick(1);
  monitor().monitoring_.Restart();
  RenderMonitor(monitor());
  EXPECT_EQ(Rendered().buffers.size(), 2u);
  monitor().render_.started = true;
  audio_.Tick(2);
  RenderMonitor(monitor());
  EXPECT_EQ(monitor().glitches_.Snapshot().render_underrun_frames, 0);
  EXPECT_FALSE(monitor().device_underrun_);
}

// A late render wake leaves more in the ring, which the steering drains; only a render side that
// stalled for more than 100 ms beyond the band has its ring cut back to the priming fill.
TEST_F(RenderMonitorTest, TheRingIsCutOnlyAfterAStallOfMoreThan100Milliseconds) {
  OpenExclusive(Pcm(48000, 2));
  monitor().volume_ = 1.0f;
  std::vector<float> ring(5000, 0.0f);  // 84 ms beyond the priming fill: kept
  ring[0] = 0.5f;
  FillRing(ring);
  RenderMonitor(monitor());
  EXPECT_NEAR(Channel(0)[0], 0.5, 1e-4);
  EXPECT_EQ(Usable(), 4520);

  audio_.Tick(1);
  audio_.ClearRendered(L"speakers");
  ring.assign(8000, 0.0f);
  ring[7039] = 0.25f;  // dropped
  ring[7040] = 0.5f;   // the oldest sample kept
  FillRing(ring);
  RenderMonitor(monitor());
  const std::vector<double> out = Channel(0);
  EXPECT_EQ(Onset(out, 0.1), 0);
  EXPECT_NEAR(out[0], 0.5, 1e-4);
  EXPECT_EQ(Usable(), 480) << "960 kept, 480 played";
  EXPECT_EQ(monitor().glitches_.Snapshot().ring_dropped_samples, 7040) << "counted";
}

TEST_F(RenderMonitorTest, EqualRatesPlayEachRingSampleOnce) {
  OpenExclusive(Pcm(48000, 2));
  monitor().volume_ = 1.0f;
  FillRing(SineSamples(1000, 48000, 900));
  RenderMonitor(monitor());
  EXPECT_EQ(Usable(), 420);
  EXPECT_EQ(monitor().monitoring_.fraction(), 0.0);
  const std::vector<double> out = Channel(0);
  EXPECT_NEAR(ZeroCrossingFrequency(out, 0, 480, 48000), 1000.0, 1.0);
  EXPECT_NEAR(ToneAmplitude(out, 0, 480, 1000.0, 48000), 0.5, 0.005);
}

TEST_F(RenderMonitorTest, RateConversionKeepsThePitch) {
  struct Case {
    uint32_t capture, render;
    double frequency;
    int consumed;  // ring samples per 10 ms render period
  };
  const Case cases[] = {{44100, 48000, 441.0, 441}, {48000, 44100, 480.0, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capture);
    tonelark::CloseStreams(monitor());
    audio_.Reset();
    OpenExclusive(Pcm(c.render, 2));
    SetCaptureRate(c.capture);
    monitor().volume_ = 1.0f;
    FillRing(SineSamples(c.frequency, c.capture, 700));
    const int32_t before = Usable();
    RenderMonitor(monitor());
    EXPECT_NEAR(before - Usable(), c.consumed, 1);
    EXPECT_GE(monitor().monitoring_.fraction(), 0.0);
    EXPECT_LT(monitor().monitoring_.fraction(), 1.0);

    const std::vector<double> out = Channel(0);
    const size_t frames = c.render / 100;
    ASSERT_EQ(out.size(), frames);
    EXPECT_NEAR(ZeroCrossingFrequency(out, 0, frames, c.render), c.frequency, c.frequency * 0.01);
    // Interpolated, not held: no sample comes out twice.
    int repeats = 0;
    for (size_t i = 1; i < frames; ++i) repeats += out[i] == out[i - 1] ? 1 : 0;
    EXPECT_EQ(repeats, 0);
  }
}

TEST_F(RenderMonitorTest, FailedBufferCallsSkipThePass) {
  OpenShared(Float32(48000, 2));
  FillRing(SineSamples(440, 48000, 600));
  audio_.FailCall("IAudioClient::GetCurrentPadding", AUDCLNT_E_DEVICE_INVALIDATED);
  RenderMonitor(monitor());
  audio_.ClearFailures();
  audio_.FailCall("IAudioRenderClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED);
  RenderMonitor(monitor());
  EXPECT_TRUE(Rendered().buffers.empty());
  audio_.ClearFailures();
  RenderMonitor(monitor());
  EXPECT_EQ(Rendered().buffers.size(), 1u);
}

}  // namespace
}  // namespace tonelark_test
