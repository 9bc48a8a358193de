// Small helpers shared by the virtual endpoint tests.
#ifndef TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_
#define TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_

#include <memory>
#include <string>
#include <vector>

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

constexpr REFERENCE_TIME kMs = 10000;  // 100 ns units

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

// One initialised event-driven stream with its event and service client, stopped and released
// in order at the end of the scope.
struct OpenStream {
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  ComPtr<IAudioRenderClient> render;
  HANDLE event = nullptr;
  UINT32 frames = 0;

  OpenStream() = default;
  OpenStream(const OpenStream&) = delete;
  OpenStream& operator=(const OpenStream&) = delete;
  ~OpenStream() {
    if (client) client->Stop();
    capture.Reset();
    render.Reset();
    client.Reset();
    if (event != nullptr) CloseHandle(event);
  }
  bool Signalled() const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

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
  static HRESULT InitExclusive(IAudioClient* client, const WAVEFORMATEX* wave,
                               REFERENCE_TIME duration) {
    return client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                              duration, duration, wave, nullptr);
  }
  static HRESULT InitExclusive(IAudioClient* client, const Format& format,
                               REFERENCE_TIME duration) {
    const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(format);
    return client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                              duration, duration, &wave.Format, nullptr);
  }

  // Opens (and, with `start`, starts) an exclusive event-driven stream of `duration`.
  void Open(const std::wstring& id, const Format& format, OpenStream* stream, bool start = true,
            REFERENCE_TIME duration = 100000) {
    stream->client = Client(id);
    ASSERT_EQ(S_OK, InitExclusive(stream->client.Get(), format, duration));
    Attach(stream, start);
  }

  // The same in shared mode, in the device's mix format.
  void OpenShared(const std::wstring& id, OpenStream* stream, bool start = true) {
    stream->client = Client(id);
    WAVEFORMATEX* mix = nullptr;
    ASSERT_EQ(S_OK, stream->client->GetMixFormat(&mix));
    const HRESULT hr = stream->client->Initialize(
        AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix, nullptr);
    CoTaskMemFree(mix);
    ASSERT_EQ(S_OK, hr);
    Attach(stream, start);
  }

  // Reads one packet as doubles per channel; false when none is queued.
  static bool ReadPacket(IAudioCaptureClient* capture, const Format& format,
                         std::vector<std::vector<double>>* channels, DWORD* flags,
                         UINT64* position = nullptr, UINT64* qpc = nullptr) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    const HRESULT hr = capture->GetBuffer(&data, &frames, flags, position, qpc);
    if (hr != S_OK) return false;
    channels->assign(format.channels, {});
    // Decoded through a one-buffer recording so the test does not restate the sample codec.
    virtual_audio::RenderedAudio packet;
    packet.format = format;
    packet.bytes.assign(data, data + frames * format.BlockAlign());
    for (int c = 0; c < format.channels; ++c) (*channels)[c] = packet.Channel(c);
    EXPECT_EQ(S_OK, capture->ReleaseBuffer(frames));
    return true;
  }

  std::unique_ptr<virtual_audio::VirtualAudio> audio_ =
      std::make_unique<virtual_audio::VirtualAudio>();

 private:
  static void Attach(OpenStream* stream, bool start) {
    stream->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(S_OK, stream->client->SetEventHandle(stream->event));
    ASSERT_EQ(S_OK, stream->client->GetBufferSize(&stream->frames));
    // Only the service of the stream's direction exists; the other request fails.
    stream->client->GetService(platform::kIidIAudioCaptureClient,
                               stream->capture.ReleaseAndGetVoidAddress());
    stream->client->GetService(platform::kIidIAudioRenderClient,
                               stream->render.ReleaseAndGetVoidAddress());
    if (start) {
      ASSERT_EQ(S_OK, stream->client->Start());
    }
  }
};

}  // namespace virtual_audio_test

#endif  // TESTS_VIRTUAL_AUDIO_VIRTUAL_AUDIO_TEST_UTIL_H_
