// The clock, capture sources, render sinks and the leak audit.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "standins/audio/wav_file.h"
#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::CaptureSource;
using virtual_audio::ClockMode;

class StreamTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
  }
};

TEST_F(StreamTest, EachTickQueuesOnePeriodOfTheSineInChannelZeroAndSignals) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.source.kind = CaptureSource::Kind::kSine;
  mic.source.frequency_hz = 1000.0;
  mic.source.amplitude = 0.5;
  audio().AddDevice(mic);
  OpenStream stream;
  Open(L"mic", Pcm(48000, 2), &stream);
  ASSERT_EQ(480u, stream.frames);

  UINT32 next = 99;
  BYTE* data = nullptr;
  UINT32 frames = 7;
  DWORD flags = 0;
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stream.event, 0));
  EXPECT_EQ(AUDCLNT_S_BUFFER_EMPTY,
            stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
  EXPECT_EQ(0u, frames);
  EXPECT_EQ(nullptr, data);

  audio().Tick(2);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stream.event, 0));
  ASSERT_EQ(S_OK, stream.capture->GetNextPacketSize(&next));
  EXPECT_EQ(480u, next);

  std::vector<double> left;
  std::vector<std::vector<double>> channels;
  while (ReadPacket(stream.capture.Get(), Pcm(48000, 2), &channels, &flags)) {
    EXPECT_EQ(0u, flags);
    left.insert(left.end(), channels[0].begin(), channels[0].end());
    for (double other : channels[1]) ASSERT_DOUBLE_EQ(0.25, other);
  }
  ASSERT_EQ(960u, left.size());
  // 1000 Hz at 48000 Hz: 48 frames per cycle, phase 0 at the first frame, continuous across
  // packets.
  EXPECT_DOUBLE_EQ(0.0, left[0]);
  EXPECT_NEAR(0.5, left[12], 1.0 / 32768);
  EXPECT_NEAR(-0.5, left[480 + 36], 1.0 / 32768);
}

TEST_F(StreamTest, ImpulseSilentFlaggedAnd24BitLayouts) {
  DeviceConfig impulse = Capture(L"imp", L"Impulse");
  impulse.exclusive_formats = {Pcm(48000, 1, 24), Pcm(48000, 1, 32, 24)};
  impulse.source.kind = CaptureSource::Kind::kImpulse;
  impulse.source.period_frames = 100;
  impulse.source.amplitude = 0.75;
  DeviceConfig flagged = Capture(L"flag", L"Flagged");
  flagged.source.kind = CaptureSource::Kind::kSilentFlagged;
  audio().AddDevice(impulse);
  audio().AddDevice(flagged);

  for (const Format& format : {Pcm(48000, 1, 24), Pcm(48000, 1, 32, 24)}) {
    OpenStream stream;
    Open(L"imp", format, &stream);
    audio().Tick();
    std::vector<std::vector<double>> channels;
    DWORD flags = 0;
    ASSERT_TRUE(ReadPacket(stream.capture.Get(), format, &channels, &flags));
    for (size_t i = 0; i < channels[0].size(); ++i) {
      ASSERT_DOUBLE_EQ(i % 100 == 0 ? 0.75 : 0.0, channels[0][i]) << "frame " << i;
    }
  }

  OpenStream stream;
  Open(L"flag", Pcm(48000, 1), &stream);
  audio().Tick();
  std::vector<std::vector<double>> channels;
  DWORD flags = 0;
  ASSERT_TRUE(ReadPacket(stream.capture.Get(), Pcm(48000, 1), &channels, &flags));
  EXPECT_EQ(static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT), flags);
  EXPECT_GT(channels[0][12], 0.1);  // the data is there, only the flag says to ignore it
}

TEST_F(StreamTest, WavSourceLoopsTheFileAndStalledDeviceDeliversNothing) {
  const std::string path = ::testing::TempDir() + "virtual_audio_source.wav";
  const Format file_format = Pcm(48000, 1);
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 300; ++i) {
    const int16_t sample = static_cast<int16_t>(i * 100);
    bytes.push_back(static_cast<uint8_t>(sample));
    bytes.push_back(static_cast<uint8_t>(sample >> 8));
  }
  ASSERT_TRUE(virtual_audio::WriteWavFile(path, file_format, bytes));
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.source.kind = CaptureSource::Kind::kWav;
  mic.source.wav_path = path;
  audio().AddDevice(mic);

  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  audio().Tick();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stream.event, 0));
  std::vector<std::vector<double>> channels;
  DWORD flags = 0;
  ASSERT_TRUE(ReadPacket(stream.capture.Get(), Pcm(48000, 1), &channels, &flags));
  EXPECT_DOUBLE_EQ(299 * 100 / 32768.0, channels[0][299]);
  EXPECT_DOUBLE_EQ(0.0, channels[0][300]);
  EXPECT_DOUBLE_EQ(100 / 32768.0, channels[0][301]);

  audio().SetCaptureStalled(L"mic", true);
  audio().Tick(3);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stream.event, 0));
  UINT32 next = 1;
  ASSERT_EQ(S_OK, stream.capture->GetNextPacketSize(&next));
  EXPECT_EQ(0u, next);
  std::remove(path.c_str());
}

TEST_F(StreamTest, ReaderThatFallsBehindLosesTheOldestPacketsAndSeesADiscontinuity) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  audio().Tick(10);
  // An exclusive stream holds the hardware's two periods.
  EXPECT_EQ(8, audio().CaptureOverruns(L"mic"));
  UINT32 queued = 0;
  ASSERT_EQ(S_OK, stream.client->GetCurrentPadding(&queued));
  EXPECT_EQ(2u * 480u, queued);
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 position = 0;
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, nullptr));
  EXPECT_EQ(8u * 480u, position);  // the lost frames still count
  // The first packet after the loss carries the flag.
  EXPECT_EQ(static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY), flags);
  const UINT32 held = frames;
  EXPECT_EQ(AUDCLNT_E_OUT_OF_ORDER,
            stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
  EXPECT_EQ(AUDCLNT_E_INVALID_SIZE, stream.capture->ReleaseBuffer(held - 1));
  EXPECT_EQ(S_OK, stream.capture->ReleaseBuffer(held));
  // A packet lost while the reader holds one: the packet after the gap carries the flag.
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, nullptr));
  EXPECT_EQ(0u, flags);
  audio().Tick();
  audio().Tick();
  EXPECT_EQ(S_OK, stream.capture->ReleaseBuffer(frames));
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, nullptr));
  EXPECT_EQ(0u, flags);
  EXPECT_EQ(10u * 480u, position);
  EXPECT_EQ(S_OK, stream.capture->ReleaseBuffer(frames));
  audio().Tick();
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, nullptr));
  EXPECT_EQ(static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY), flags);
  EXPECT_EQ(12u * 480u, position);
  EXPECT_EQ(S_OK, stream.capture->ReleaseBuffer(frames));
}

TEST_F(StreamTest, RenderSinkKeepsEveryBufferWithItsFlagsAndTheClockDrainsIt) {
  audio().AddDevice(Render(L"spk", L"Speakers"));
  OpenStream stream;
  Open(L"spk", Pcm(48000, 2), &stream, /*start=*/false);
  ASSERT_EQ(480u, stream.frames);

  BYTE* data = nullptr;
  EXPECT_EQ(AUDCLNT_E_BUFFER_SIZE_ERROR, stream.render->GetBuffer(100, &data));
  ASSERT_EQ(S_OK, stream.render->GetBuffer(480, &data));
  for (int frame = 0; frame < 480; ++frame) {
    const int16_t left = static_cast<int16_t>(frame * 64), right = -16384;
    std::memcpy(data + frame * 4, &left, 2);
    std::memcpy(data + frame * 4 + 2, &right, 2);
  }
  ASSERT_EQ(S_OK, stream.render->ReleaseBuffer(480, 0));
  // The buffer is full until the device plays a period.
  EXPECT_EQ(AUDCLNT_E_BUFFER_TOO_LARGE, stream.render->GetBuffer(480, &data));
  ASSERT_EQ(S_OK, stream.client->Start());
  audio().Tick();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stream.event, 0));
  UINT32 padding = 1;
  ASSERT_EQ(S_OK, stream.client->GetCurrentPadding(&padding));
  EXPECT_EQ(0u, padding);
  ASSERT_EQ(S_OK, stream.render->GetBuffer(480, &data));
  std::memset(data, 0x7f, 480 * 4);
  ASSERT_EQ(S_OK, stream.render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT));
  audio().Tick(2);  // the second period finds nothing queued
  EXPECT_EQ(1, audio().RenderUnderruns(L"spk"));
  EXPECT_EQ(480u, audio().RenderUnderrunFrames(L"spk"));

  const virtual_audio::RenderedAudio rendered = audio().Rendered(L"spk");
  EXPECT_EQ(Pcm(48000, 2), rendered.format);
  EXPECT_TRUE(rendered.exclusive);
  ASSERT_EQ(3u, rendered.buffers.size());
  EXPECT_EQ(0u, rendered.buffers[0].flags);
  EXPECT_EQ(static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT), rendered.buffers[1].flags);
  EXPECT_TRUE(rendered.buffers[2].underrun);
  EXPECT_EQ(480u, rendered.underrun_frames);
  ASSERT_EQ(1440u, rendered.FrameCount());
  EXPECT_EQ(0x7f, rendered.bytes[480 * 4]);  // kept as written
  const std::vector<double> left = rendered.Channel(0);
  const std::vector<double> right = rendered.Channel(1);
  EXPECT_DOUBLE_EQ(100 * 64 / 32768.0, left[100]);
  EXPECT_DOUBLE_EQ(-0.5, right[100]);
  EXPECT_DOUBLE_EQ(0.0, left[700]);  // silent buffers read as zeros
  EXPECT_TRUE(rendered.Channel(2).empty());

  const std::string path = ::testing::TempDir() + "virtual_audio_render.wav";
  ASSERT_TRUE(rendered.WriteWav(path, /*as_float=*/true));
  virtual_audio::WavData wav;
  ASSERT_TRUE(virtual_audio::ReadWavFile(path, &wav));
  EXPECT_EQ(Float32(48000, 2), wav.format);
  ASSERT_EQ(1440u * 8u, wav.frames.size());
  float first_right = 0;
  std::memcpy(&first_right, wav.frames.data() + 4, 4);
  EXPECT_FLOAT_EQ(-0.5f, first_right);
  std::remove(path.c_str());
}

TEST_F(StreamTest, RealTimeClockSignalsEveryPeriod) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  audio().SetClockMode(ClockMode::kRealTime);
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  for (int period = 0; period < 5; ++period) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stream.event, 1000)) << "period " << period;
  }
  UINT32 next = 0;
  ASSERT_EQ(S_OK, stream.capture->GetNextPacketSize(&next));
  EXPECT_EQ(480u, next);
}

TEST_F(StreamTest, AuditIsBackToZeroAfterAStartStopCycle) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  audio().AddDevice(Render(L"spk", L"Speakers"));
  const virtual_audio::Audit before = audio().TakeAudit();
  {
    OpenStream capture, render;
    Open(L"mic", Pcm(48000, 1), &capture);
    Open(L"spk", Pcm(48000, 2), &render);
    audio().Tick();
    const virtual_audio::Audit during = audio().TakeAudit();
    EXPECT_EQ(2, during.started_streams);
    EXPECT_EQ(2, during.objects.at("IAudioClient"));
    EXPECT_EQ(1, during.objects.at("IAudioCaptureClient"));
    EXPECT_GT(during.references, 0);
    if (before.event_handles >= 0) {
      EXPECT_EQ(before.event_handles + 2, during.event_handles);
    }
  }
  const virtual_audio::Audit after = audio().TakeAudit();
  EXPECT_EQ(0, after.total_objects);
  EXPECT_EQ(0, after.references);
  EXPECT_EQ(0, after.started_streams);
  EXPECT_EQ(before.event_handles, after.event_handles);
  EXPECT_EQ(before.co_task_mem, after.co_task_mem);
}

}  // namespace
}  // namespace virtual_audio_test
