// Monitoring latency in frames: an impulse at the guitar input and the moment it leaves the
// speakers. The virtual clock is stepped by hand and each step is served the way the audio thread
// serves its wakes (render event first, then the capture event), with the engine's own set-up,
// capture and render functions.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "guitar/audio_loop.h"
#include "guitar/open_streams.h"
#include "guitar/render_monitor.h"
#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using virtual_audio::CaptureSource;

constexpr uint32_t kImpulsePeriod = 4801;  // frames: about 100 ms, longer than any latency
constexpr int kTicks = 100;                // 10 ms each

struct Latency {
  int captured = 0;          // impulses played into the guitar input
  int due = 0;               // of those, the ones old enough to have come out by the end
  int heard = 0;             // impulses found in the speakers' signal
  double worst_frames = 0;   // render frames between an impulse and its sound
  double best_frames = 1e9;  //
  int underruns = 0;         // render periods the device found short of frames
};

class LatencyTest : public AudioTest {
 protected:
  void TearDown() override {
    tonelark::CloseStreams(monitor());
    AudioTest::TearDown();
  }

  Latency Measure(bool shared_render) {
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.source.kind = CaptureSource::Kind::kImpulse;
    guitar.source.period_frames = kImpulsePeriod;
    guitar.source.amplitude = 0.2;  // x4 volume: 0.8 at the speakers
    audio_.AddDevice(guitar);
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    if (shared_render) speakers.exclusive_formats.clear();  // mix: 48000 Hz stereo float
    audio_.AddDevice(speakers);
    audio_.SetDefaultDevice(eRender, L"speakers");

    tonelark::Monitor& m = monitor();
    Latency result;
    if (!tonelark::OpenStreams(m)) {
      ADD_FAILURE() << "streams did not open";
      return result;
    }
    const double capture_rate = m.capture_.info.sample_rate;
    const double render_rate = m.render_.info.sample_rate;
    m.capture_.client->Start();

    // When each rendered frame leaves the speaker, in seconds from the capture start: a frame
    // queued behind `padding` frames at time t plays at t + (padding + i) / rate.
    std::vector<double> play_time;
    double now = 0.0;
    auto render = [&] {
      UINT32 padding = 0;
      m.render_.client->GetCurrentPadding(&padding);
      tonelark::RenderMonitor(m);
      const size_t first = play_time.size();
      const size_t frames = audio_.Rendered(L"speakers").FrameCount();
      for (size_t i = first; i < frames; ++i) {
        play_time.push_back(now + (padding + (i - first)) / render_rate);
      }
    };
    auto tick = [&] {
      audio_.Tick(1);
      now += 0.01;
    };

    // Pre-fill and priming, then the render start.
    const int32_t target = std::max<int32_t>(static_cast<int32_t>(m.render_.buffer_frames), 1);
    while (m.ring_count_ < target && now < 0.25) {
      tick();
      tonelark::ProcessCapture(m);
    }
    render();
    m.render_.client->Start();
    for (int i = 0; i < kTicks; ++i) {
      tick();
      tonelark::ProcessCapture(m);  // woken by the render event
      render();
      tonelark::ProcessCapture(m);  // then by the capture event
      if (shared_render) render();
    }

    const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
    for (double at = 0.0; at < now; at += kImpulsePeriod / capture_rate) {
      ++result.captured;
      if (at <= now - 0.03) ++result.due;  // the last 30 ms may still be on their way
    }
    for (long at = Onset(out, 0.4); at >= 0; at = Onset(out, 0.4, static_cast<size_t>(at) + 1)) {
      const double played = play_time.at(static_cast<size_t>(at));
      // The impulse it belongs to is the last one captured before it was played.
      const double impulse = static_cast<long>(played * capture_rate / kImpulsePeriod) *
                             static_cast<double>(kImpulsePeriod) / capture_rate;
      const double frames = (played - impulse) * render_rate;
      result.worst_frames = std::max(result.worst_frames, frames);
      result.best_frames = std::min(result.best_frames, frames);
      ++result.heard;
    }
    result.underruns = audio_.RenderUnderruns(L"speakers");
    return result;
  }

  static void Print(const char* name, const Latency& latency, double bound) {
    std::printf(
        "[ latency  ] %s: worst %.0f frames (%.1f ms), best %.0f frames, bound %.0f frames; "
        "%d of %d impulses heard; %d render underruns\n",
        name, latency.worst_frames, latency.worst_frames / 48.0, latency.best_frames, bound,
        latency.heard, latency.captured, latency.underruns);
  }
};

TEST_F(LatencyTest, ExclusiveCaptureAndRenderAt10Milliseconds) {
  const Latency latency = Measure(false);
  const double bound = 480 + 2 * 480;  // one capture period and two render periods
  Print("exclusive/exclusive 10 ms", latency, bound);
  EXPECT_GE(latency.heard, latency.due) << "every impulse is heard";
  EXPECT_LE(latency.heard, latency.captured);
  EXPECT_LE(latency.worst_frames, bound);
  EXPECT_EQ(latency.underruns, 0);
}

TEST_F(LatencyTest, SharedRender) {
  const Latency latency = Measure(true);
  const double bound = 480 + 2 * 480;  // the shared engine's period is 10 ms as well
  Print("exclusive capture, shared render", latency, bound);
  EXPECT_GT(latency.heard, 0);
  EXPECT_LE(latency.worst_frames, bound);
}

}  // namespace
}  // namespace tonelark_test
