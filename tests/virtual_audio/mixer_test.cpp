// Shared mode as the system mixer runs it, under-runs in real time, bounded recordings, and the
// capture queues of shared and exclusive streams.
#include <cstdio>
#include <string>
#include <vector>

#include "standins/audio/wav_file.h"
#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::CaptureSource;
using virtual_audio::ClockMode;

class MixerTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
  }

  // Writes `frames` frames of `value` in every channel of a 32-bit float stream.
  static void WriteFloat(IAudioRenderClient* render, UINT32 frames, uint16_t channels,
                         float value) {
    BYTE* data = nullptr;
    ASSERT_EQ(S_OK, render->GetBuffer(frames, &data));
    auto* samples = reinterpret_cast<float*>(data);
    for (UINT32 i = 0; i < frames * channels; ++i) samples[i] = value;
    ASSERT_EQ(S_OK, render->ReleaseBuffer(frames, 0));
  }
};

TEST_F(MixerTest, SharedShortfallIsSilenceAfterThePlayedFramesAndTheRecordingKeepsRealTime) {
  audio().AddDevice(Render(L"spk", L"Speakers"));  // mix: 48000 Hz stereo float, 10 ms periods
  OpenStream stream;
  OpenShared(L"spk", &stream, /*start=*/false);
  WriteFloat(stream.render.Get(), 200, 2, 0.5f);
  ASSERT_EQ(S_OK, stream.client->Start());
  audio().StepClock();  // 200 frames play, then 280 of silence
  WriteFloat(stream.render.Get(), 580, 2, -0.25f);
  audio().StepClock();  // a whole period
  audio().StepClock();  // 100 frames, then 380 of silence
  WriteFloat(stream.render.Get(), 480, 2, 0.75f);
  audio().StepClock();

  EXPECT_EQ(2, audio().RenderUnderruns(L"spk"));
  EXPECT_EQ(660u, audio().RenderUnderrunFrames(L"spk"));
  const virtual_audio::RenderedAudio rendered = audio().Rendered(L"spk");
  EXPECT_FALSE(rendered.exclusive);
  EXPECT_EQ(660u, rendered.underrun_frames);
  // Four passes of 10 ms: exactly 40 ms of sound, each sample where the device played it.
  ASSERT_EQ(4u * 480u, rendered.FrameCount());
  const std::vector<double> right = rendered.Channel(1);
  const struct {
    size_t from, to;
    double value;
  } spans[] = {
      {0, 200, 0.5}, {200, 480, 0.0}, {480, 1060, -0.25}, {1060, 1440, 0.0}, {1440, 1920, 0.75}};
  for (const auto& span : spans) {
    for (size_t i = span.from; i < span.to; ++i) ASSERT_EQ(span.value, right[i]) << "frame " << i;
  }
  ASSERT_EQ(5u, rendered.buffers.size());
  EXPECT_TRUE(rendered.buffers[1].underrun);
  EXPECT_EQ(280u, rendered.buffers[1].frames);
  EXPECT_FALSE(rendered.buffers[2].underrun);
}

TEST_F(MixerTest, RecordingsCanBeLimitedOrOffWhileUnderrunsAreStillCounted) {
  const std::string path = ::testing::TempDir() + "virtual_audio_limited.wav";
  std::remove(path.c_str());
  DeviceConfig limited = Render(L"limited", L"Limited");
  limited.record_frames_limit = 600;
  limited.output_wav_path = path;
  DeviceConfig off = Render(L"off", L"Off");
  off.no_recording = true;
  audio().AddDevice(limited);
  audio().AddDevice(off);
  {
    OpenStream a, b;
    OpenShared(L"limited", &a, /*start=*/false);
    OpenShared(L"off", &b, /*start=*/false);
    for (OpenStream* stream : {&a, &b}) {
      WriteFloat(stream->render.Get(), 480, 2, 0.5f);
      ASSERT_EQ(S_OK, stream->client->Start());
    }
    audio().AdvanceClock(30 * 10000);  // one period played, two under-run

    const virtual_audio::RenderedAudio kept = audio().Rendered(L"limited");
    EXPECT_EQ(600u, kept.FrameCount());
    EXPECT_EQ(840u, kept.unrecorded_frames);
    EXPECT_EQ(960u, kept.underrun_frames);
    const std::vector<double> left = kept.Channel(0);
    EXPECT_EQ(0.5, left[479]);
    EXPECT_EQ(0.0, left[480]);

    const virtual_audio::RenderedAudio none = audio().Rendered(L"off");
    EXPECT_EQ(0u, none.FrameCount());
    EXPECT_TRUE(none.buffers.empty());
    EXPECT_EQ(1440u, none.unrecorded_frames);
    EXPECT_EQ(960u, audio().RenderUnderrunFrames(L"off"));
  }
  // The output file holds what was kept.
  virtual_audio::WavData wav;
  ASSERT_TRUE(virtual_audio::ReadWavFile(path, &wav));
  EXPECT_EQ(600u * 8u, wav.frames.size());
  std::remove(path.c_str());
}

TEST_F(MixerTest, SharedCaptureDeliversPeriodPacketsInAnyMixFormat) {
  const Format mixes[] = {Float32(32000, 1), Pcm(44100, 2), Pcm(96000, 1, 32), Float32(96000, 6),
                          Pcm(48000, 4, 24)};
  for (const Format& mix : mixes) {
    SCOPED_TRACE(testing::Message() << mix.rate << " Hz, " << mix.channels << " channels, "
                                    << mix.container_bits << (mix.is_float ? " float" : " int"));
    audio().Reset();
    DeviceConfig mic = Capture(L"mic", L"Microphone");
    mic.mix_format = mix;
    mic.source.kind = CaptureSource::Kind::kImpulse;
    mic.source.period_frames = 100;
    mic.source.amplitude = 0.5;
    audio().AddDevice(mic);
    OpenStream stream;
    OpenShared(L"mic", &stream);
    audio().Tick();
    ASSERT_TRUE(stream.Signalled());
    std::vector<std::vector<double>> channels;
    DWORD flags = 0;
    ASSERT_TRUE(ReadPacket(stream.capture.Get(), mix, &channels, &flags));
    ASSERT_EQ(mix.rate / 100, channels[0].size()) << "one 10 ms period";
    EXPECT_EQ(0.5, channels[0][0]);
    EXPECT_EQ(0.0, channels[0][1]);
    EXPECT_EQ(0.5, channels[0][100]);
    for (size_t c = 1; c < channels.size(); ++c) EXPECT_EQ(0.25, channels[c][7]);
  }
}

TEST_F(MixerTest, CaptureQueuesHoldTheirBufferAndPositionsCountTheLostFrames) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.shared_buffer_frames = 1500;  // three periods of 480
  audio().AddDevice(mic);
  audio().AddDevice(Capture(L"guitar", L"Guitar Adapter"));
  OpenStream shared, exclusive;
  OpenShared(L"mic", &shared);
  Open(L"guitar", Pcm(48000, 1), &exclusive);
  audio().Tick(7);

  // Shared: as many whole packets as fit in its buffer. Exclusive: two periods.
  UINT32 queued = 0;
  ASSERT_EQ(S_OK, shared.client->GetCurrentPadding(&queued));
  EXPECT_EQ(3u * 480u, queued);
  EXPECT_EQ(4, audio().CaptureOverruns(L"mic"));
  ASSERT_EQ(S_OK, exclusive.client->GetCurrentPadding(&queued));
  EXPECT_EQ(2u * 480u, queued);
  EXPECT_EQ(5, audio().CaptureOverruns(L"guitar"));

  // The reader sees the newest packets; the first after the loss is flagged and its position
  // tells how much was lost.
  const auto read_positions = [&](IAudioCaptureClient* capture, const Format& format) {
    std::vector<std::pair<UINT64, DWORD>> packets;
    std::vector<std::vector<double>> channels;
    DWORD flags = 0;
    UINT64 position = 0;
    while (ReadPacket(capture, format, &channels, &flags, &position)) {
      packets.push_back({position, flags});
    }
    return packets;
  };
  const auto shared_packets = read_positions(shared.capture.Get(), Float32(48000, 2));
  ASSERT_EQ(3u, shared_packets.size());
  EXPECT_EQ(4u * 480u, shared_packets[0].first);
  EXPECT_EQ(static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY), shared_packets[0].second);
  EXPECT_EQ(0u, shared_packets[1].second);
  const auto exclusive_packets = read_positions(exclusive.capture.Get(), Pcm(48000, 1));
  ASSERT_EQ(2u, exclusive_packets.size());
  EXPECT_EQ(5u * 480u, exclusive_packets[0].first);
  EXPECT_EQ(6u * 480u, exclusive_packets[1].first);
  EXPECT_NE(0u, exclusive_packets[0].second & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);

  // A reader that keeps up loses nothing and sees no flag.
  audio().Tick();
  const auto next = read_positions(exclusive.capture.Get(), Pcm(48000, 1));
  ASSERT_EQ(1u, next.size());
  EXPECT_EQ(7u * 480u, next[0].first);
  EXPECT_EQ(0u, next[0].second);
}

}  // namespace
}  // namespace virtual_audio_test
