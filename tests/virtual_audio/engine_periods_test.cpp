// Shared streams at small engine periods (IAudioClient3), the periodicity lock, and devices
// without the interface.
#include <string>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::AudioClient3Support;
using virtual_audio::ClockMode;

constexpr DWORD kEvents = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;

class EnginePeriodsTest : public VirtualAudioTest {
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

  // A started stream at `period` frames through InitializeSharedAudioStream.
  void OpenSmall(const std::wstring& id, UINT32 period, OpenStream* stream) {
    ComPtr<IAudioClient3> client = Client3(id);
    ASSERT_EQ(S_OK, client->InitializeSharedAudioStream(kEvents, period, &mix_.Format, nullptr));
    stream->client.Assign(client.Get());
    stream->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(S_OK, stream->client->SetEventHandle(stream->event));
    ASSERT_EQ(S_OK, stream->client->Start());
  }

  static REFERENCE_TIME Latency(IAudioClient* client) {
    REFERENCE_TIME latency = 0;
    EXPECT_EQ(S_OK, client->GetStreamLatency(&latency));
    return latency;
  }

  UINT32 CurrentPeriod(const std::wstring& id) {
    WAVEFORMATEX* format = nullptr;
    UINT32 period = 0;
    EXPECT_EQ(S_OK, Client3(id)->GetCurrentSharedModeEnginePeriod(&format, &period));
    EXPECT_NE(nullptr, format);
    CoTaskMemFree(format);
    return period;
  }

  WAVEFORMATEXTENSIBLE mix_;
};

TEST_F(EnginePeriodsTest, PeriodsAreMultiplesOfTheFundamentalInRangeInTheMixFormatOnly) {
  audio().AddDevice(Render(L"spk", L"Speakers"));
  ComPtr<IAudioClient3> client = Client3(L"spk");
  UINT32 periods[4] = {};
  ASSERT_EQ(S_OK, client->GetSharedModeEnginePeriod(&mix_.Format, &periods[0], &periods[1],
                                                    &periods[2], &periods[3]));
  EXPECT_EQ(480u, periods[0]);
  EXPECT_EQ(32u, periods[1]);
  EXPECT_EQ(128u, periods[2]);
  EXPECT_EQ(480u, periods[3]);
  const WAVEFORMATEXTENSIBLE pcm = virtual_audio::MakeWaveFormat(Pcm(48000, 2));
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->GetSharedModeEnginePeriod(&pcm.Format, &periods[0], &periods[1], &periods[2],
                                              &periods[3]));
  EXPECT_EQ(0u, periods[0]);

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

TEST_F(EnginePeriodsTest, ASmallPeriodDrivesEverySharedStreamOnTheDeviceWhileItLives) {
  audio().AddDevice(Capture(L"mic", L"Microphone"));
  OpenStream before, small, after;
  OpenShared(L"mic", &before);
  EXPECT_EQ(100000, Latency(before.client.Get()));
  OpenSmall(L"mic", 128, &small);
  OpenShared(L"mic", &after);
  EXPECT_EQ(26667, Latency(before.client.Get()));
  EXPECT_EQ(26667, Latency(after.client.Get()));
  EXPECT_EQ(128u, CurrentPeriod(L"mic"));
  // The stream opened at the default period keeps pace with the small one.
  EXPECT_EQ(26667, audio().StepClock());
  EXPECT_TRUE(before.Signalled());
  EXPECT_TRUE(small.Signalled());
  UINT32 frames = 0;
  ASSERT_EQ(S_OK, before.capture->GetNextPacketSize(&frames));
  EXPECT_EQ(128u, frames);

  small.client->Stop();
  small.client.Reset();
  EXPECT_EQ(480u, CurrentPeriod(L"mic"));
  EXPECT_EQ(100000, Latency(before.client.Get()));
  EXPECT_EQ(26667 + 100000, audio().StepClock());
}

TEST_F(EnginePeriodsTest, AnotherProgramsPeriodLocksTheEngineUntilAClientAsksForIt) {
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

TEST_F(EnginePeriodsTest, DevicesWithoutTheInterfaceAnswerAsOlderWindowsAndWineDo) {
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
  EXPECT_FALSE(client);
  ASSERT_EQ(S_OK, Device(L"wine")->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                                            client.ReleaseAndGetVoidAddress()));
  UINT32 period = 0;
  WAVEFORMATEX* format = nullptr;
  EXPECT_EQ(E_NOTIMPL, client->GetCurrentSharedModeEnginePeriod(&format, &period));
  EXPECT_EQ(E_NOTIMPL, client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  BOOL offload = TRUE;
  EXPECT_EQ(S_OK, client->IsOffloadCapable(AudioCategory_Media, &offload));
  EXPECT_FALSE(offload);

  audio().FailCall("IAudioClient3::InitializeSharedAudioStream", AUDCLNT_E_DEVICE_IN_USE,
                   {L"spk", 1});
  client = Client3(L"spk");
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE,
            client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  EXPECT_EQ(S_OK, client->InitializeSharedAudioStream(kEvents, 128, &mix_.Format, nullptr));
  const virtual_audio::CallRecord last = audio().Calls().back();
  EXPECT_EQ("IAudioClient3::InitializeSharedAudioStream", last.method);
  EXPECT_EQ(128u, last.period_frames);
  EXPECT_EQ(2, audio().CallCount("IAudioClient3::InitializeSharedAudioStream", L"spk"));
}

}  // namespace
}  // namespace virtual_audio_test
