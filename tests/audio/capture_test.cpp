// Capture processing: packets of every sample layout into the monitoring ring and the PCM
// chunks for the user interface.
#include <cmath>
#include <limits>
#include <vector>

#include "guitar/audio_loop.h"
#include "platform/audio_guids.h"
#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using tonelark::ProcessCapture;
using virtual_audio::CaptureSource;

CaptureSource Sine(double frequency, double amplitude) {
  CaptureSource source;
  source.kind = CaptureSource::Kind::kSine;
  source.frequency_hz = frequency;
  source.amplitude = amplitude;
  return source;
}

// `amplitude` on every `period`-th frame from frame 0, zero elsewhere.
CaptureSource Impulses(uint32_t period, double amplitude) {
  CaptureSource source;
  source.kind = CaptureSource::Kind::kImpulse;
  source.period_frames = period;
  source.amplitude = amplitude;
  return source;
}

class CaptureTest : public AudioTest {
 protected:
  void TearDown() override {
    tonelark::CloseStreams(monitor());
    AudioTest::TearDown();
  }

  // Opens and starts monitor().capture_ on a guitar device that takes only `format`; a packet
  // lasts `duration` (100 ns units).
  void OpenCapture(const Format& format, const CaptureSource& source,
                   REFERENCE_TIME duration = 100000) {
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.exclusive_formats = {format};
    guitar.minimum_period = 10000;
    guitar.source = source;
    audio_.AddDevice(guitar);
    tonelark::Monitor& m = monitor();
    ASSERT_TRUE(m.capture_.OpenExclusive(Device(L"guitar").Get(),
                                         virtual_audio::MakeWaveFormat(format), duration));
    ASSERT_TRUE(SUCCEEDED(m.capture_.client->GetService(
        platform::kIidIAudioCaptureClient, m.capture_client_.ReleaseAndGetVoidAddress())));
    ASSERT_TRUE(SUCCEEDED(m.capture_.client->Start()));
    m.monitoring_.Configure(static_cast<int32_t>(format.rate), static_cast<int32_t>(format.rate),
                            m.capture_.period_frames, m.capture_.period_frames);
    m.monitoring_.Restart();
  }

  int64_t RingCount() { return monitor().monitoring_.queued(); }
  std::vector<double> Ring() {
    const std::vector<float> held = monitor().monitoring_.QueuedForTesting();
    return std::vector<double>(held.begin(), held.end());
  }

  // Every PCM sample produced so far: the queued chunks, then what waits in pending_.
  std::vector<int16_t> Pcm16() {
    std::vector<int16_t> samples;
    for (const auto& chunk : monitor().pcm_queue_) {
      for (size_t i = 0; i + 1 < chunk.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(chunk[i] | (chunk[i + 1] << 8)));
      }
    }
    samples.insert(samples.end(), monitor().pending_.begin(), monitor().pending_.end());
    return samples;
  }
};

TEST_F(CaptureTest, AMonoPacketReachesTheRingAndThePcmAsTheSameSignal) {
  OpenCapture(Pcm(48000, 1), Sine(1000.0, 0.5));
  audio_.Tick(2);  // what the device's buffer holds
  ProcessCapture(monitor());
  const std::vector<double> ring = Ring();
  ASSERT_EQ(ring.size(), 960u) << "every queued packet is drained";
  EXPECT_NEAR(ZeroCrossingFrequency(ring, 0, ring.size(), 48000), 1000.0, 1.0);
  EXPECT_NEAR(Peak(ring, 0, ring.size()), 0.5, 0.001);

  EXPECT_EQ(monitor().pcm_queue_.size(), 3u);
  for (const auto& chunk : monitor().pcm_queue_) EXPECT_EQ(chunk.size(), 512u);
  EXPECT_EQ(monitor().pending_.size(), 192u);
  std::vector<double> pcm;
  for (int16_t sample : Pcm16()) pcm.push_back(sample / 32767.0);
  ASSERT_EQ(pcm.size(), 960u);
  EXPECT_NEAR(ZeroCrossingFrequency(pcm, 0, pcm.size(), 48000), 1000.0, 1.0);
  EXPECT_NEAR(ToneAmplitude(pcm, 0, 960, 1000.0, 48000), 0.5, 0.002);
  EXPECT_EQ(monitor().glitches_.Snapshot().capture_discontinuities, 0);
}

// The device's buffer holds two periods: a reader that falls a period behind loses the oldest,
// and the gap is counted from the device position the next packet carries.
TEST_F(CaptureTest, PacketsLostToALateReaderAreCounted) {
  OpenCapture(Pcm(48000, 1), Sine(1000.0, 0.5));
  monitor().glitches_.RestartCapturePositions();  // as a start does
  audio_.Tick(5);
  const tonelark::CaptureOutcome outcome = ProcessCapture(monitor());
  EXPECT_EQ(outcome.result, S_OK);
  EXPECT_EQ(outcome.frames, 960u);
  const tonelark::GlitchCounts counts = monitor().glitches_.Snapshot();
  EXPECT_EQ(counts.capture_discontinuities, 1);
  EXPECT_EQ(counts.capture_samples_lost, 3 * 480);
  // The ring holds the two newest periods, continuous in themselves.
  const std::vector<double> ring = Ring();
  ASSERT_EQ(ring.size(), 960u);
  EXPECT_NEAR(ToneAmplitude(ring, 0, 960, 1000.0, 48000), 0.5, 0.002);
}

TEST_F(CaptureTest, SilentPacketsAreReadAsZeros) {
  CaptureSource source = Sine(440.0, 0.8);
  source.kind = CaptureSource::Kind::kSilentFlagged;  // real data, flagged silent
  OpenCapture(Pcm(48000, 1), source);
  audio_.Tick(2);
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 960);
  EXPECT_EQ(Peak(Ring(), 0, 960), 0.0);
  for (int16_t sample : Pcm16()) ASSERT_EQ(sample, 0);
}

TEST_F(CaptureTest, OnlyTheFirstChannelOfEachLayoutIsRead) {
  // The other channels carry a constant 0.25 that must never show up.
  const Format layouts[] = {Pcm(48000, 2), Pcm(48000, 2, 24), Pcm(48000, 2, 32), Float32(48000, 2)};
  for (const Format& layout : layouts) {
    SCOPED_TRACE(layout.container_bits + (layout.is_float ? 1000 : 0));
    audio_.Reset();
    tonelark::CloseStreams(monitor());
    monitor().pending_.clear();
    OpenCapture(layout, Sine(500.0, 0.5));  // five whole cycles per packet
    audio_.Tick(1);
    ProcessCapture(monitor());
    const std::vector<double> ring = Ring();
    ASSERT_EQ(ring.size(), 480u);
    EXPECT_NEAR(ToneAmplitude(ring, 0, 480, 500.0, 48000), 0.5, 0.01);
    double mean = 0.0;
    for (double sample : ring) mean += sample / 480.0;
    EXPECT_NEAR(mean, 0.0, 0.01);
  }
}

TEST_F(CaptureTest, FullScaleSamplesConvertExactlyInEveryLayout) {
  struct Case {
    Format format;
    double amplitude;
    float ring;
    int16_t pcm;
  };
  const Case cases[] = {
      {Pcm(48000, 1), -1.0, -1.0f, -32767},
      {Pcm(48000, 1), 32767.0 / 32768.0, 32767.0f / 32768.0f, 32766},
      {Pcm(48000, 2, 24), -1.0, -1.0f, -32767},
      {Pcm(48000, 2, 24), 0.5, 0.5f, 16383},
      {Pcm(48000, 1, 32), -1.0, -1.0f, -32767},
      {Pcm(48000, 1, 32), 0.25, 0.25f, 8191},
      {Float32(48000, 1), 1.5, 1.5f, 32767},  // stored unclamped, clamped for the PCM
      {Float32(48000, 1), -0.5, -0.5f, -16383},
      {Float32(48000, 1), std::numeric_limits<double>::quiet_NaN(), 0.0f, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format.container_bits << " bits, " << c.amplitude);
    audio_.Reset();
    tonelark::CloseStreams(monitor());
    monitor().pending_.clear();
    monitor().pcm_queue_.clear();
    OpenCapture(c.format, Impulses(2, c.amplitude));
    audio_.Tick(1);
    ProcessCapture(monitor());
    const std::vector<double> ring = Ring();
    ASSERT_EQ(ring.size(), 480u);
    EXPECT_EQ(ring[0], c.ring);
    EXPECT_EQ(ring[1], 0.0);
    EXPECT_EQ(Pcm16().at(0), c.pcm);
  }
}

TEST_F(CaptureTest, ChunksOf256SamplesAreCutAndTheRestWaits) {
  OpenCapture(Pcm(48000, 1), Sine(440.0, 0.5), 62500);  // packets of 300 frames
  audio_.Tick(1);
  ProcessCapture(monitor());
  ASSERT_EQ(monitor().pcm_queue_.size(), 1u);
  EXPECT_EQ(monitor().pcm_queue_[0].size(), 512u);
  EXPECT_EQ(monitor().pending_.size(), 44u);
  EXPECT_TRUE(monitor().pcm_posted_);

  audio_.Tick(1);
  ProcessCapture(monitor());
  EXPECT_EQ(monitor().pcm_queue_.size(), 2u);
  EXPECT_EQ(monitor().pending_.size(), 88u);
  // The chunks continue the signal without a gap: one sine through both.
  std::vector<double> pcm;
  for (int16_t sample : Pcm16()) pcm.push_back(sample / 32767.0);
  EXPECT_NEAR(ToneAmplitude(pcm, 0, pcm.size(), 440.0, 48000), 0.5, 0.01);
}

TEST_F(CaptureTest, TheRingKeepsTheNewestSamples) {
  OpenCapture(Pcm(48000, 1), Impulses(1000, 0.5));
  for (int i = 0; i < 40; ++i) {  // 19 200 frames, more than the ring holds
    audio_.Tick(1);
    ProcessCapture(monitor());
  }
  const std::vector<double> ring = Ring();
  ASSERT_GE(ring.size(), 16000u) << "about 340 ms of guitar";
  ASSERT_LT(ring.size(), 19200u);
  // The newest are kept: the last impulse, frame 19 000, is 200 before the end.
  const long oldest = 19200 - static_cast<long>(ring.size());
  const long first = (oldest + 999) / 1000 * 1000;
  EXPECT_EQ(Onset(ring, 0.25), first - oldest);
  EXPECT_EQ(ring[ring.size() - 200], 0.5);
  EXPECT_EQ(monitor().glitches_.Snapshot().ring_dropped_samples, oldest);
}

TEST_F(CaptureTest, FailingOrEmptyCallsEndThePassWithoutLosingLaterPackets) {
  OpenCapture(Pcm(48000, 1), Sine(440.0, 0.5));
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 0) << "nothing queued";

  audio_.Tick(1);
  audio_.FailCall("IAudioCaptureClient::GetNextPacketSize", AUDCLNT_E_DEVICE_INVALIDATED);
  ProcessCapture(monitor());
  audio_.ClearFailures();
  audio_.FailCall("IAudioCaptureClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED);
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 0);

  // A device that announces a packet and then hands over none must not hold the thread.
  audio_.ClearFailures();
  audio_.FailCall("IAudioCaptureClient::GetBuffer", AUDCLNT_S_BUFFER_EMPTY);
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 0);

  audio_.ClearFailures();
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 480) << "the packet is still there for the next wake";
}

TEST_F(CaptureTest, AStalledDeviceGivesNothing) {
  OpenCapture(Pcm(48000, 1), Sine(440.0, 0.5));
  audio_.SetCaptureStalled(L"guitar", true);
  audio_.Tick(5);
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 0);
  audio_.SetCaptureStalled(L"guitar", false);
  audio_.Tick(1);
  ProcessCapture(monitor());
  EXPECT_EQ(RingCount(), 480);
}

}  // namespace
}  // namespace tonelark_test
