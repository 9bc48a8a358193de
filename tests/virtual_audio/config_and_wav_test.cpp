// The configuration text of the DLL build, and WAV files read from untrusted bytes.
#include <string>
#include <vector>

#include "standins/audio/wav_file.h"
#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

std::wstring FriendlyName(IMMDevice* device, VARTYPE* type) {
  ComPtr<IPropertyStore> store;
  EXPECT_EQ(S_OK, device->OpenPropertyStore(STGM_READ, store.ReleaseAndGetAddressOf()));
  PROPVARIANT value;
  PropVariantInit(&value);
  EXPECT_EQ(S_OK, store->GetValue(platform::kPkeyDeviceFriendlyName, &value));
  *type = value.vt;
  std::wstring text = value.vt == VT_LPWSTR ? value.pwszVal : L"";
  PropVariantClear(&value);
  return text;
}

TEST_F(VirtualAudioTest, ConfigurationTextBuildsDevicesAndReportsBadLines) {
  const std::string text =
      "# guitar and speakers\n"
      "clock manual\n"
      "device guitar\n"
      "  name Rocksmith Guitar Adapter \xE2\x99\xAA\n"
      "  description-not-string\n"
      "  format 44100 2 16\n"
      "  format 48000 1 32 valid 24\n"
      "  period 100000 30000\n"
      "  alignment 64\n"
      "  source sine 440 0.5\n"
      "device hdmi\n"
      "  flow render\n"
      "  name-missing\n"
      "device speakers\r\n"
      "  flow render\n"
      "  name Speakers\n"
      "  mix 44100 2\n"
      "  exclusive-not-allowed\n"
      "  default\n"
      "  bogus line\n"
      "fail IAudioClient::Start 0x88890004 device speakers nth 1\n";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(audio().ParseConfig(text));
  EXPECT_EQ("virtual_audio: configuration line 20 not understood:   bogus line\n",
            testing::internal::GetCapturedStderr());

  VARTYPE type = VT_EMPTY;
  EXPECT_EQ(L"Rocksmith Guitar Adapter \u266A", FriendlyName(Device(L"guitar").Get(), &type));
  FriendlyName(Device(L"hdmi").Get(), &type);
  EXPECT_EQ(VT_EMPTY, type);

  ComPtr<IAudioClient> guitar = Client(L"guitar");
  for (const Format& format : {Pcm(44100, 2), Pcm(48000, 1, 32, 24)}) {
    const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(format);
    EXPECT_EQ(S_OK, guitar->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr));
  }
  EXPECT_EQ(AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED, InitExclusive(guitar.Get(), Pcm(44100, 2), 100000));

  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  ComPtr<IMMDevice> output;
  ASSERT_EQ(S_OK, enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                      output.ReleaseAndGetAddressOf()));
  EXPECT_EQ(L"Speakers", FriendlyName(output.Get(), &type));

  ComPtr<IAudioClient> speakers = Client(L"speakers");
  WAVEFORMATEX* mix = nullptr;
  ASSERT_EQ(S_OK, speakers->GetMixFormat(&mix));
  EXPECT_EQ(44100u, mix->nSamplesPerSec);
  EXPECT_EQ(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED,
            speakers->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 100000, 100000, mix, nullptr));
  ASSERT_EQ(S_OK, speakers->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                       0, 0, mix, nullptr));
  CoTaskMemFree(mix);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, speakers->SetEventHandle(event));
  EXPECT_EQ(AUDCLNT_E_DEVICE_INVALIDATED, speakers->Start());
  EXPECT_EQ(S_OK, speakers->Start());
  speakers->Stop();
  CloseHandle(event);
}

TEST_F(VirtualAudioTest, ConfigurationLinesForRemovalClockRateRecordingCallLogAndExclusivePolicy) {
  const std::string text =
      "clock manual\n"
      "call-log off\n"
      "device spk\n"
      "  flow render\n"
      "  clock-ppm 300\n"
      "  record limit 960\n"
      "  remove after-periods 4\n"
      "  return after-ms 15\n"
      "device hdmi\n"
      "  flow render\n"
      "  record off\n"
      "device mic\n"
      "  exclusive-not-allowed\n"
      "  remove at-ms 25\n"
      "  clock-ppm 1500\n"
      "  remove after-periods soon\n"
      "  record limit -5\n"
      "  return after-ms\n"
      "  record everything\n"
      "call-log sometimes\n";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(audio().ParseConfig(text));
  EXPECT_EQ(
      "virtual_audio: configuration line 15 not understood:   clock-ppm 1500\n"
      "virtual_audio: configuration line 16 not understood:   remove after-periods soon\n"
      "virtual_audio: configuration line 17 not understood:   record limit -5\n"
      "virtual_audio: configuration line 18 not understood:   return after-ms\n"
      "virtual_audio: configuration line 19 not understood:   record everything\n"
      "virtual_audio: configuration line 20 not understood: call-log sometimes\n",
      testing::internal::GetCapturedStderr());

  const auto state = [&](const wchar_t* id) {
    DWORD value = 0;
    EXPECT_EQ(S_OK, Device(id)->GetState(&value));
    return value;
  };
  ComPtr<IAudioClient> mic = Client(L"mic");
  const WAVEFORMATEXTENSIBLE mono = virtual_audio::MakeWaveFormat(Pcm(48000, 1));
  EXPECT_EQ(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED,
            mic->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &mono.Format, nullptr));
  ComPtr<IAudioClient> clients[2] = {Client(L"spk"), Client(L"hdmi")};
  HANDLE events[2] = {};
  for (int i = 0; i < 2; ++i) {
    WAVEFORMATEX* mix = nullptr;
    ASSERT_EQ(S_OK, clients[i]->GetMixFormat(&mix));
    ASSERT_EQ(S_OK, clients[i]->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                           AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix, nullptr));
    CoTaskMemFree(mix);
    events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(S_OK, clients[i]->SetEventHandle(events[i]));
    ASSERT_EQ(S_OK, clients[i]->Start());
  }

  // At +300 ppm four 10 ms periods end at 39.988 ms, before a true 40 ms: then the speakers
  // leave, and return 15 ms later. The microphone left at 25 ms for good.
  audio().AdvanceClock(399900);
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, state(L"spk"));
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, state(L"mic"));
  EXPECT_EQ(DEVICE_STATE_ACTIVE, state(L"hdmi"));
  audio().AdvanceClock(549879 - 399900);
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, state(L"spk"));
  audio().AdvanceClock(1);
  EXPECT_EQ(DEVICE_STATE_ACTIVE, state(L"spk"));
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, state(L"mic"));

  const virtual_audio::RenderedAudio spk = audio().Rendered(L"spk");
  EXPECT_EQ(960u, spk.FrameCount());
  EXPECT_EQ(4u * 480u, spk.underrun_frames);
  EXPECT_EQ(960u, spk.unrecorded_frames);
  const virtual_audio::RenderedAudio hdmi = audio().Rendered(L"hdmi");
  EXPECT_EQ(0u, hdmi.FrameCount());
  EXPECT_EQ(5u * 480u, hdmi.unrecorded_frames);  // 10 ms periods in 54.988 ms
  // Without the call log the calls are still counted.
  EXPECT_TRUE(audio().Calls().empty());
  EXPECT_EQ(2, audio().CallCount("IAudioClient::Initialize"));
  for (int i = 0; i < 2; ++i) {
    clients[i]->Stop();
    clients[i].Reset();
    CloseHandle(events[i]);
  }
}

std::vector<uint8_t> WavImage() {
  // 48000 Hz stereo 16-bit, three frames.
  return virtual_audio::BuildWav(Pcm(48000, 2), std::vector<uint8_t>(12, 0x11));
}

void PutLe32(std::vector<uint8_t>* image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*image)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(WavFileTest, ReadsWhatItWritesAndChecksEveryLength) {
  virtual_audio::WavData wav;
  std::vector<uint8_t> image = WavImage();
  ASSERT_TRUE(virtual_audio::ParseWav(image, &wav));
  EXPECT_EQ(Pcm(48000, 2), wav.format);
  EXPECT_EQ(12u, wav.frames.size());

  // A data chunk cut short keeps only the whole frames present.
  std::vector<uint8_t> cut(image.begin(), image.end() - 3);
  ASSERT_TRUE(virtual_audio::ParseWav(cut, &wav));
  EXPECT_EQ(8u, wav.frames.size());

  // A fmt chunk longer than the file, or absurdly long, is refused without reading past the end.
  std::vector<uint8_t> long_fmt = image;
  PutLe32(&long_fmt, 16, 0xFFFFFFF0u);
  EXPECT_FALSE(virtual_audio::ParseWav(long_fmt, &wav));
  std::vector<uint8_t> short_fmt = image;
  PutLe32(&short_fmt, 16, 8);
  EXPECT_FALSE(virtual_audio::ParseWav(short_fmt, &wav));
  // A block align that does not match the channels and bits.
  std::vector<uint8_t> bad_align = image;
  bad_align[32] = 3;
  EXPECT_FALSE(virtual_audio::ParseWav(bad_align, &wav));
  for (size_t size = 0; size < 44; ++size) {
    EXPECT_FALSE(
        virtual_audio::ParseWav(std::vector<uint8_t>(image.begin(), image.begin() + size), &wav))
        << size << " bytes";
  }
}

TEST_F(VirtualAudioTest, ConfigurationLinesForEnginePeriodsInterfacesAndLateWakes) {
  const std::string text =
      "clock manual\n"
      "device spk\n"
      "  flow render\n"
      "  engine-periods 48 144 960\n"
      "  engine-period-held 192\n"
      "device old\n"
      "  audio-client3 missing\n"
      "device mic\n"
      "  format 48000 1 16\n"
      "  late-wakes 20000 seed 9\n"
      "  late-wake 1 50000\n"
      "  late-wakes -1 seed 2\n"
      "  audio-client3 maybe\n";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(audio().ParseConfig(text));
  EXPECT_EQ(
      "virtual_audio: configuration line 12 not understood:   late-wakes -1 seed 2\n"
      "virtual_audio: configuration line 13 not understood:   audio-client3 maybe\n",
      testing::internal::GetCapturedStderr());

  ComPtr<IAudioClient3> spk;
  ASSERT_EQ(S_OK, Device(L"spk")->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                                           spk.ReleaseAndGetVoidAddress()));
  const WAVEFORMATEXTENSIBLE mix = virtual_audio::MakeWaveFormat(Float32(48000, 2));
  UINT32 periods[4] = {};
  ASSERT_EQ(S_OK, spk->GetSharedModeEnginePeriod(&mix.Format, &periods[0], &periods[1], &periods[2],
                                                 &periods[3]));
  EXPECT_EQ((std::vector<UINT32>{480, 48, 144, 960}), std::vector<UINT32>(periods, periods + 4));
  EXPECT_EQ(AUDCLNT_E_ENGINE_PERIODICITY_LOCKED,
            spk->InitializeSharedAudioStream(0, 144, &mix.Format, nullptr));
  EXPECT_EQ(E_NOINTERFACE, Client(L"old")->QueryInterface(platform::kIidIAudioClient3,
                                                          spk.ReleaseAndGetVoidAddress()));

  OpenStream mic;
  Open(L"mic", Pcm(48000, 1), &mic);
  EXPECT_EQ(100000, audio().StepClock());
  EXPECT_FALSE(mic.Signalled());
  EXPECT_EQ(150000, audio().StepClock());
  EXPECT_TRUE(mic.Signalled());
}

}  // namespace
}  // namespace virtual_audio_test
