// Events signalled late while the device keeps its pace, and positions with their times.
#include <algorithm>
#include <cstring>
#include <vector>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::ClockMode;
using virtual_audio::LateWakes;

constexpr REFERENCE_TIME kMs = 10000;  // 100 ns units

class LateWakesTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
  }

  // The clock times of the steps at which a capture stream's event was found signalled.
  std::vector<REFERENCE_TIME> Wakes(uint64_t seed) {
    audio_ = std::make_unique<virtual_audio::VirtualAudio>();
    audio().SetClockMode(ClockMode::kManual);
    DeviceConfig mic = Capture(L"mic", L"Guitar");
    mic.late_wakes.max_late = 3 * kMs;
    mic.late_wakes.seed = seed;
    audio().AddDevice(mic);
    OpenStream stream;
    Open(L"mic", Pcm(48000, 1), &stream);
    std::vector<REFERENCE_TIME> wakes;
    while (wakes.size() < 20) {
      const REFERENCE_TIME now = audio().StepClock();
      if (stream.Signalled()) wakes.push_back(now);
    }
    EXPECT_LE(audio().LateWakesApplied(L"mic").largest, 3 * kMs);
    return wakes;
  }
};

TEST_F(LateWakesTest, RandomLatenessRepeatsWithItsSeedAndStaysWithinItsBound) {
  const std::vector<REFERENCE_TIME> first = Wakes(7);
  EXPECT_GT(audio().LateWakesApplied(L"mic").late_signals, 10u);
  EXPECT_EQ(first, Wakes(7));
  EXPECT_NE(first, Wakes(8));
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_GE(first[i] - (i + 1) * 10 * kMs, 0) << "wake " << i;
  }
}

TEST_F(LateWakesTest, ALateWakeIsAStepOfItsOwnAndWhatWasNotReadInTimeIsLost) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  // Three periods all signalled at 45 ms: one wake, and the hardware buffer holds two packets.
  mic.late_wakes.scripted = {LateWakes::Scripted{2, 25 * kMs}, LateWakes::Scripted{3, 15 * kMs},
                             LateWakes::Scripted{4, 5 * kMs}};
  audio().AddDevice(mic);
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  std::vector<std::vector<double>> channels;
  DWORD flags = 0;
  UINT64 position = 0;
  for (const REFERENCE_TIME step : {10 * kMs, 20 * kMs, 30 * kMs, 40 * kMs}) {
    ASSERT_EQ(step, audio().StepClock());
    EXPECT_EQ(step == 10 * kMs, stream.Signalled()) << "at " << step;
    if (step == 10 * kMs) {
      ASSERT_TRUE(ReadPacket(stream.capture.Get(), Pcm(48000, 1), &channels, &flags));
    }
  }
  ASSERT_EQ(45 * kMs, audio().StepClock());
  EXPECT_TRUE(stream.Signalled());
  EXPECT_FALSE(stream.Signalled()) << "signals before the wake wake it once";
  ASSERT_TRUE(ReadPacket(stream.capture.Get(), Pcm(48000, 1), &channels, &flags, &position));
  EXPECT_NE(0u, flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
  EXPECT_EQ(2u * 480u, position);
  EXPECT_EQ(1, audio().CaptureOverruns(L"mic"));
  EXPECT_EQ(3u, audio().LateWakesApplied(L"mic").late_signals);
  EXPECT_EQ(25 * kMs, audio().LateWakesApplied(L"mic").largest);

  // The speakers' first wake comes after the second period has begun: it plays silence.
  DeviceConfig spk = Render(L"spk", L"Speakers");
  spk.late_wakes.scripted = {LateWakes::Scripted{1, 15 * kMs}};
  audio().AddDevice(spk);
  OpenStream render;
  Open(L"spk", Pcm(48000, 2), &render, /*start=*/false);
  const auto write_period = [&] {
    BYTE* out = nullptr;
    ASSERT_EQ(S_OK, render.render->GetBuffer(480, &out));
    std::memset(out, 0, 480 * 4);
    ASSERT_EQ(S_OK, render.render->ReleaseBuffer(480, 0));
  };
  write_period();
  ASSERT_EQ(S_OK, render.client->Start());
  const REFERENCE_TIME start = audio().ClockTime();
  while (audio().StepClock() < start + 30 * kMs) {
    UINT32 padding = 0;
    ASSERT_EQ(S_OK, render.client->GetCurrentPadding(&padding));
    if (render.Signalled() && padding == 0) write_period();
  }
  EXPECT_EQ(1, audio().RenderUnderruns(L"spk"));
}

TEST_F(LateWakesTest, CapturePacketTimesFollowTheDeviceClock) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.clock_ppm = 500;
  audio().AddDevice(mic);
  audio().AdvanceClock(3 * kMs);
  OpenStream stream;
  OpenShared(L"mic", &stream);
  REFERENCE_TIME period_start = audio().ClockTime();
  for (int period = 0; period < 3; ++period) {
    const REFERENCE_TIME period_end = audio().StepClock();
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0, qpc = 0;
    ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, &qpc));
    EXPECT_EQ(static_cast<UINT64>(period_start), qpc) << "period " << period;
    ASSERT_EQ(S_OK, stream.capture->ReleaseBuffer(frames));
    period_start = period_end;
  }
}

TEST_F(LateWakesTest, ARenderFrameIsHeardWhenTheStreamClockSays) {
  DeviceConfig spk = Render(L"spk", L"Speakers");
  spk.clock_ppm = 1000;
  audio().AddDevice(spk);
  OpenStream stream;
  OpenShared(L"spk", &stream);
  ComPtr<IAudioClock> clock;
  ASSERT_EQ(S_OK,
            stream.client->GetService(platform::kIidIAudioClock, clock.ReleaseAndGetVoidAddress()));
  UINT64 frequency = 0;
  ASSERT_EQ(S_OK, clock->GetFrequency(&frequency));
  audio().StepClock();
  audio().StepClock();  // two periods of under-run silence: the position moved on regardless

  // Written now, the block is taken at the next period end; its frame 100 is the impulse.
  const UINT64 impulse = audio().Rendered(L"spk").FrameCount() + 100;
  BYTE* data = nullptr;
  ASSERT_EQ(S_OK, stream.render->GetBuffer(480, &data));
  std::memset(data, 0, 480 * 8);
  const float one = 1.0f;
  std::memcpy(data + 100 * 8, &one, sizeof(one));
  ASSERT_EQ(S_OK, stream.render->ReleaseBuffer(480, 0));
  UINT64 position = 0, qpc = 0;
  ASSERT_EQ(S_OK, clock->GetPosition(&position, &qpc));
  EXPECT_EQ(static_cast<UINT64>(audio().ClockTime()), qpc);
  const double heard =
      static_cast<double>(qpc) + (impulse * 8.0 - static_cast<double>(position)) * 1e7 / frequency;

  const REFERENCE_TIME taken = audio().StepClock();
  UINT32 padding = 1;
  ASSERT_EQ(S_OK, stream.client->GetCurrentPadding(&padding));
  ASSERT_EQ(0u, padding);
  EXPECT_NEAR(taken + 100 * 1e7 / 48000, heard, 2 * 1e7 / 48000);
  const std::vector<double> recorded = audio().Rendered(L"spk").Channel(0);
  EXPECT_EQ(impulse, static_cast<UINT64>(std::max_element(recorded.begin(), recorded.end()) -
                                         recorded.begin()));
  audio().AdvanceClock(static_cast<REFERENCE_TIME>(heard) - audio().ClockTime());
  ASSERT_EQ(S_OK, clock->GetPosition(&position, &qpc));
  EXPECT_NEAR(static_cast<double>(impulse), position / 8.0, 1.0);
}

}  // namespace
}  // namespace virtual_audio_test
