// The two opt-in ways of opening the adapter: at the devices' minimum period ("lowLatency"), and
// in shared mode when exclusive mode is refused ("sharedCapture"), in whatever format the system
// mixes: any rate, channel count, float or integer samples.
#include <cstdio>
#include <string>
#include <vector>

#include "guitar/audio_loop.h"
#include "guitar/audio_stream.h"
#include "guitar/open_streams.h"
#include "tests/audio/audio_fixture.h"
#include "tests/audio/clocked_engine.h"

namespace tonelark_test {
namespace {

using tonelark::ExclusiveDurations;
using tonelark::ExclusiveDurationsFor;
using virtual_audio::CaptureSource;

std::vector<REFERENCE_TIME> List(const ExclusiveDurations& durations) {
  return std::vector<REFERENCE_TIME>(durations.values, durations.values + durations.count);
}

using Durations = std::vector<REFERENCE_TIME>;

TEST(ExclusiveDurationsTest, TheMinimumComesFirstOnlyOnRequestAndTheUsualListFollows) {
  // The usual list: the minimum with a 10 ms floor, the default, the minimum.
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 30000, false)), (Durations{100000, 100000, 30000}));
  EXPECT_EQ(List(ExclusiveDurationsFor(0, 0, false)), (Durations{100000, 100000, 100000}));
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 30000, false, 20000)),
            (Durations{100000, 100000, 30000}))
      << "the capture period is followed only on request";
  // Low latency: the minimum without the floor, then the usual list.
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 30000, true)),
            (Durations{30000, 100000, 100000, 30000}));
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 0, true)), (Durations{100000, 100000, 100000}));
  // The render side follows the capture period, never below its own minimum.
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 20000, true, 30000)),
            (Durations{30000, 20000, 100000, 100000, 20000}));
  EXPECT_EQ(List(ExclusiveDurationsFor(100000, 50000, true, 30000)),
            (Durations{50000, 50000, 100000, 100000, 50000}));
}

class OptInStartTest : public AudioTest {
 protected:
  void TearDown() override {
    monitor().StopAudio();
    tonelark::CloseStreams(monitor());
    AudioTest::TearDown();
  }

  // A guitar playing 440 Hz at 0.5 on channel 0 (0.25 on the others) and speakers.
  DeviceConfig Guitar() {
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.source.kind = CaptureSource::Kind::kSine;
    guitar.source.frequency_hz = 440.0;
    guitar.source.amplitude = 0.5;
    return guitar;
  }
  void AddSpeakers(std::vector<Format> formats = {Pcm(48000, 2)}) {
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    speakers.exclusive_formats = formats;
    audio_.AddDevice(speakers);
    audio_.SetDefaultDevice(eRender, L"speakers");
  }

  std::vector<virtual_audio::CallRecord> Initializes(const std::wstring& device) {
    std::vector<virtual_audio::CallRecord> calls;
    for (const auto& call : CallsOf("IAudioClient::Initialize", device)) {
      if (call.share_mode == AUDCLNT_SHAREMODE_EXCLUSIVE) calls.push_back(call);
    }
    return calls;
  }

  // The PCM chunks queued so far, as samples in -1..1; every chunk must hold `chunk` samples.
  std::vector<double> PcmSamples(size_t chunk) {
    std::vector<double> samples;
    for (const auto& bytes : monitor().pcm_queue_) {
      EXPECT_EQ(bytes.size(), 2 * chunk);
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)) / 32767.0);
      }
    }
    return samples;
  }
};

TEST_F(OptInStartTest, LowLatencyOpensBothSidesAtTheMinimumAndFallsBackWhereItFails) {
  DeviceConfig guitar = Guitar();
  guitar.minimum_period = 30000;
  audio_.AddDevice(guitar);
  AddSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.minimum_period = 20000;
  audio_.AddDevice(speakers);
  monitor().start_options_.low_latency = true;
  ASSERT_TRUE(tonelark::OpenStreams(monitor()));
  EXPECT_EQ(monitor().capture_.buffer_frames, 144u);
  EXPECT_EQ(monitor().render_.buffer_frames, 144u) << "the render side follows the capture";
  tonelark::CloseStreams(monitor());

  // A minimum period the driver cannot serve after all: the usual 10 ms.
  audio_.ClearCalls();
  audio_.FailCall("IAudioClient::Initialize", AUDCLNT_E_INVALID_DEVICE_PERIOD, {L"guitar", 1});
  ASSERT_TRUE(tonelark::OpenStreams(monitor()));
  EXPECT_EQ(monitor().capture_.buffer_frames, 480u);
  const auto capture = Initializes(L"guitar");
  ASSERT_EQ(capture.size(), 2u);
  EXPECT_EQ(capture[0].duration, 30000);
  EXPECT_EQ(capture[1].duration, 100000);
  // The render side tries the capture's 10 ms first, and takes it.
  EXPECT_EQ(monitor().render_.buffer_frames, 480u);
  const auto render = Initializes(L"speakers");
  ASSERT_EQ(render.size(), 1u);
  EXPECT_EQ(render[0].duration, 100000);
}

// Speakers shared with other programs ("shareSpeakers"), and low latency in shared mode: the
// device's smallest engine period through IAudioClient3 where it has one, the ordinary shared
// mode where it does not.
TEST_F(OptInStartTest, SharedSpeakersTakeTheSmallestEnginePeriodWhereTheDeviceOffersIt) {
  using Support = virtual_audio::AudioClient3Support;
  struct Case {
    const char* what;
    bool share_speakers, low_latency, exclusive_allowed;
    Support support;
    uint32_t held;       // frames another program holds the engine at
    bool exclusive;      // the render stream's mode
    uint32_t period;     // its period, frames
    const char* engine;  // the engine period line, or none
  };
  const Case cases[] = {
      {"shared only", true, false, true, Support::kImplemented, 0, false, 480, nullptr},
      {"shared, low latency", true, true, true, Support::kImplemented, 0, false, 128, "128"},
      {"exclusive refused", false, true, false, Support::kImplemented, 0, false, 128, "128"},
      {"exclusive first", false, true, true, Support::kImplemented, 0, true, 144, nullptr},
      {"no interface", true, true, true, Support::kMissing, 0, false, 480, nullptr},
      {"not implemented", true, true, true, Support::kNotImplemented, 0, false, 480, nullptr},
      {"held by another", true, true, true, Support::kImplemented, 256, false, 256, "256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    audio_.Reset();
    audio_.AddDevice(Guitar());
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    if (!c.exclusive_allowed) speakers.exclusive_formats.clear();
    speakers.audio_client3 = c.support;
    speakers.engine_period_held_frames = c.held;
    audio_.AddDevice(speakers);
    monitor().start_options_ = tonelark::StartOptions{};
    monitor().start_options_.share_speakers = c.share_speakers;
    monitor().start_options_.low_latency = c.low_latency;
    DebugOutput();
    ASSERT_TRUE(tonelark::OpenStreams(monitor()));
    EXPECT_EQ(monitor().render_.info.exclusive, c.exclusive);
    EXPECT_EQ(monitor().render_.period_frames, c.period);
    if (DebugOutputSupported()) {
      std::string lines = std::string("Tonelark exclusive 48000 Hz capture, render ") +
                          (c.exclusive ? "exclusive" : "shared") + " 48000 Hz\n";
      if (c.engine != nullptr)
        lines += std::string("Tonelark shared engine period ") + c.engine + " frames\n";
      EXPECT_EQ(DebugOutput(), lines);
    }
    tonelark::CloseStreams(monitor());
  }
  // A shared stream opened while another holds the engine at a small period runs at that one.
  audio_.Reset();
  audio_.AddDevice(Guitar());
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.engine_period_held_frames = 192;
  audio_.AddDevice(speakers);
  monitor().start_options_ = tonelark::StartOptions{};
  monitor().start_options_.share_speakers = true;
  ASSERT_TRUE(tonelark::OpenStreams(monitor()));
  EXPECT_EQ(monitor().render_.period_frames, 192u);
}

TEST_F(OptInStartTest, ARefusedExclusiveCaptureStartsOnlyWithSharedCapture) {
  struct Case {
    const char* why;
    bool not_allowed;
    bool held;
  };
  for (const Case& c : {Case{"exclusive mode not allowed", true, false},
                        Case{"held by another program", false, true}}) {
    SCOPED_TRACE(c.why);
    audio_.Reset();
    DeviceConfig guitar = Guitar();
    guitar.exclusive_not_allowed = c.not_allowed;
    guitar.held_exclusively = c.held;
    guitar.mix_format = Float32(44100, 2);
    audio_.AddDevice(guitar);
    AddSpeakers({Pcm(48000, 2), Pcm(44100, 2)});
    DebugOutput();

    EXPECT_FALSE(monitor().StartAudio());
    if (DebugOutputSupported()) {
      EXPECT_EQ(DebugOutput(), "Tonelark exclusive capture failed 0x80004005\n");
    }
    tonelark::StartOptions options;
    options.shared_capture = true;
    const bool started = monitor().StartAudio(options);
    if (c.held) {
      // Windows refuses a shared stream on a device another program holds exclusively too.
      EXPECT_FALSE(started);
      if (DebugOutputSupported()) {
        EXPECT_EQ(DebugOutput(),
                  "Tonelark shared capture init failed 0x8889000a\n"
                  "Tonelark exclusive capture failed 0x80004005\n");
      }
      continue;
    }
    ASSERT_TRUE(started);
    EXPECT_EQ(monitor().sample_rate_, 44100) << "the mix format's rate";
    EXPECT_EQ(monitor().device_name_, "Rocksmith Guitar Adapter");
    if (DebugOutputSupported()) {
      EXPECT_EQ(DebugOutput(), "Tonelark shared 44100 Hz capture, render exclusive 44100 Hz\n");
    }
    const flutter::EncodableValue status = monitor().StatusReply();
    const auto& map = std::get<flutter::ValueMap>(status);
    EXPECT_EQ(map.at(flutter::EncodableValue("captureExclusive")), flutter::EncodableValue(false));
    EXPECT_EQ(map.at(flutter::EncodableValue("sharedCapture")), flutter::EncodableValue(true));
    monitor().StopAudio();
    ExpectNoLeaks();
  }
}

// Whatever the mix format, channel 0 reaches the PCM and the speakers as the guitar, in chunks of
// a two-hundredth of a second (at least 256 samples) at the mix rate.
TEST_F(OptInStartTest, SharedCaptureReadsChannelZeroOfAnyMixFormat) {
  struct Case {
    Format mix;
    size_t chunk;
  };
  const Case cases[] = {{Float32(48000, 2), 256},
                        {Format{44100, 1, 16, 16, false}, 256},
                        {Format{32000, 2, 24, 24, false}, 256},
                        {Format{96000, 6, 32, 32, false}, 480},
                        {Format{48000, 4, 32, 24, false}, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.mix.rate << " Hz, " << c.mix.channels << " channels, " << c.mix.container_bits
                 << " bits" << (c.mix.is_float ? " float" : ""));
    audio_.Reset();
    audio_.SetClockMode(virtual_audio::ClockMode::kManual);
    monitor_ = std::make_unique<tonelark::Monitor>();
    DeviceConfig guitar = Guitar();
    guitar.exclusive_not_allowed = true;
    guitar.mix_format = c.mix;
    audio_.AddDevice(guitar);
    AddSpeakers();
    monitor().start_options_.shared_capture = true;
    ClockedEngine engine(audio_, monitor());
    ASSERT_TRUE(engine.Start());
    EXPECT_FALSE(monitor().capture_.info.exclusive);
    EXPECT_EQ(monitor().capture_.info.sample_rate, static_cast<int32_t>(c.mix.rate));
    engine.RunUntil(0.1);
    const double rate = c.mix.rate;
    const std::vector<double> pcm = PcmSamples(c.chunk);
    ASSERT_GT(pcm.size(), c.chunk * 2);
    EXPECT_NEAR(ZeroCrossingFrequency(pcm, 0, pcm.size(), rate), 440.0, 2.0);
    EXPECT_NEAR(ToneAmplitude(pcm, 0, pcm.size(), 440.0, rate), 0.5, 0.01);
    EXPECT_NEAR(Peak(pcm, 0, pcm.size()), 0.5, 0.01) << "nothing of the other channels' 0.25";
    engine.RunUntil(0.6);
    engine.Close();
    const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
    ASSERT_GT(out.size(), 9600u);
    EXPECT_NEAR(ZeroCrossingFrequency(out, out.size() - 9600, out.size(), 48000), 440.0, 3.0);
    EXPECT_EQ(monitor().glitches_.Snapshot().render_underrun_frames, 0);
    EXPECT_EQ(audio_.RenderUnderrunFrames(L"speakers"), 0u);
  }
}

}  // namespace
}  // namespace tonelark_test
