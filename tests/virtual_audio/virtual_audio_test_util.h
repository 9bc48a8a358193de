// Small helpers shared by the virtual endpoint tests.
#ifndef TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_
#define TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "platform/audio_guids.h"
#include "platform/com_ptr.h"
#include "platform/win32.h"
#include "standins/audio/virtual_audio.h"

namespace virtual_audio_test {

using platform::ComPtr;
using virtual_audio::DeviceConfig;
using virtual_audio::DeviceText;
using virtual_audio::Format;

inline Format Pcm(uint32_t rate, uint16_t channels, uint16_t bits = 16, uint16_t valid = 0) {
  return Format{rate, channels, bits, valid == 0 ? bits : valid, false};
}
inline Format Float32(uint32_t rate, uint16_t channels) {
  return Format{rate, channels, 32, 32, true};
}

inline DeviceConfig Capture(const std::wstring& id, const std::wstring& name) {
  DeviceConfig config;
  config.id = id;
  config.flow = eCapture;
  config.friendly_name = DeviceText::String(name);
  config.description = DeviceText::String(L"USB Audio Device");
  config.exclusive_formats = {Pcm(48000, 1), Pcm(48000, 2)};
  return config;
}

inline DeviceConfig Render(const std::wstring& id, const std::wstring& name) {
  DeviceConfig config = Capture(id, name);
  config.flow = eRender;
  config.exclusive_formats = {Pcm(48000, 2)};
  return config;
}

// COM in the multithreaded apartment for the test's thread, and a fresh system.
class VirtualAudioTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    audio_.reset();
    CoUninitialize();
  }

  virtual_audio::VirtualAudio& audio() { return *audio_; }

  ComPtr<IMMDevice> Device(const std::wstring& id) {
    ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
    ComPtr<IMMDevice> device;
    EXPECT_EQ(S_OK, enumerator->GetDevice(id.c_str(), device.ReleaseAndGetAddressOf()));
    return device;
  }

  ComPtr<IAudioClient> Client(const std::wstring& id) {
    ComPtr<IAudioClient> client;
    EXPECT_EQ(S_OK, Device(id)->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                         client.ReleaseAndGetVoidAddress()));
    return client;
  }

  // Initialize in exclusive event mode with `duration` as buffer and period.
  static HRESULT InitExclusive(IAudioClient* client, const Format& format,
                               REFERENCE_TIME duration) {
    const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(format);
    return client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                              duration, duration, &wave.Format, nullptr);
  }

  std::unique_ptr<virtual_audio::VirtualAudio> audio_ =
      std::make_unique<virtual_audio::VirtualAudio>();
};

}  // namespace virtual_audio_test

#endif  // TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_
