// Shared streams at small engine periods (IAudioClient3), the periodicity lock and devices
// without the interface; events signalled late while the device keeps its pace; positions with
// their times.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::AudioClient3Support;
using virtual_audio::ClockMode;
using virtual_audio::LateWakes;

constexpr DWORD kEvents = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;

class SharedTimingTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
    mix_ = virtual_audio::MakeWaveFormat(Float32(48000, 2));
  }

  ComPtr<IAudioClient3> Client3(const std::wstring& id) {
    ComPtr<IAudioClient3> client;
    EXPECT_EQ(S_OK, Client(id)->QueryInterface(platform::kIidIAudioClient3,
                                               client.ReleaseAndGetVoidAddress()));
    return client;
  }

  static REFERENCE_TIME Latency(IAudioClient* client) {
    REFERENCE_TIME latency = 0;
    return SUCCEEDED(client->GetStreamLatency(&latency)) ? latency : -1;
  }

  UINT32 CurrentPeriod(const std::wstring& id) {
    WAVEFORMATEX* format = nullptr;
    UINT32 period = 0;
    EXPECT_EQ(S_OK, Client3(id)->GetCurrentSharedModeEnginePeriod(&format, &period));
    CoTaskMemFree(format);
    return period;
  }

  // The clock times at which a fresh system's capture stream was found signalled.
  std::vector<REFERENCE_TIME> Wakes(uint64_t seed) {
    audio_ = std::make_unique<virtual_audio::VirtualAudio>();
    audio().SetClockMode(ClockMode::kManual);
    DeviceConfig mic = Capture(L"mic", L"Guitar");
    mic.late_wakes = {3 * kMs, seed, {}};
    audio().AddDevice(mic);
    OpenStream stream;
    Open(L"mic", Pcm(48000, 1), &stream);
    std::vector<REFERENCE_TIME> wakes;
    while (wakes.size() < 20) {
      const REFERENCE_TIME now = audio().StepClock();
      if (stream.Signalled()) wakes.push_back(now);
    }
    return wakes;
  }

  static UINT64 Position(IAudioClient* client, UINT64* qpc = nullptr) {
    ComPtr<IAudioClock> clock;
    UINT64 position = 0;
    client->GetService(platform::kIidIAudioClock, clock.ReleaseAndGetVoidAddress());
    return SUCCEEDED(clock->GetPosition(&position, qpc)) ? position : ~0ull;
  }

  WAVEFORMATEXTENSIBLE mix_;
};

TEST_F(SharedTimingTest, PeriodsAreMultiplesOfTheFundamentalInRangeInTheMixFormatOnly) {
  audio().AddDevice(Render(L"spk", L"Speakers"));
  ComPtr<IAudioClient3> client = Client3(L"spk");
  UINT32 periods[4] = {};
  ASSERT_EQ(S_OK, client->GetSharedModeEnginePeriod(&mix_.Format, &periods[0], &periods[1],
                                                    &periods[2], &periods[3]));
  EXPECT_EQ((std::vector<UINT32>{480, 32, 128, 480}), std::vector<UINT32>(periods, periods + 4));
  const WAVEFORMATEXTENSIBLE pcm = virtual_audio::MakeWaveFormat(Pcm(48000, 2));

  EXPECT_EQ(E_INVALIDARG, client->InitializeSharedAudioStream(kEvents, 144, &mix_.Format, nullptr));
  EXPECT_EQ(E_INVALIDARG, client->InitializeSharedAudioStream(kEvents, 96, &mix_.Format, nullptr));
  EXPECT_EQ(E_INVALIDARG, client->InitializeSharedAudioStream(kEvents, 512, &mix_.Format, nullptr));
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->InitializeSharedAudioStream(kEvents, 128, &pcm.Format, nullptr));
  EXPECT_EQ(AUDCLNT_E_INVALID_STREAM_FLAG,
            client->InitializeSharedAudioStream(kEvents | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM, 128,
                                                &mix_.Format, nullptr));
  ASSERT_EQ(S_OK, client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  UINT32 buffer = 0;
  ASSERT_EQ(S_OK, client->GetBufferSize(&buffer));
  EXPECT_EQ(256u, buffer);
  EXPECT_EQ(26667, Latency(client.Get()));
}

TEST_F(SharedTimingTest, ASmallPeriodDrivesEverySharedStreamOnTheDeviceWhileItLives) {
  audio().AddDevice(Capture(L"mic", L"Microphone"));
  OpenStream before, after;
  OpenShared(L"mic", &before);
  ComPtr<IAudioClient3> small = Client3(L"mic");
  ASSERT_EQ(S_OK, small->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  OpenShared(L"mic", &after);
  EXPECT_EQ(26667, Latency(before.client.Get()));
  EXPECT_EQ(26667, Latency(after.client.Get()));
  EXPECT_EQ(128u, CurrentPeriod(L"mic"));
  // The stream opened at the default period ticks at the small one.
  EXPECT_EQ(26667, audio().StepClock());
  EXPECT_TRUE(before.Signalled());
  UINT32 frames = 0;
  ASSERT_EQ(S_OK, before.capture->GetNextPacketSize(&frames));
  EXPECT_EQ(128u, frames);

  small.Reset();
  EXPECT_EQ(480u, CurrentPeriod(L"mic"));
  EXPECT_EQ(100000, Latency(before.client.Get()));
  EXPECT_EQ(26667 + 100000, audio().StepClock());
}

TEST_F(SharedTimingTest, AnotherProgramsPeriodLocksTheEngineUntilAClientAsksForIt) {
  DeviceConfig spk = Render(L"spk", L"Speakers");
  spk.engine_period_held_frames = 256;
  audio().AddDevice(spk);
  EXPECT_EQ(256u, CurrentPeriod(L"spk"));
  ComPtr<IAudioClient3> client = Client3(L"spk");
  EXPECT_EQ(AUDCLNT_E_ENGINE_PERIODICITY_LOCKED,
            client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  EXPECT_EQ(S_OK, client->InitializeSharedAudioStream(kEvents, CurrentPeriod(L"spk"), &mix_.Format,
                                                      nullptr));
  OpenStream plain;
  OpenShared(L"spk", &plain);
  EXPECT_EQ(53333, Latency(plain.client.Get()));
}

TEST_F(SharedTimingTest, DevicesWithoutTheInterfaceAnswerAsOlderWindowsAndWineDo) {
  DeviceConfig old_windows = Render(L"old", L"Speakers");
  old_windows.audio_client3 = AudioClient3Support::kMissing;
  DeviceConfig wine = Render(L"wine", L"Speakers");
  wine.audio_client3 = AudioClient3Support::kNotImplemented;
  audio().AddDevice(old_windows);
  audio().AddDevice(wine);
  audio().AddDevice(Render(L"spk", L"Speakers"));

  ComPtr<IAudioClient3> client;
  EXPECT_EQ(E_NOINTERFACE, Client(L"old")->QueryInterface(platform::kIidIAudioClient2,
                                                          client.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(E_NOINTERFACE, Device(L"old")->Activate(platform::kIidIAudioClient3, CLSCTX_ALL,
                                                    nullptr, client.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, Device(L"wine")->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                                            client.ReleaseAndGetVoidAddress()));
  UINT32 period = 0;
  WAVEFORMATEX* format = nullptr;
  EXPECT_EQ(E_NOTIMPL, client->GetCurrentSharedModeEnginePeriod(&format, &period));
  EXPECT_EQ(E_NOTIMPL, client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));

  audio().FailCall("IAudioClient3::InitializeSharedAudioStream", AUDCLNT_E_DEVICE_IN_USE,
                   {L"spk", 1});
  client = Client3(L"spk");
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE,
            client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  EXPECT_EQ(S_OK, client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  EXPECT_EQ(128u, audio().Calls().back().period_frames);
  EXPECT_EQ(2, audio().CallCount("IAudioClient3::InitializeSharedAudioStream", L"spk"));
}

TEST_F(SharedTimingTest, RandomLatenessRepeatsWithItsSeedAndStaysWithinItsBound) {
  const std::vector<REFERENCE_TIME> first = Wakes(7);
  EXPECT_GT(audio().LateWakesApplied(L"mic").late_signals, 10u);
  EXPECT_LE(audio().LateWakesApplied(L"mic").largest, 3 * kMs);
  EXPECT_EQ(first, Wakes(7));
  EXPECT_NE(first, Wakes(8));
}

TEST_F(SharedTimingTest, ALateWakeIsAStepOfItsOwnAndWhatWasNotReadInTimeIsLost) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  // Three periods all signalled at 45 ms: one wake, and the hardware buffer holds two packets.
  mic.late_wakes.scripted = {LateWakes::Scripted{2, 25 * kMs}, LateWakes::Scripted{3, 15 * kMs},
                             LateWakes::Scripted{4, 5 * kMs}};
  audio().AddDevice(mic);
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  std::vector<std::vector<double>> channels;
  DWORD flags = 0;
  for (const REFERENCE_TIME step : {10 * kMs, 20 * kMs, 30 * kMs, 40 * kMs, 45 * kMs}) {
    ASSERT_EQ(step, audio().StepClock());
    EXPECT_EQ(step == 10 * kMs || step == 45 * kMs, stream.Signalled()) << "at " << step;
    if (step == 10 * kMs) ReadPacket(stream.capture.Get(), Pcm(48000, 1), &channels, &flags);
  }
  EXPECT_FALSE(stream.Signalled()) << "signals before the wake wake it once";
  BYTE* data = nullptr;
  UINT32 frames = 0;
  UINT64 position = 0, qpc = 0;
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, &position, &qpc));
  EXPECT_NE(0u, flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
  EXPECT_EQ(2u * 480u, position);
  EXPECT_EQ(static_cast<UINT64>(20 * kMs), qpc) << "captured from the end of period 2";
  EXPECT_EQ(1, audio().CaptureOverruns(L"mic"));
  EXPECT_EQ(3u, audio().LateWakesApplied(L"mic").late_signals);
  EXPECT_EQ(25 * kMs, audio().LateWakesApplied(L"mic").largest);

  // The speakers' first wake comes after the second period has begun: it plays silence.
  DeviceConfig spk = Render(L"spk", L"Speakers");
  spk.late_wakes.scripted = {LateWakes::Scripted{1, 15 * kMs}};
  audio().AddDevice(spk);
  OpenStream render;
  Open(L"spk", Pcm(48000, 2), &render, /*start=*/false);
  for (bool first = true; audio().ClockTime() < 80 * kMs; audio().StepClock(), first = false) {
    UINT32 padding = 0;
    ASSERT_EQ(S_OK, render.client->GetCurrentPadding(&padding));
    if ((first || render.Signalled()) && padding == 0) {
      ASSERT_EQ(S_OK, render.render->GetBuffer(480, &data));
      std::memset(data, 0, 480 * 4);
      ASSERT_EQ(S_OK, render.render->ReleaseBuffer(480, 0));
    }
    if (first) {
      ASSERT_EQ(S_OK, render.client->Start());
    }
  }
  EXPECT_EQ(1, audio().RenderUnderruns(L"spk"));
}

TEST_F(SharedTimingTest, ARenderFrameIsHeardWhenTheStreamClockSays) {
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
}

TEST_F(SharedTimingTest, JitterMovesOnlyTheTimesWithinItsBoundAveragesOutAndRepeatsWithItsSeed) {
  const std::string mic = "format 48000 1 16\ntime-jitter 20000 seed 5\n";
  ASSERT_TRUE(audio().ParseConfig("device a\n" + mic + "device b\n" + mic));
  OpenStream a, b;
  Open(L"a", Pcm(48000, 1), &a);
  Open(L"b", Pcm(48000, 1), &b);
  std::vector<std::vector<double>> channels;
  DWORD flags = 0;
  std::vector<REFERENCE_TIME> offsets[2];  // of packet times and of position times at their ends
  for (UINT64 qpc = 0; offsets[1].size() < 800;) {
    const REFERENCE_TIME now = audio().StepClock();
    for (OpenStream* stream : {&a, &b}) {
      std::vector<REFERENCE_TIME>& found = offsets[stream == &b];
      ReadPacket(stream->capture.Get(), Pcm(48000, 1), &channels, &flags, nullptr, &qpc);
      found.push_back(static_cast<REFERENCE_TIME>(qpc) - now + 10 * kMs);
      EXPECT_EQ(now / (10 * kMs) * 480, Position(stream->client.Get(), &qpc)) << "stays exact";
      found.push_back(static_cast<REFERENCE_TIME>(qpc) - now);
    }
  }
  const auto range = std::minmax_element(offsets[0].begin(), offsets[0].end());
  EXPECT_NEAR(19500, std::max(-*range.first, *range.second), 500) << "reaching near the bound";
  EXPECT_NEAR(0.0, std::accumulate(offsets[0].begin(), offsets[0].end(), 0.0) / 800, 2000);
  const auto spread = [](double sum, REFERENCE_TIME offset) { return sum + std::abs(offset); };
  EXPECT_NEAR(10000, std::accumulate(offsets[0].begin(), offsets[0].end(), 0.0, spread) / 800,
              1000);
  EXPECT_EQ(1, offsets[0][0]) << "captured at 0, the first packet's time is still no 0 (unknown)";
  EXPECT_EQ(offsets[0], offsets[1]) << "the same seed, the same amounts";
}

TEST_F(SharedTimingTest, SteppedSharedPositionsHoldThroughEachPassLateStartsSkipTheFirstHeard) {
  ASSERT_TRUE(
      audio().ParseConfig("device mic\nposition stepped\ndevice spk\nflow render\n"
                          "format 48000 2 16\nposition late-start\nposition stepped"));
  OpenStream shared, exclusive;  // an exclusive stream starts late but is not stepped
  OpenShared(L"mic", &shared);
  Open(L"spk", Pcm(48000, 2), &exclusive);
  audio().AdvanceClock(5 * kMs);
  for (const UINT64 late : {0u, 0u, 240u, 720u}) {  // at 5, 15, 25, 35 ms; smooth: 0 240 720 1200
    const UINT64 passes = static_cast<UINT64>(audio().ClockTime() / (10 * kMs));
    EXPECT_EQ(passes * 480 * 8, Position(shared.client.Get()))
        << "bytes at " << audio().ClockTime();
    EXPECT_EQ(late, Position(exclusive.client.Get())) << "at " << audio().ClockTime();
    audio().AdvanceClock(10 * kMs);
  }
}

TEST_F(SharedTimingTest, RealTimePacketTimesAreOnThePerformanceCounter) {
  audio().SetClockMode(ClockMode::kRealTime);
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stream.event, 10000));
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 qpc = 0;
  ASSERT_EQ(S_OK, stream.capture->GetBuffer(&data, &frames, &flags, nullptr, &qpc));
  LARGE_INTEGER count, frequency;
  ASSERT_TRUE(QueryPerformanceCounter(&count) && QueryPerformanceFrequency(&frequency));
  const double now = static_cast<double>(count.QuadPart) * 1e7 / frequency.QuadPart;
  EXPECT_LT(static_cast<double>(qpc), now);
  EXPECT_GT(static_cast<double>(qpc), now - 100000000) << "within 10 s of the reading";
}

}  // namespace
}  // namespace virtual_audio_test
