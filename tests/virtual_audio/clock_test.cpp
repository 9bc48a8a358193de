// The manual clock stepped by time, device clocks that run fast or slow, and an engine-style
// loop that serves the signalled events between steps.
#include <cmath>
#include <cstring>
#include <string>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::ClockMode;

constexpr REFERENCE_TIME kSecond = 1000 * kMs;

class ClockTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
  }

  // A render device that records nothing, so long runs measure the clock only.
  static DeviceConfig Sink(const std::wstring& id, double ppm) {
    DeviceConfig config = Render(id, id);
    config.clock_ppm = ppm;
    config.no_recording = true;
    return config;
  }
};

TEST_F(ClockTest, StepsVisitEveryPeriodEndInTimeOrderAcrossStreamsOfDifferentLengths) {
  EXPECT_EQ(-1, audio().StepClock());
  EXPECT_EQ(0, audio().ClockTime()) << "without a started stream the clock stays";
  audio().AddDevice(Capture(L"slow", L"10 ms"));
  audio().AddDevice(Capture(L"fast", L"4 ms"));
  OpenStream slow, fast;
  Open(L"slow", Pcm(48000, 1), &slow);
  Open(L"fast", Pcm(48000, 1), &fast, /*start=*/true, 40000);

  struct Step {
    REFERENCE_TIME time;
    bool slow, fast;
  };
  const Step expected[] = {{4 * kMs, false, true},  {8 * kMs, false, true},
                           {10 * kMs, true, false}, {12 * kMs, false, true},
                           {16 * kMs, false, true}, {20 * kMs, true, true}};
  for (const Step& step : expected) {
    ASSERT_EQ(step.time, audio().StepClock());
    EXPECT_EQ(step.time, audio().ClockTime());
    EXPECT_EQ(step.slow, slow.Signalled()) << "at " << step.time;
    EXPECT_EQ(step.fast, fast.Signalled()) << "at " << step.time;
  }
  UINT32 frames = 0;
  ASSERT_EQ(S_OK, fast.capture->GetNextPacketSize(&frames));
  EXPECT_EQ(192u, frames);  // one period of 4 ms

  // Tick keeps its meaning: one period per stream whatever its length, and the time stays.
  ASSERT_EQ(S_OK, slow.client->Stop());
  audio().Tick(1);
  EXPECT_TRUE(fast.Signalled());
  EXPECT_FALSE(slow.Signalled());
  EXPECT_EQ(20 * kMs, audio().ClockTime());
}

TEST_F(ClockTest, AdvancePlaysWhatIsDueAndEndsExactlyAtTheDuration) {
  audio().AddDevice(Render(L"spk", L"Speakers"));
  OpenStream stream;
  Open(L"spk", Pcm(48000, 2), &stream);
  audio().AdvanceClock(35 * kMs);
  EXPECT_EQ(35 * kMs, audio().ClockTime());
  EXPECT_EQ(3, audio().RenderUnderruns(L"spk"));
  audio().AdvanceClock(5 * kMs);  // the fourth period ends exactly at the end
  EXPECT_EQ(40 * kMs, audio().ClockTime());
  EXPECT_EQ(4u * 480u, audio().RenderUnderrunFrames(L"spk"));
  audio().AdvanceClock(0);
  EXPECT_EQ(4, audio().RenderUnderruns(L"spk"));
  // A stream started later counts its periods from its start.
  ASSERT_EQ(S_OK, stream.client->Stop());
  audio().AdvanceClock(3 * kMs);
  ASSERT_EQ(S_OK, stream.client->Start());
  EXPECT_EQ(53 * kMs, audio().StepClock());
}

TEST_F(ClockTest, DeviceClocksRunFastOrSlowByTheirPartsPerMillion) {
  audio().AddDevice(Sink(L"fast", 300));
  audio().AddDevice(Sink(L"slow", -250));
  audio().AddDevice(Sink(L"exact", 0));
  DeviceConfig small_periods = Sink(L"small", 0);
  small_periods.minimum_period = 26667;
  audio().AddDevice(small_periods);
  testing::internal::CaptureStderr();
  audio().AddDevice(Sink(L"wild", 5000));
  EXPECT_EQ("virtual_audio: clock-ppm 5000 out of range, held at 1000\n",
            testing::internal::GetCapturedStderr());
  OpenStream fast, slow, exact, small, wild;
  Open(L"fast", Pcm(48000, 2), &fast);
  Open(L"slow", Pcm(48000, 2), &slow);
  Open(L"exact", Pcm(48000, 2), &exact);
  // 26667 (100 ns) is 128 frames, which the device's own clock plays in 26666.67.
  Open(L"small", Pcm(48000, 2), &small, /*start=*/true, 26667);
  Open(L"wild", Pcm(48000, 2), &wild);
  audio().AdvanceClock(60 * kSecond);

  // With nothing written every period is under-run: its frames count what the device played.
  const auto played = [&](const wchar_t* id) {
    return static_cast<double>(audio().RenderUnderrunFrames(id));
  };
  EXPECT_NEAR(60 * 48000 * 1.0003, played(L"fast"), 480);
  EXPECT_NEAR(60 * 48000 * 0.99975, played(L"slow"), 480);
  EXPECT_NEAR(60 * 48000 * 1.001, played(L"wild"), 480);
  EXPECT_EQ(6000u * 480u, audio().RenderUnderrunFrames(L"exact"));
  EXPECT_EQ(22500u * 128u, audio().RenderUnderrunFrames(L"small"));
  EXPECT_EQ(0u, audio().Rendered(L"fast").FrameCount());
  EXPECT_EQ(audio().RenderUnderrunFrames(L"fast"), audio().Rendered(L"fast").unrecorded_frames);
}

TEST_F(ClockTest, ASlowOpenMovesTheManualClockOrSleepsOnTheRealTimeOne) {
  ASSERT_TRUE(audio().ParseConfig(
      "device mic\nformat 48000 1 16\ndevice spk\nflow render\ninitialize-delay 50"));
  OpenStream capture;
  Open(L"mic", Pcm(48000, 1), &capture);
  ComPtr<IAudioClient3> client;
  Device(L"spk")->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                           client.ReleaseAndGetVoidAddress());
  client->InitializeSharedAudioStream(0, 128, nullptr, nullptr);  // refused, after the delay
  EXPECT_EQ(50 * kMs, audio().ClockTime());
  EXPECT_EQ(3, audio().CaptureOverruns(L"mic")) << "five packets unread, two kept";
  audio().SetClockMode(ClockMode::kRealTime);
  const REFERENCE_TIME before = audio().ClockTime();
  Client(L"spk")->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, nullptr, nullptr);
  EXPECT_GE(audio().ClockTime() - before, 50 * kMs);
}

TEST_F(ClockTest, AnEngineStyleLoopServesEachSignalledEventBetweenSteps) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.clock_ppm = 500;
  DeviceConfig spk = Render(L"spk", L"Speakers");
  spk.clock_ppm = -500;
  audio().AddDevice(mic);
  audio().AddDevice(spk);
  OpenStream capture, render;
  Open(L"mic", Pcm(48000, 1), &capture);
  Open(L"spk", Pcm(48000, 2), &render, /*start=*/false);
  BYTE* data = nullptr;
  ASSERT_EQ(S_OK, render.render->GetBuffer(480, &data));
  std::memset(data, 0, 480 * 4);
  ASSERT_EQ(S_OK, render.render->ReleaseBuffer(480, 0));
  ASSERT_EQ(S_OK, render.client->Start());

  uint64_t captured = 0;
  uint64_t next_position = 0;
  while (audio().StepClock() < 10 * kSecond) {
    if (capture.Signalled()) {
      UINT32 frames = 0;
      DWORD flags = 0;
      UINT64 position = 0;
      while (capture.capture->GetBuffer(&data, &frames, &flags, &position, nullptr) == S_OK) {
        ASSERT_EQ(next_position, position);
        ASSERT_EQ(0u, flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
        next_position = position + frames;
        captured += frames;
        ASSERT_EQ(S_OK, capture.capture->ReleaseBuffer(frames));
      }
    }
    if (render.Signalled()) {
      ASSERT_EQ(S_OK, render.render->GetBuffer(480, &data));
      std::memset(data, 0, 480 * 4);
      ASSERT_EQ(S_OK, render.render->ReleaseBuffer(480, 0));
    }
  }
  EXPECT_NEAR(10 * 48000 * 1.0005, static_cast<double>(captured), 480);
  EXPECT_NEAR(10 * 48000 * 0.9995, static_cast<double>(audio().Rendered(L"spk").FrameCount()),
              2 * 480);
  EXPECT_EQ(0, audio().CaptureOverruns(L"mic"));
  EXPECT_EQ(0, audio().RenderUnderruns(L"spk"));
}

}  // namespace
}  // namespace virtual_audio_test
