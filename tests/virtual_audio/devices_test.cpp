// Devices, names, format acceptance, Initialize answers and failure injection.
#include <thread>
#include <vector>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::FailWhen;

std::wstring ReadName(IMMDevice* device, const PROPERTYKEY& key, VARTYPE* type) {
  ComPtr<IPropertyStore> store;
  EXPECT_EQ(S_OK, device->OpenPropertyStore(STGM_READ, store.ReleaseAndGetAddressOf()));
  PROPVARIANT value;
  PropVariantInit(&value);
  EXPECT_EQ(S_OK, store->GetValue(key, &value));
  *type = value.vt;
  std::wstring text = value.vt == VT_LPWSTR ? value.pwszVal : L"";
  PropVariantClear(&value);
  return text;
}

TEST_F(VirtualAudioTest, EnumeratesActiveDevicesOfAFlowInOrderWithTheirNames) {
  DeviceConfig odd = Capture(L"odd", L"");
  odd.friendly_name = DeviceText::Missing();
  odd.description = DeviceText::NotString();
  DeviceConfig off = Capture(L"off", L"Disabled Mic");
  off.active = false;
  audio().AddDevice(Capture(L"mic", L"Rocksmith Guitar Adapter"));
  audio().AddDevice(off);
  audio().AddDevice(Render(L"spk", L"Speakers"));
  audio().AddDevice(odd);

  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  ComPtr<IMMDeviceCollection> devices;
  ASSERT_EQ(S_OK, enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                 devices.ReleaseAndGetAddressOf()));
  UINT count = 0;
  ASSERT_EQ(S_OK, devices->GetCount(&count));
  ASSERT_EQ(2u, count);

  ComPtr<IMMDevice> first, second, past_end;
  ASSERT_EQ(S_OK, devices->Item(0, first.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, devices->Item(1, second.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, devices->Item(2, past_end.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(past_end);

  VARTYPE type = VT_EMPTY;
  EXPECT_EQ(L"Rocksmith Guitar Adapter",
            ReadName(first.Get(), platform::kPkeyDeviceFriendlyName, &type));
  EXPECT_EQ(VT_LPWSTR, type);
  EXPECT_EQ(L"", ReadName(second.Get(), platform::kPkeyDeviceFriendlyName, &type));
  EXPECT_EQ(VT_EMPTY, type);
  EXPECT_EQ(L"", ReadName(second.Get(), platform::kPkeyDeviceDeviceDesc, &type));
  EXPECT_EQ(VT_UI4, type);

  // The disabled device is still known by id, but cannot be opened.
  DWORD state = 0;
  ASSERT_EQ(S_OK, Device(L"off")->GetState(&state));
  EXPECT_EQ(DEVICE_STATE_DISABLED, state);
  ComPtr<IAudioClient> client;
  EXPECT_EQ(AUDCLNT_E_DEVICE_INVALIDATED,
            Device(L"off")->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                     client.ReleaseAndGetVoidAddress()));
}

TEST_F(VirtualAudioTest, DefaultRenderEndpointIsTheChosenOneElseTheFirstActive) {
  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  ComPtr<IMMDevice> device;
  EXPECT_FALSE(SUCCEEDED(
      enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.ReleaseAndGetAddressOf())));

  audio().AddDevice(Render(L"hdmi", L"HDMI"));
  audio().AddDevice(Render(L"spk", L"Speakers"));
  LPWSTR id = nullptr;
  ASSERT_EQ(S_OK, enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                      device.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, device->GetId(&id));
  EXPECT_EQ(std::wstring(L"hdmi"), id);
  CoTaskMemFree(id);

  audio().SetDefaultDevice(eRender, L"spk");
  ASSERT_EQ(S_OK, enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                      device.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, device->GetId(&id));
  EXPECT_EQ(std::wstring(L"spk"), id);
  CoTaskMemFree(id);
}

TEST_F(VirtualAudioTest, ClassRegisteredFromAUiThreadIsReachedFromAnMtaThread) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  HRESULT registered = E_FAIL, created = E_FAIL;
  UINT count = 0;
  const auto audio_thread_body = [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      ComPtr<IMMDeviceEnumerator> enumerator;
      created = CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                 platform::kIidIMMDeviceEnumerator,
                                 enumerator.ReleaseAndGetVoidAddress());
      ComPtr<IMMDeviceCollection> devices;
      if (SUCCEEDED(created) &&
          SUCCEEDED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                   devices.ReleaseAndGetAddressOf()))) {
        devices->GetCount(&count);
      }
    }
    CoUninitialize();
  };
  // The program's user-interface thread is single-threaded; the audio thread joins the MTA.
  std::thread ui_thread([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    registered = audio().Register();
    std::thread(audio_thread_body).join();
    audio().Unregister();
    CoUninitialize();
  });
  ui_thread.join();
  EXPECT_EQ(S_OK, registered);
  EXPECT_EQ(S_OK, created);
  EXPECT_EQ(1u, count);  // ours, not a server the registry names
  EXPECT_EQ(0, audio().TakeAudit().total_objects);
}

TEST_F(VirtualAudioTest, ExclusiveModeAcceptsOnlyListedFormats) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.exclusive_formats = {Pcm(44100, 2)};
  audio().AddDevice(mic);
  ComPtr<IAudioClient> client = Client(L"mic");
  for (const Format& format : {Pcm(48000, 1), Pcm(48000, 2), Pcm(44100, 1), Pcm(44100, 2, 24)}) {
    const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(format);
    EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
              client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr));
  }
  WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(Pcm(44100, 2));
  EXPECT_EQ(S_OK, client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr));
  // A record whose byte rate does not follow from its other fields is no format at all.
  wave.Format.nAvgBytesPerSec += 1;
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr));
}

TEST_F(VirtualAudioTest, SharedProbeAnswersTheMixFormatAsClosestMatch) {
  audio().AddDevice(Render(L"spk", L"Speakers"));
  ComPtr<IAudioClient> client = Client(L"spk");
  WAVEFORMATEX* mix = nullptr;
  ASSERT_EQ(S_OK, client->GetMixFormat(&mix));
  Format parsed;
  ASSERT_TRUE(virtual_audio::ParseWaveFormat(mix, &parsed));
  EXPECT_EQ(Float32(48000, 2), parsed);
  EXPECT_EQ(S_OK, client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, mix, nullptr));
  CoTaskMemFree(mix);

  const WAVEFORMATEXTENSIBLE other = virtual_audio::MakeWaveFormat(Pcm(48000, 2));
  WAVEFORMATEX* closest = nullptr;
  EXPECT_EQ(S_FALSE, client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &other.Format, &closest));
  ASSERT_NE(nullptr, closest);
  CoTaskMemFree(closest);
  EXPECT_EQ(AUDCLNT_E_UNSUPPORTED_FORMAT,
            client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &other.Format, nullptr));
}

TEST_F(VirtualAudioTest, UnalignedDurationIsRefusedWithTheAlignedSizeAndTheRetryOpens) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.exclusive_formats = {Pcm(44100, 1)};
  mic.buffer_alignment_frames = 64;
  audio().AddDevice(mic);
  ComPtr<IAudioClient> first = Client(L"mic");
  // 10 ms at 44100 Hz is 441 frames; the next multiple of 64 is 448.
  EXPECT_EQ(AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED, InitExclusive(first.Get(), Pcm(44100, 1), 100000));
  UINT32 frames = 0;
  ASSERT_EQ(S_OK, first->GetBufferSize(&frames));
  EXPECT_EQ(448u, frames);
  EXPECT_EQ(AUDCLNT_E_ALREADY_INITIALIZED, InitExclusive(first.Get(), Pcm(44100, 1), 100000));
  first.Reset();

  const REFERENCE_TIME aligned = static_cast<REFERENCE_TIME>(448 * 1e7 / 44100 + 0.5);
  ComPtr<IAudioClient> second = Client(L"mic");
  ASSERT_EQ(S_OK, InitExclusive(second.Get(), Pcm(44100, 1), aligned));
  ASSERT_EQ(S_OK, second->GetBufferSize(&frames));
  EXPECT_EQ(448u, frames);
}

TEST_F(VirtualAudioTest, StreamStateRulesAnswerAsWindowsDoes) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.minimum_period = 30000;
  audio().AddDevice(mic);
  ComPtr<IAudioClient> client = Client(L"mic");
  UINT32 frames = 0;
  EXPECT_EQ(AUDCLNT_E_NOT_INITIALIZED, client->GetBufferSize(&frames));
  EXPECT_EQ(AUDCLNT_E_NOT_INITIALIZED, client->Start());
  EXPECT_EQ(AUDCLNT_E_INVALID_DEVICE_PERIOD, InitExclusive(client.Get(), Pcm(48000, 1), 20000));

  ASSERT_EQ(S_OK, InitExclusive(client.Get(), Pcm(48000, 1), 100000));
  EXPECT_EQ(AUDCLNT_E_ALREADY_INITIALIZED, InitExclusive(client.Get(), Pcm(48000, 1), 100000));
  ASSERT_EQ(S_OK, client->GetBufferSize(&frames));
  EXPECT_EQ(480u, frames);
  EXPECT_EQ(AUDCLNT_E_EVENTHANDLE_NOT_SET, client->Start());

  ComPtr<IAudioClient> rival = Client(L"mic");
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE, InitExclusive(rival.Get(), Pcm(48000, 1), 100000));

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, client->SetEventHandle(event));
  EXPECT_EQ(S_OK, client->Start());
  EXPECT_EQ(AUDCLNT_E_NOT_STOPPED, client->Start());
  EXPECT_EQ(AUDCLNT_E_NOT_STOPPED, client->Reset());
  EXPECT_EQ(S_OK, client->Stop());
  EXPECT_EQ(S_FALSE, client->Stop());
  client.Reset();
  CloseHandle(event);

  // Once the exclusive stream is gone the device is free again.
  EXPECT_EQ(S_OK, InitExclusive(rival.Get(), Pcm(48000, 1), 100000));
}

TEST_F(VirtualAudioTest, HeldDeviceZeroBufferAndSharedBufferSizes) {
  DeviceConfig held = Render(L"held", L"Held");
  held.held_exclusively = true;
  DeviceConfig zero = Capture(L"zero", L"Zero");
  zero.zero_buffer = true;
  audio().AddDevice(held);
  audio().AddDevice(zero);
  audio().AddDevice(Render(L"spk", L"Speakers"));

  // Another program's exclusive stream leaves nothing to mix into, in either mode.
  ComPtr<IAudioClient> client = Client(L"held");
  const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(Pcm(48000, 2));
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE,
            client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr));
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE, InitExclusive(client.Get(), Pcm(48000, 2), 100000));
  WAVEFORMATEX* mix = nullptr;
  ASSERT_EQ(S_OK, client->GetMixFormat(&mix));
  EXPECT_EQ(AUDCLNT_E_DEVICE_IN_USE,
            client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                               mix, nullptr));
  ComPtr<IAudioClient> shared = Client(L"spk");
  EXPECT_EQ(S_OK, shared->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0,
                                     0, mix, nullptr));
  CoTaskMemFree(mix);
  UINT32 frames = 0;
  ASSERT_EQ(S_OK, shared->GetBufferSize(&frames));
  EXPECT_EQ(1056u, frames);

  ComPtr<IAudioClient> zero_client = Client(L"zero");
  EXPECT_EQ(S_OK, InitExclusive(zero_client.Get(), Pcm(48000, 1), 100000));
  frames = 99;
  ASSERT_EQ(S_OK, zero_client->GetBufferSize(&frames));
  EXPECT_EQ(0u, frames);
}

TEST_F(VirtualAudioTest, InjectedFailuresStrikeTheNamedCallDeviceAndOccurrence) {
  audio().AddDevice(Capture(L"a", L"A"));
  audio().AddDevice(Capture(L"b", L"B"));
  const HRESULT kBroken = static_cast<HRESULT>(0x8889FFFFu);
  audio().FailCall("IMMDevice::Activate", kBroken, FailWhen{L"b", 2});
  audio().FailCall("IMMDeviceEnumerator::EnumAudioEndpoints", E_OUTOFMEMORY);

  ComPtr<IAudioClient> client;
  for (int round = 1; round <= 3; ++round) {
    EXPECT_EQ(S_OK, Device(L"a")->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                           client.ReleaseAndGetVoidAddress()));
    const HRESULT on_b = Device(L"b")->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                                client.ReleaseAndGetVoidAddress());
    EXPECT_EQ(round == 2 ? kBroken : S_OK, on_b) << "round " << round;
    EXPECT_EQ(round == 2, !client);
  }
  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  ComPtr<IMMDeviceCollection> devices;
  EXPECT_EQ(E_OUTOFMEMORY, enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                          devices.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(devices);
  EXPECT_EQ(3, audio().CallCount("IMMDevice::Activate", L"b"));

  audio().ClearFailures();
  EXPECT_EQ(S_OK, enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                 devices.ReleaseAndGetAddressOf()));
}

TEST_F(VirtualAudioTest, CallLogKeepsTheSetUpSequenceWithItsArguments) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  ComPtr<IAudioClient> client = Client(L"mic");
  audio().ClearCalls();
  const WAVEFORMATEXTENSIBLE wave = virtual_audio::MakeWaveFormat(Pcm(48000, 2));
  client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wave.Format, nullptr);
  InitExclusive(client.Get(), Pcm(48000, 2), 123456);
  UINT32 padding = 0;
  client->GetCurrentPadding(&padding);

  const std::vector<virtual_audio::CallRecord> calls = audio().Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("IAudioClient::IsFormatSupported", calls[0].method);
  EXPECT_EQ(AUDCLNT_SHAREMODE_EXCLUSIVE, calls[0].share_mode);
  EXPECT_EQ("IAudioClient::Initialize", calls[1].method);
  EXPECT_EQ(L"mic", calls[1].device);
  EXPECT_EQ(S_OK, calls[1].result);
  EXPECT_EQ(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, calls[1].stream_flags);
  EXPECT_EQ(123456, calls[1].duration);
  EXPECT_EQ(123456, calls[1].periodicity);
  ASSERT_TRUE(calls[1].has_format);
  EXPECT_EQ(Pcm(48000, 2), calls[1].format);
  // Streaming calls are counted, not logged.
  EXPECT_EQ(1, audio().CallCount("IAudioClient::GetCurrentPadding"));
}

}  // namespace
}  // namespace virtual_audio_test
