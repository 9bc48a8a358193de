// Devices that leave and come back: enumeration, invalidated clients, stopped streams and the
// scheduled removals and returns.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using virtual_audio::ClockMode;

class RemovalTest : public VirtualAudioTest {
 protected:
  void SetUp() override {
    VirtualAudioTest::SetUp();
    audio().SetClockMode(ClockMode::kManual);
  }

  std::vector<std::wstring> ActiveIds(EDataFlow flow, DWORD mask = DEVICE_STATE_ACTIVE) {
    ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
    ComPtr<IMMDeviceCollection> devices;
    EXPECT_EQ(S_OK, enumerator->EnumAudioEndpoints(flow, mask, devices.ReleaseAndGetAddressOf()));
    std::vector<std::wstring> ids;
    UINT count = 0;
    if (!devices || FAILED(devices->GetCount(&count))) return ids;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> device;
      LPWSTR id = nullptr;
      if (FAILED(devices->Item(i, device.ReleaseAndGetAddressOf())) || FAILED(device->GetId(&id))) {
        continue;
      }
      ids.push_back(id);
      CoTaskMemFree(id);
    }
    return ids;
  }

  DWORD State(const std::wstring& id) {
    DWORD state = 0;
    EXPECT_EQ(S_OK, Device(id)->GetState(&state));
    return state;
  }

  std::wstring DefaultRender() {
    ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
    ComPtr<IMMDevice> device;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                   device.ReleaseAndGetAddressOf()))) {
      return L"";
    }
    LPWSTR id = nullptr;
    EXPECT_EQ(S_OK, device->GetId(&id));
    std::wstring text = id;
    CoTaskMemFree(id);
    return text;
  }

  HRESULT Activate(const std::wstring& id, ComPtr<IAudioClient>* client) {
    return Device(id)->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                client->ReleaseAndGetVoidAddress());
  }
};

TEST_F(RemovalTest, EnumerationDefaultAndActivationBeforeDuringAndAfterARemoval) {
  audio().AddDevice(Render(L"usb", L"USB Headset"));
  audio().AddDevice(Render(L"spk", L"Speakers"));
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  EXPECT_EQ((std::vector<std::wstring>{L"usb", L"spk"}), ActiveIds(eRender));
  EXPECT_EQ(L"usb", DefaultRender());
  ComPtr<IAudioClient> before;
  ASSERT_EQ(S_OK, Activate(L"usb", &before));

  ASSERT_TRUE(audio().RemoveDevice(L"usb"));
  EXPECT_FALSE(audio().RemoveDevice(L"nowhere"));
  EXPECT_EQ((std::vector<std::wstring>{L"spk"}), ActiveIds(eRender));
  EXPECT_EQ((std::vector<std::wstring>{L"usb"}), ActiveIds(eRender, DEVICE_STATE_NOTPRESENT));
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, State(L"usb"));
  EXPECT_EQ(L"spk", DefaultRender());
  ComPtr<IAudioClient> during;
  EXPECT_EQ(AUDCLNT_E_DEVICE_INVALIDATED, Activate(L"usb", &during));
  EXPECT_FALSE(during);
  WAVEFORMATEX* mix = nullptr;
  EXPECT_EQ(AUDCLNT_E_DEVICE_INVALIDATED, before->GetMixFormat(&mix));
  EXPECT_EQ(nullptr, mix);

  ASSERT_TRUE(audio().ReturnDevice(L"usb"));
  EXPECT_EQ((std::vector<std::wstring>{L"usb", L"spk"}), ActiveIds(eRender));
  EXPECT_EQ(DEVICE_STATE_ACTIVE, State(L"usb"));
  EXPECT_EQ(L"usb", DefaultRender());
  // The client from before stays invalidated, as on Windows; a new one works.
  EXPECT_EQ(AUDCLNT_E_DEVICE_INVALIDATED, InitExclusive(before.Get(), Pcm(48000, 2), 100000));
  ComPtr<IAudioClient> after;
  ASSERT_EQ(S_OK, Activate(L"usb", &after));
  EXPECT_EQ(S_OK, InitExclusive(after.Get(), Pcm(48000, 2), 100000));
}

TEST_F(RemovalTest, StartedStreamsGoSilentAndEveryClientCallIsInvalidated) {
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  audio().AddDevice(Render(L"spk", L"Speakers"));
  const virtual_audio::Audit before = audio().TakeAudit();
  {
    OpenStream capture, render;
    Open(L"mic", Pcm(48000, 1), &capture);
    Open(L"spk", Pcm(48000, 2), &render);
    audio().Tick();
    ASSERT_TRUE(capture.Signalled());
    ASSERT_TRUE(render.Signalled());
    // The reader holds a packet and the writer a buffer when the devices go.
    BYTE* captured = nullptr;
    BYTE* to_render = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(S_OK, capture.capture->GetBuffer(&captured, &frames, &flags, nullptr, nullptr));
    ASSERT_EQ(S_OK, render.render->GetBuffer(480, &to_render));
    audio().RemoveDevice(L"mic");
    audio().RemoveDevice(L"spk");

    const int underruns = audio().RenderUnderruns(L"spk");
    audio().Tick(3);
    EXPECT_FALSE(capture.Signalled());
    EXPECT_FALSE(render.Signalled());
    EXPECT_EQ(-1, audio().StepClock()) << "no stream is playing";
    EXPECT_EQ(underruns, audio().RenderUnderruns(L"spk"));

    const HRESULT gone = AUDCLNT_E_DEVICE_INVALIDATED;
    EXPECT_EQ(gone, capture.capture->ReleaseBuffer(frames));
    EXPECT_EQ(gone, capture.capture->GetNextPacketSize(&frames));
    EXPECT_EQ(gone, capture.capture->GetBuffer(&captured, &frames, &flags, nullptr, nullptr));
    EXPECT_EQ(gone, render.render->ReleaseBuffer(480, 0));
    EXPECT_EQ(gone, render.render->GetBuffer(0, &to_render));
    for (IAudioClient* client : {capture.client.Get(), render.client.Get()}) {
      REFERENCE_TIME period = 0, minimum = 0;
      ComPtr<IAudioRenderClient> service;
      EXPECT_EQ(gone, client->GetBufferSize(&frames));
      EXPECT_EQ(gone, client->GetCurrentPadding(&frames));
      EXPECT_EQ(gone, client->GetStreamLatency(&period));
      EXPECT_EQ(gone, client->GetDevicePeriod(&period, &minimum));
      EXPECT_EQ(gone, client->SetEventHandle(capture.event));
      EXPECT_EQ(gone, client->Stop());
      EXPECT_EQ(gone, client->Reset());
      EXPECT_EQ(gone, client->Start());
      EXPECT_EQ(gone, client->GetService(platform::kIidIAudioRenderClient,
                                         service.ReleaseAndGetVoidAddress()));
    }

    // After the return the old streams stay dead and hold nothing: a new exclusive stream opens
    // while the program still holds the old clients.
    audio().ReturnDevice(L"mic");
    audio().ReturnDevice(L"spk");
    audio().Tick();
    EXPECT_FALSE(capture.Signalled());
    EXPECT_EQ(gone, capture.capture->GetNextPacketSize(&frames));
    OpenStream fresh;
    Open(L"mic", Pcm(48000, 1), &fresh);
    audio().Tick();
    EXPECT_TRUE(fresh.Signalled());
    EXPECT_EQ(S_OK, fresh.capture->GetNextPacketSize(&frames));
    EXPECT_EQ(480u, frames);
  }
  const virtual_audio::Audit after = audio().TakeAudit();
  EXPECT_EQ(0, after.total_objects);
  EXPECT_EQ(0, after.references);
  EXPECT_EQ(before.event_handles, after.event_handles);
}

TEST_F(RemovalTest, RemovedAfterItsPeriodsAndBackAfterItsDelayOnTheManualClock) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.removal.after_periods = 3;
  mic.removal.return_after_ms = 25;
  audio().AddDevice(mic);
  OpenStream stream;
  Open(L"mic", Pcm(48000, 1), &stream);
  for (int period = 1; period <= 3; ++period) {
    ASSERT_EQ(period * 10 * kMs, audio().StepClock());
    EXPECT_TRUE(stream.Signalled()) << "period " << period;
  }
  // The third period played, then the device left: at 30 ms, back at 55 ms.
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, State(L"mic"));
  EXPECT_EQ(-1, audio().StepClock());
  EXPECT_EQ(30 * kMs, audio().ClockTime());
  audio().AdvanceClock(24 * kMs);
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, State(L"mic"));
  audio().AdvanceClock(1 * kMs);
  EXPECT_EQ(DEVICE_STATE_ACTIVE, State(L"mic"));
  EXPECT_EQ(55 * kMs, audio().ClockTime());
  EXPECT_FALSE(stream.Signalled());

  // It leaves only once: a new stream plays on.
  OpenStream again;
  Open(L"mic", Pcm(48000, 1), &again);
  audio().AdvanceClock(100 * kMs);
  EXPECT_EQ(DEVICE_STATE_ACTIVE, State(L"mic"));
  EXPECT_TRUE(again.Signalled());
}

TEST_F(RemovalTest, TimedRemovalStopsOneDeviceWhileTheOthersPlayOn) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.removal.at_ms = 25;
  audio().AddDevice(mic);
  audio().AddDevice(Render(L"spk", L"Speakers"));
  OpenStream capture, render;
  Open(L"mic", Pcm(48000, 1), &capture);
  Open(L"spk", Pcm(48000, 2), &render);
  ASSERT_EQ(10 * kMs, audio().StepClock());
  ASSERT_EQ(20 * kMs, audio().StepClock());
  EXPECT_TRUE(capture.Signalled());
  EXPECT_TRUE(render.Signalled());
  ASSERT_EQ(30 * kMs, audio().StepClock());
  EXPECT_FALSE(capture.Signalled());
  EXPECT_TRUE(render.Signalled());
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, State(L"mic"));
  // No return was scheduled.
  audio().AdvanceClock(10000 * kMs);
  EXPECT_EQ(DEVICE_STATE_NOTPRESENT, State(L"mic"));
}

TEST_F(RemovalTest, RealTimeClockRemovesAndReturnsWithoutAnyStream) {
  audio().SetClockMode(ClockMode::kRealTime);
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.removal.at_ms = 20;
  mic.removal.return_after_ms = 20;
  audio().AddDevice(mic);
  // Waits for each state in turn; the test's timeout catches a clock that never gets there.
  const auto wait_for = [&](DWORD wanted) {
    while (State(L"mic") != wanted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  wait_for(DEVICE_STATE_NOTPRESENT);
  wait_for(DEVICE_STATE_ACTIVE);
  EXPECT_GE(audio().ClockTime(), 40 * kMs);
}

}  // namespace
}  // namespace virtual_audio_test
