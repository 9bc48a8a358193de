// virtual_audio.dll as the prefix's server of CLSID_MMDeviceEnumerator, reached the way the
// engine reaches it: the real CoCreateInstance on a multithreaded-apartment thread. The
// virtual_audio_dll_register test registers the DLL first.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/audio_guids.h"
#include "platform/com_ptr.h"
#include "platform/win32.h"

namespace {

using platform::ComPtr;

std::string TempPath(const char* name) {
  char directory[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, directory);
  return std::string(directory) + name;
}

WAVEFORMATEXTENSIBLE Pcm16(DWORD rate, WORD channels) {
  WAVEFORMATEXTENSIBLE wave = {};
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = channels;
  wave.Format.nSamplesPerSec = rate;
  wave.Format.nBlockAlign = static_cast<WORD>(2 * channels);
  wave.Format.nAvgBytesPerSec = rate * wave.Format.nBlockAlign;
  wave.Format.wBitsPerSample = 16;
  wave.Format.cbSize = 22;
  wave.Samples.wValidBitsPerSample = 16;
  wave.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : 3;
  wave.SubFormat = platform::kSubtypePcm;
  return wave;
}

class DllClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    output_ = TempPath("virtual_audio_dll_output.wav");
    std::remove(output_.c_str());
    const std::string config = TempPath("virtual_audio_dll.conf");
    std::ofstream(config) << "device guitar\n"
                             "  name Rocksmith Guitar Adapter\n"
                             "  format 48000 1 16\n"
                             "  source sine 1000 0.5\n"
                             "device speakers\n"
                             "  flow render\n"
                             "  name Speakers\n"
                             "  format 48000 2 16\n"
                             "  output "
                          << output_ << "\n";
    SetEnvironmentVariableA("TONELARK_VIRTUAL_AUDIO_CONFIG", config.c_str());
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  }
  void TearDown() override { CoUninitialize(); }

  std::string output_;
};

TEST_F(DllClientTest, EngineStyleSetUpReachesTheConfiguredDevices) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ASSERT_EQ(S_OK, CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   platform::kIidIMMDeviceEnumerator,
                                   enumerator.ReleaseAndGetVoidAddress()));
  ComPtr<IMMDeviceCollection> devices;
  ASSERT_EQ(S_OK, enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                 devices.ReleaseAndGetAddressOf()));
  UINT count = 0;
  ASSERT_EQ(S_OK, devices->GetCount(&count));
  ASSERT_EQ(1u, count);
  ComPtr<IMMDevice> guitar;
  ASSERT_EQ(S_OK, devices->Item(0, guitar.ReleaseAndGetAddressOf()));
  ComPtr<IPropertyStore> store;
  ASSERT_EQ(S_OK, guitar->OpenPropertyStore(STGM_READ, store.ReleaseAndGetAddressOf()));
  PROPVARIANT name;
  PropVariantInit(&name);
  ASSERT_EQ(S_OK, store->GetValue(platform::kPkeyDeviceFriendlyName, &name));
  ASSERT_EQ(VT_LPWSTR, name.vt);
  EXPECT_EQ(std::wstring(L"Rocksmith Guitar Adapter"), name.pwszVal);
  PropVariantClear(&name);

  // Capture in exclusive event mode with the real clock.
  ComPtr<IAudioClient> capture;
  ASSERT_EQ(S_OK, guitar->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                   capture.ReleaseAndGetVoidAddress()));
  const WAVEFORMATEXTENSIBLE mono = Pcm16(48000, 1);
  ASSERT_EQ(S_OK, capture->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &mono.Format, nullptr));
  ASSERT_EQ(S_OK,
            capture->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                100000, 100000, &mono.Format, nullptr));
  HANDLE capture_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, capture->SetEventHandle(capture_event));
  ComPtr<IAudioCaptureClient> capture_client;
  ASSERT_EQ(S_OK, capture->GetService(platform::kIidIAudioCaptureClient,
                                      capture_client.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, capture->Start());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(capture_event, 2000));
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  ASSERT_EQ(S_OK, capture_client->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
  ASSERT_EQ(480u, frames);
  int16_t quarter_cycle = 0;
  memcpy(&quarter_cycle, data + 12 * 2, 2);  // 1000 Hz: 48 frames per cycle
  EXPECT_EQ(16384, quarter_cycle);
  EXPECT_EQ(S_OK, capture_client->ReleaseBuffer(frames));

  // Render to the default endpoint: one primed buffer, then Stop writes the output file.
  ComPtr<IMMDevice> speakers;
  ASSERT_EQ(S_OK, enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                      speakers.ReleaseAndGetAddressOf()));
  ComPtr<IAudioClient> render;
  ASSERT_EQ(S_OK, speakers->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                     render.ReleaseAndGetVoidAddress()));
  const WAVEFORMATEXTENSIBLE stereo = Pcm16(48000, 2);
  ASSERT_EQ(S_OK, render->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                     100000, 100000, &stereo.Format, nullptr));
  HANDLE render_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, render->SetEventHandle(render_event));
  ComPtr<IAudioRenderClient> render_client;
  ASSERT_EQ(S_OK, render->GetService(platform::kIidIAudioRenderClient,
                                     render_client.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, render_client->GetBuffer(480, &data));
  memset(data, 0, 480 * 4);
  ASSERT_EQ(S_OK, render_client->ReleaseBuffer(480, 0));
  ASSERT_EQ(S_OK, render->Start());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(render_event, 2000));
  EXPECT_EQ(S_OK, render->Stop());
  capture->Stop();

  std::FILE* file = std::fopen(output_.c_str(), "rb");
  ASSERT_NE(nullptr, file) << output_;
  std::fseek(file, 0, SEEK_END);
  EXPECT_EQ(44 + 480 * 4, std::ftell(file));
  std::fclose(file);

  capture_client.Reset();
  render_client.Reset();
  capture.Reset();
  render.Reset();
  CloseHandle(capture_event);
  CloseHandle(render_event);
}

}  // namespace
