// Two devices whose clocks run apart, as a USB adapter and onboard speakers do: a minute of
// monitoring on the stepped clock must neither run the ring empty (a gap the player hears) nor
// cut it (a jump), and clocks that agree must get every captured sample exactly once.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "tests/audio/audio_fixture.h"
#include "tests/audio/clocked_engine.h"

namespace tonelark_test {
namespace {

using virtual_audio::CaptureSource;

constexpr uint32_t kImpulsePeriod = 4801;  // frames at the capture rate

class DriftTest : public AudioTest {
 protected:
  // A guitar playing impulses at `capture_rate` on a clock `ppm` fast, and exclusive speakers at
  // 48000 Hz on an exact clock.
  void AddDevices(uint32_t capture_rate, double ppm) {
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.exclusive_formats = {Pcm(capture_rate, 1)};
    guitar.source.kind = CaptureSource::Kind::kImpulse;
    guitar.source.period_frames = kImpulsePeriod;
    guitar.source.amplitude = 0.2;
    guitar.clock_ppm = ppm;
    audio_.AddDevice(guitar);
    audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
    audio_.SetDefaultDevice(eRender, L"speakers");
  }

  struct Minute {
    tonelark::GlitchCounts after_first_second;  // counted from 1 s to the end
    uint64_t speaker_underrun_frames = 0;
    std::vector<long> onsets;  // impulses in the speakers' recording, frame indexes
    // The delay of the impulses heard after the first two seconds, ms: what the steering holds.
    double shortest_delay_ms = 1e9;
    double longest_delay_ms = 0.0;
  };

  Minute Play(uint32_t capture_rate, double ppm, double seconds = 60.0) {
    AddDevices(capture_rate, ppm);
    ClockedEngine engine(audio_, monitor());
    Minute minute;
    if (!engine.Start(35000)) {
      ADD_FAILURE() << "the streams did not start";
      return minute;
    }
    engine.RunUntil(1.0);
    const tonelark::GlitchCounts first = monitor().glitches_.Snapshot();
    engine.RunUntil(seconds);
    const tonelark::GlitchCounts all = monitor().glitches_.Snapshot();
    engine.Close();
    minute.after_first_second.render_underrun_frames =
        all.render_underrun_frames - first.render_underrun_frames;
    minute.after_first_second.ring_dropped_samples =
        all.ring_dropped_samples - first.ring_dropped_samples;
    minute.after_first_second.capture_discontinuities =
        all.capture_discontinuities - first.capture_discontinuities;
    minute.speaker_underrun_frames = audio_.RenderUnderrunFrames(L"speakers");
    const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
    minute.onsets = Onsets(out, 0.4);
    const double capture_hz = capture_rate * (1.0 + ppm * 1e-6);  // as the device's clock runs
    for (long at : minute.onsets) {
      const double played = engine.RenderStart() + at / 48000.0;
      if (played < 2.0) continue;
      // The last impulse played into the input before it came out.
      const double impulse = std::floor(played * capture_hz / kImpulsePeriod) * kImpulsePeriod;
      const double delay_ms = 1000.0 * (played - impulse / capture_hz);
      minute.shortest_delay_ms = std::min(minute.shortest_delay_ms, delay_ms);
      minute.longest_delay_ms = std::max(minute.longest_delay_ms, delay_ms);
    }
    std::printf(
        "[  drift   ] %u -> 48000 Hz at %+.0f ppm over %.0f s, after the first second: ring-empty "
        "frames %lld, ring samples dropped %lld, capture gaps %lld; speaker under-run frames "
        "%llu; %zu impulses heard, %.2f to %.2f ms late\n",
        capture_rate, ppm, seconds,
        static_cast<long long>(minute.after_first_second.render_underrun_frames),
        static_cast<long long>(minute.after_first_second.ring_dropped_samples),
        static_cast<long long>(minute.after_first_second.capture_discontinuities),
        static_cast<unsigned long long>(minute.speaker_underrun_frames), minute.onsets.size(),
        minute.shortest_delay_ms, minute.longest_delay_ms);
    return minute;
  }
};

TEST_F(DriftTest, AMinuteAtThreeHundredPpmEitherWayKeepsTheMonitoringWhole) {
  for (uint32_t capture_rate : {48000u, 44100u}) {
    for (double ppm : {300.0, -300.0}) {
      SCOPED_TRACE(testing::Message() << capture_rate << " Hz at " << ppm << " ppm");
      audio_.Reset();
      monitor_ = std::make_unique<tonelark::Monitor>();
      const Minute minute = Play(capture_rate, ppm);
      EXPECT_EQ(minute.after_first_second.render_underrun_frames, 0);
      EXPECT_EQ(minute.after_first_second.ring_dropped_samples, 0);
      EXPECT_EQ(minute.after_first_second.capture_discontinuities, 0);
      EXPECT_EQ(minute.speaker_underrun_frames, 0u);
      // The delay stays put: left alone, 300 ppm would move it by 18 ms in the minute.
      EXPECT_LT(minute.longest_delay_ms - minute.shortest_delay_ms, 1.0);
      // Every impulse of the minute came out, none twice.
      const double expected = 60.0 * capture_rate * (1.0 + ppm * 1e-6) / kImpulsePeriod;
      EXPECT_NEAR(static_cast<double>(minute.onsets.size()), expected, 2.0);
    }
  }
}

// With equal rates and clocks that agree, each output frame takes exactly one ring sample: the
// impulses come out exactly as far apart as they went in, the whole minute long.
TEST_F(DriftTest, ClocksThatAgreeGetEverySampleExactlyOnce) {
  const Minute minute = Play(48000, 0.0);
  ASSERT_GT(minute.onsets.size(), 500u);
  for (size_t i = 1; i < minute.onsets.size(); ++i) {
    ASSERT_EQ(minute.onsets[i] - minute.onsets[i - 1], static_cast<long>(kImpulsePeriod))
        << "between impulses " << i - 1 << " and " << i;
  }
  EXPECT_EQ(minute.after_first_second.render_underrun_frames, 0);
}

}  // namespace
}  // namespace tonelark_test
