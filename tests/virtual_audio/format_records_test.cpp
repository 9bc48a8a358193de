// Exclusive mode reads the whole wave-format record, as drivers do, and the call log keeps what
// the caller passed.
#include <functional>
#include <string>
#include <vector>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

class FormatRecordTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    DeviceConfig mic = Capture(L"mic", L"Guitar");
    mic.exclusive_formats = {Pcm(48000, 2), Pcm(48000, 1, 32, 24), Float32(48000, 2)};
    audio().AddDevice(mic);
  }

  // Both exclusive calls, each on a fresh client; they must agree.
  HRESULT Exclusive(const WAVEFORMATEX* wave) {
    const HRESULT probe =
        Client(L"mic")->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, wave, nullptr);
    const HRESULT init = InitExclusive(Client(L"mic").Get(), wave, 100000);
    EXPECT_EQ(probe, init);
    return init;
  }
};

TEST_F(FormatRecordTest, EachFieldThatDisagreesWithTheRecordIsRefusedOnItsOwn) {
  struct Case {
    const char* what;
    Format base;
    std::function<void(WAVEFORMATEXTENSIBLE&)> spoil;
  };
  const Case cases[] = {
      {"plain PCM tag with an extensible tail", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.Format.wFormatTag = WAVE_FORMAT_PCM; }},
      {"cbSize 0", Pcm(48000, 2), [](WAVEFORMATEXTENSIBLE& w) { w.Format.cbSize = 0; }},
      {"cbSize 24", Pcm(48000, 2), [](WAVEFORMATEXTENSIBLE& w) { w.Format.cbSize = 24; }},
      {"unknown tag", Pcm(48000, 2), [](WAVEFORMATEXTENSIBLE& w) { w.Format.wFormatTag = 0x55; }},
      {"float sub-format on integer data", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.SubFormat = platform::kSubtypeIeeeFloat; }},
      {"PCM sub-format on float data", Float32(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.SubFormat = platform::kSubtypePcm; }},
      {"other sub-format", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.SubFormat.Data1 ^= 0x100; }},
      {"valid bits 0", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.Samples.wValidBitsPerSample = 0; }},
      {"valid bits above the container", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.Samples.wValidBitsPerSample = 20; }},
      {"valid bits other than the listed format's", Pcm(48000, 1, 32, 24),
       [](WAVEFORMATEXTENSIBLE& w) { w.Samples.wValidBitsPerSample = 20; }},
      {"channel mask with too few bits", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.dwChannelMask = SPEAKER_FRONT_LEFT; }},
      {"channel mask with too many bits", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.dwChannelMask = 0x7; }},
      {"no channel mask", Pcm(48000, 1, 32, 24),
       [](WAVEFORMATEXTENSIBLE& w) { w.dwChannelMask = 0; }},
      {"bits per sample other than the container", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.Format.wBitsPerSample = 24; }},
      {"block align", Pcm(48000, 2), [](WAVEFORMATEXTENSIBLE& w) { w.Format.nBlockAlign = 2; }},
      {"average bytes per second", Pcm(48000, 2),
       [](WAVEFORMATEXTENSIBLE& w) { w.Format.nAvgBytesPerSec = 96000; }},
  };
  for (const Case& c : cases) {
    WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(c.base);
    ASSERT_EQ(S_OK, Exclusive(&wave.Format)) << c.what << ": the unspoilt record";
    c.spoil(wave);
    EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT, Exclusive(&wave.Format)) << c.what;
  }
}

TEST_F(FormatRecordTest, PlainRecordsAreTakenForMonoAndStereoOnly) {
  WAVEFORMATEX pcm = {};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = 2;
  pcm.nSamplesPerSec = 48000;
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = 4;
  pcm.nAvgBytesPerSec = 192000;
  EXPECT_EQ(S_OK, Exclusive(&pcm));
  WAVEFORMATEX ieee = pcm;
  ieee.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  ieee.wBitsPerSample = 32;
  ieee.nBlockAlign = 8;
  ieee.nAvgBytesPerSec = 384000;
  EXPECT_EQ(S_OK, Exclusive(&ieee));
  pcm.cbSize = 22;  // a plain record has no tail to announce
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT, Exclusive(&pcm));

  // Without a speaker layout more channels are refused, in shared mode too.
  DeviceConfig surround = Render(L"surround", L"Surround");
  surround.mix_format = Float32(48000, 6);
  audio().AddDevice(surround);
  ComPtr<IAudioClient> client = Client(L"surround");
  WAVEFORMATEXTENSIBLE mix = virtual_audio::MakeWaveFormat(Float32(48000, 6));
  EXPECT_EQ(S_OK, client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &mix.Format, nullptr));
  WAVEFORMATEX plain = mix.Format;
  plain.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  plain.cbSize = 0;
  WAVEFORMATEX* closest = nullptr;
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &plain, &closest));
  EXPECT_EQ(nullptr, closest);
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                               &plain, nullptr));
}

TEST_F(FormatRecordTest, CallLogKeepsTheRawRecordTheCallerPassed) {
  WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(Pcm(48000, 1, 32, 24));
  wave.dwChannelMask = 0x3;  // two speakers for one channel
  ComPtr<IAudioClient> client = Client(L"mic");
  audio().ClearCalls();
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT, InitExclusive(client.Get(), &wave.Format, 100000));
  client = Client(L"mic");
  EXPECT_EQ(E_POINTER, InitExclusive(client.Get(), static_cast<WAVEFORMATEX*>(nullptr), 100000));

  std::vector<virtual_audio::CallRecord> inits;
  for (const auto& call : audio().Calls()) {
    if (call.method == "IAudioClient::Initialize") inits.push_back(call);
  }
  ASSERT_EQ(2u, inits.size());
  EXPECT_TRUE(inits[0].has_record);
  EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, inits[0].format_tag);
  EXPECT_EQ(22, inits[0].cb_size);
  EXPECT_EQ(24, inits[0].valid_bits);
  EXPECT_EQ(0x3u, inits[0].channel_mask);
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT, inits[0].result);
  EXPECT_FALSE(inits[1].has_record);
  EXPECT_EQ(0, inits[1].format_tag);
}

}  // namespace
}  // namespace virtual_audio_test
