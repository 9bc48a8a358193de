// The ring's rate control against two free-running clocks: capture packets arrive on one, render
// calls take their frames on the other, and the ring between them must neither run empty nor
// grow out of its band, while clocks that agree get exactly the plain rate ratio.
#include "guitar/steered_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "guitar/clock_trust.h"
#include "guitar/monitoring_path.h"

namespace tonelark_test {
namespace {

struct Clocks {
  int capture_rate;
  int render_rate;
  int capture_packet;    // frames
  int render_period;     // frames
  double ppm;            // capture clock against the render clock
  double capture_phase;  // of a capture period, where the first packet lands
};

struct Outcome {
  long empty_frames = 0;  // after the first second
  long cut_samples = 0;   // after the first second
  long calls = 0;
  long exact_calls = 0;  // calls whose step was the plain rate ratio
  int max_fill = 0;
};

// Plays `seconds` of both clocks into one ring, reading it the way the render routine does
// (sample-and-hold at the resampler's step) and priming it the way a start does.
Outcome Play(const Clocks& c, double seconds) {
  tonelark::SteeredResampler resampler;
  resampler.Configure(c.capture_rate, c.render_rate, c.capture_packet, c.render_period);
  resampler.Restart();
  const double capture_period = c.capture_packet / (c.capture_rate * (1.0 + c.ppm * 1e-6));
  const double render_period = static_cast<double>(c.render_period) / c.render_rate;
  double next_capture = capture_period * (1.0 + c.capture_phase);
  double next_render = 0.0;
  bool rendering = false;
  long ring = 0;
  double position = 0.0;
  Outcome outcome;
  while (true) {
    if (!rendering || next_capture <= next_render) {
      ring += c.capture_packet;
      if (!rendering && ring >= resampler.PrimeFill()) {
        rendering = true;
        next_render = next_capture;
      }
      next_capture += capture_period;
      continue;
    }
    const double now = next_render;
    next_render += render_period;
    if (now > seconds) break;
    if (resampler.priming()) {
      if (ring < resampler.PrimeFill()) continue;
      ring = resampler.PrimeFill();
      resampler.EndPriming();
    } else if (ring > resampler.CutFill()) {
      if (now > 1.0) outcome.cut_samples += ring - resampler.PrimeFill();
      ring = resampler.PrimeFill();
    }
    const double step = resampler.NextStep(static_cast<int32_t>(ring), c.render_period);
    ++outcome.calls;
    if (step == resampler.nominal_step()) ++outcome.exact_calls;
    for (int frame = 0; frame < c.render_period; ++frame) {
      if (ring == 0) {
        if (now > 1.0) ++outcome.empty_frames;
        continue;
      }
      position += step;
      while (position >= 1.0 && ring > 0) {
        --ring;
        position -= 1.0;
      }
    }
    if (ring > outcome.max_fill) outcome.max_fill = static_cast<int>(ring);
  }
  return outcome;
}

TEST(SteeredResamplerTest, ClocksThatAgreeGetThePlainRatioAtEveryCall) {
  for (const Clocks& c :
       {Clocks{48000, 48000, 480, 480, 0, 0.3}, Clocks{48000, 48000, 144, 144, 0, 0.9},
        Clocks{44100, 48000, 441, 480, 0, 0.5}, Clocks{48000, 44100, 480, 441, 0, 0.1}}) {
    SCOPED_TRACE(testing::Message() << c.capture_rate << "->" << c.render_rate << " packets "
                                    << c.capture_packet << "/" << c.render_period);
    const Outcome outcome = Play(c, 60.0);
    EXPECT_EQ(outcome.exact_calls, outcome.calls);
    EXPECT_EQ(outcome.empty_frames, 0);
    EXPECT_EQ(outcome.cut_samples, 0);
  }
}

TEST(SteeredResamplerTest, DriftingClocksNeitherEmptyNorOverfillTheRing) {
  const Clocks shapes[] = {{48000, 48000, 480, 480, 0, 0},
                           {44100, 48000, 441, 480, 0, 0},
                           {48000, 48000, 144, 144, 0, 0},
                           {48000, 48000, 480, 144, 0, 0},
                           {44100, 48000, 132, 144, 0, 0}};
  for (Clocks c : shapes) {
    for (double ppm : {300.0, -300.0, 1000.0, -1000.0}) {
      for (double phase : {0.0, 0.5, 0.99}) {
        c.ppm = ppm;
        c.capture_phase = phase;
        SCOPED_TRACE(testing::Message()
                     << c.capture_rate << "->" << c.render_rate << " packets " << c.capture_packet
                     << "/" << c.render_period << " at " << ppm << " ppm, phase " << phase);
        const Outcome outcome = Play(c, 60.0);
        EXPECT_EQ(outcome.empty_frames, 0);
        EXPECT_EQ(outcome.cut_samples, 0);
        // The steering keeps the delay bounded: the ring stays within a few packets.
        EXPECT_LT(outcome.max_fill, 6 * std::max(c.capture_packet, c.render_period));
      }
    }
  }
}

// Times that do not hold together (a driver whose clock says the delay keeps growing) must not
// drain the ring into a gap, nor pile it up without end.
TEST(SteeredResamplerTest, TheFillOverrulesADelayThatNeverSettles) {
  tonelark::SteeredResampler resampler;
  resampler.Configure(48000, 48000, 480, 480);
  resampler.Restart();
  resampler.EndPriming();
  double delay = 20.0;
  for (int call = 0; call < 1000; ++call, delay += 0.5) {
    resampler.NextStepForDelay(delay, 960, 480);
  }
  EXPECT_GT(resampler.correction_ppm(), 0.0) << "a full ring may drain";
  EXPECT_EQ(resampler.NextStepForDelay(delay, 400, 480), 1.0) << "one short of a call may not";
  // Now the times say the delay keeps shrinking.
  for (int call = 0; call < 1500; ++call, delay -= 0.5) resampler.NextStepForDelay(delay, 960, 480);
  EXPECT_LT(resampler.correction_ppm(), 0.0) << "a ring within its band may fill";
  EXPECT_EQ(resampler.NextStepForDelay(delay, 20000, 480), 1.0) << "an overfull one may not";
}

// The delay as a driver's times tell it, each reading scattered by the capture packet's and the
// render clock's jitter (uniform +-1 ms each), steered for `seconds`: the pitch error of each
// second of output, ppm, from the first audible frame on. At `gap_at` (s) a call's worth of output
// goes missing: the margin widens by a call, the ring holds a call less and the delay is a call
// longer. With `lost_packet`, a capture packet goes missing there instead: the ring holds a call
// less and the delay is a call shorter.
std::vector<double> PitchErrorPerSecond(double ppm, double jitter_ms, unsigned seed,
                                        uint32_t frames, double seconds,
                                        double* reached_at = nullptr, double gap_at = -1.0,
                                        bool lost_packet = false) {
  tonelark::SteeredResampler resampler;
  resampler.Configure(48000, 48000, frames, frames);
  resampler.Restart();
  resampler.EndPriming();
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> jitter(-jitter_ms, jitter_ms);
  const double call_seconds = frames / 48000.0;
  double delay_ms = 20.0;
  double last_ppm = 0.0;
  double sum = 0.0;
  int calls = 0;
  std::vector<double> errors;
  int32_t ring = static_cast<int32_t>(2.5 * frames);
  for (double t = 0.0; t < seconds; t += call_seconds) {
    if (gap_at >= 0.0 && t >= gap_at) {
      gap_at = -1.0;
      ring -= static_cast<int32_t>(frames);
      if (lost_packet) {
        resampler.OnCaptureLoss(static_cast<int32_t>(frames));
        delay_ms -= 1000.0 * call_seconds;
      } else {
        resampler.WidenMargin(static_cast<int32_t>(frames));
        delay_ms += 1000.0 * call_seconds;  // everything after the gap is heard that much later
      }
    }
    const double step =
        resampler.NextStepForDelay(delay_ms + jitter(random) + jitter(random), ring, frames);
    const double now_ppm = (step - 1.0) * 1e6;
    const double applied = 0.5 * (last_ppm + now_ppm);  // the step glides over the call
    last_ppm = now_ppm;
    delay_ms -= (applied - ppm) * 1e-3 * call_seconds;
    if (reached_at != nullptr && *reached_at < 0 &&
        std::fabs(now_ppm - ppm) < 0.03 * std::fabs(ppm)) {
      *reached_at = t;
    }
    sum += applied - ppm;
    if (++calls == static_cast<int>(48000 / frames)) {
      errors.push_back(sum / calls);
      sum = 0.0;
      calls = 0;
    }
  }
  return errors;
}

// Steered by its trend, not by each reading: seconds 2 to 5 within 400 ppm of the clocks' ratio,
// every second from the sixth within 50, at 10 ms and at 128-frame periods; exact times reach
// 300 ppm within 3 s and keep the plain ratio where the clocks agree.
TEST(SteeredResamplerTest, JitteredTimesSteerAStablePitch) {
  for (uint32_t frames : {480u, 128u}) {
    for (double ppm : {0.0, 300.0, -300.0}) {
      for (unsigned seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(testing::Message() << frames << " frames, " << ppm << " ppm, seed " << seed);
        const std::vector<double> errors = PitchErrorPerSecond(ppm, 1.0, seed, frames, 12.0);
        for (size_t second = 1; second < errors.size(); ++second) {
          EXPECT_LE(std::fabs(errors[second]), second < 5 ? 400.0 : 50.0)
              << "second " << second + 1;
        }
        // A lost packet moves the delay, not the clocks: the trend goes on as sure as it was.
        const std::vector<double> lost =
            PitchErrorPerSecond(ppm, 1.0, seed, frames, 14.0, nullptr, 6.0, true);
        for (size_t second = 7; second < lost.size(); ++second) {
          EXPECT_LE(std::fabs(lost[second]), 50.0) << "second " << second + 1 << " after a loss";
        }
      }
      double reached_at = -1.0;
      const std::vector<double> exact = PitchErrorPerSecond(ppm, 0.0, 0, frames, 12.0, &reached_at);
      if (ppm != 0.0) {
        EXPECT_GE(reached_at, 0.0);
        EXPECT_LT(reached_at, 3.0) << ppm << " ppm at " << frames << " frames";
      }
      for (size_t second = 3; second < exact.size(); ++second) {
        // Clocks that agree get exactly the plain ratio; drifting ones, theirs and at most the
        // 10 ppm that brings back what the delay moved while the ratio was found.
        EXPECT_NEAR(exact[second], 0.0, ppm == 0.0 ? 0.0 : 10.5) << "second " << second + 1;
      }
      // A gap leaves the fill below the widened margin: the pitch stays the clocks' while the
      // cushion comes back.
      const std::vector<double> gap = PitchErrorPerSecond(ppm, 0.0, 0, frames, 16.0, nullptr, 6.0);
      for (size_t second = 7; second < gap.size(); ++second) {
        EXPECT_NEAR(gap[second], 0.0, 10.5) << "second " << second + 1 << " after a gap";
      }
    }
  }
}

// Readings of a position against the performance counter: a crystal's few hundred ppm are
// believed, a clock 0.2% off is not, and stays disbelieved.
TEST(ClockTrustTest, APositionThatRunsOffItsRateIsNotBelieved) {
  for (double ppm : {300.0, -900.0, 2000.0}) {
    SCOPED_TRACE(ppm);
    tonelark::ClockTrust trust;
    bool believed = true;
    for (int64_t ms = 0; ms <= 5000; ms += 10) {
      believed = trust.Observe(1000000 + ms * 10000, ms * 48.0 * (1.0 + ppm * 1e-6), 48000);
    }
    EXPECT_EQ(believed, ppm < 1000.0);
  }
}

// What real drivers do to their readings is no reason for disbelief: a position that starts moving
// a pass late, times scattered by a millisecond, positions that move once per 10 ms pass. And a
// clock that ran off and came back is believed again.
TEST(ClockTrustTest, ADriversRoughTimesAreBelievedAndTrustIsEarnedBack) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-10000.0, 10000.0);  // 100 ns: +-1 ms
  tonelark::ClockTrust late_start;
  tonelark::ClockTrust rough;
  for (int64_t ms = 0; ms <= 12000; ++ms) {
    const int64_t time = 1000000 + ms * 10000;
    EXPECT_TRUE(late_start.Observe(time, std::max<int64_t>(ms - 3, 0) * 48.0 * 1.0003, 48000))
        << ms;
    const double stepped = static_cast<double>(ms / 10 * 10) * 48.0 * 0.9997;
    EXPECT_TRUE(rough.Observe(time + static_cast<int64_t>(jitter(random)), stepped, 48000)) << ms;
  }
  tonelark::ClockTrust returning;
  double position = 0.0;
  bool believed = true;
  for (int64_t ms = 0; ms <= 20000; ms += 10) {
    position += 480.0 * (ms < 8000 ? 1.002 : 1.0);
    believed = returning.Observe(1000000 + ms * 10000, position, 48000);
    if (ms == 7990) {
      EXPECT_FALSE(believed);
    }
  }
  EXPECT_TRUE(believed);
}

TEST(SteeredResamplerTest, AnEmptyRingWidensTheMarginAndPrimesAgain) {
  tonelark::SteeredResampler resampler;
  resampler.Configure(48000, 48000, 480, 480);
  resampler.Restart();
  const int32_t prime = resampler.PrimeFill();
  EXPECT_EQ(prime, 960) << "one render period ahead of one packet of cushion";
  resampler.EndPriming();
  EXPECT_FALSE(resampler.recovering());
  resampler.OnRingEmpty(480);
  EXPECT_TRUE(resampler.priming());
  EXPECT_TRUE(resampler.recovering());
  EXPECT_EQ(resampler.PrimeFill(), prime + 480) << "what the empty call cost";
  resampler.WidenMargin(10);
  EXPECT_EQ(resampler.PrimeFill(), prime + 480 + 48) << "a millisecond at least";
  for (int i = 0; i < 100; ++i) resampler.WidenMargin(1);
  EXPECT_EQ(resampler.margin_samples(), 960) << "at most 20 ms";
  // The same streams again keep what was learnt; other streams start afresh.
  resampler.Configure(48000, 48000, 480, 480);
  EXPECT_EQ(resampler.margin_samples(), 960);
  resampler.Configure(44100, 48000, 441, 480);
  EXPECT_EQ(resampler.margin_samples(), 0);
}

// A capture packet without a believed time ends the measurement: the path forgets the last time
// rather than extrapolate a delay no clock measured, and says so once a quarter second has gone
// by without one, so "latencyMs" and the steering fall back together.
TEST(MonitoringPathTest, AnUntimedPacketEndsTheMeasurement) {
  tonelark::MonitoringPath path;
  path.Configure(48000, 48000, 480, 480);
  path.Reset();
  const std::vector<float> packet(480, 0.25f);
  std::vector<float> out(480);
  int64_t time = 10000000;  // 100 ns
  for (int i = 0; i < 3; ++i, time += 100000) path.Write(packet.data(), 480, time);
  double delay = 0.0;
  uint32_t frames = 0;
  for (int i = 0; i < 3; ++i, time += 100000) {
    path.Read(480, out.data(), time + 200000);
    path.Write(packet.data(), 480, time);
  }
  ASSERT_TRUE(path.TakeMeasurement(&delay, &frames));
  EXPECT_GT(delay, 0.0);
  for (int i = 0; i < 30; ++i, time += 100000) {
    path.Write(packet.data(), 480, 0);
    path.Read(480, out.data(), time + 200000);
    EXPECT_FALSE(path.TakeMeasurement(&delay, &frames)) << "read " << i;
    EXPECT_EQ(path.MeasurementsStopped(), i >= 25) << "read " << i;
  }
}

// Wine's PulseAudio driver hands a shared capture stream what its server gave it: now and then
// two packets at once after twice the wait, landing just after the render call that needed the
// first, and not necessarily in the first second. A shared capture's cushion keeps a second
// packet from the start, so its ring never runs dry.
TEST(MonitoringPathTest, PacketsThatComeInPairsNeverEmptyASharedCapturesRing) {
  for (bool shared : {false, true}) {
    tonelark::MonitoringPath path;
    path.Configure(48000, 48000, 480, 480, shared);
    path.Reset();
    const std::vector<float> packet(480, 0.25f);
    std::vector<float> out(480);
    uint32_t empty = 0;
    for (int call = 0; call < 1000; ++call) {
      const bool paired = call >= 100 && call % 50 >= 40;  // from the second second on
      if (!paired) path.Write(packet.data(), 480);
      const tonelark::MonitoringPath::ReadOutcome read = path.Read(480, out.data());
      if (call >= 100) empty += read.empty_frames;
      if (paired && call % 2 == 1) {
        path.Write(packet.data(), 480);
        path.Write(packet.data(), 480);
      }
    }
    EXPECT_EQ(empty == 0, shared) << (shared ? "shared: " : "exclusive: ") << empty;
  }
}

}  // namespace
}  // namespace tonelark_test
