// Endpoint notifications: what is sent for each change, on which thread and when, scripted
// arrivals and default changes, and the callback misuse the audit reports.
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "virtual_audio_test_util.h"

namespace virtual_audio_test {
namespace {

using testing::ElementsAre;
using testing::StartsWith;

// Records each callback as a line ("state spk 4", "added hp", "default <flow> <role> <id|null>")
// and the thread it came on; `during` runs inside every callback.
class RecordingClient final : public IMMNotificationClient {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    return Record(L"state " + std::wstring(id) + L" " + std::to_wstring(state));
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override {
    return Record(L"added " + std::wstring(id));
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    return Record(L"removed " + std::wstring(id));
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    return Record(L"default " + std::to_wstring(flow) + L" " + std::to_wstring(role) + L" " +
                  (id == nullptr ? L"null" : id));
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

  std::vector<std::wstring> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }
  std::function<void()> during;
  std::set<std::thread::id> threads;  // read once the callbacks have returned

 private:
  HRESULT Record(std::wstring line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(std::move(line));
      threads.insert(std::this_thread::get_id());
    }
    if (during) during();
    return S_OK;
  }

  std::mutex mutex_;
  std::vector<std::wstring> lines_;
};

// "default <flow> <id>" stands for its three lines, one per role.
std::vector<std::wstring> Expanded(std::initializer_list<std::wstring> lines) {
  std::vector<std::wstring> out;
  for (const std::wstring& line : lines) {
    const bool per_role = line.compare(0, 8, L"default ") == 0;
    for (int role = 0; role < (per_role ? 3 : 1); ++role) {
      out.push_back(per_role ? line.substr(0, 10) + std::to_wstring(role) + L" " + line.substr(10)
                             : line);
    }
  }
  return out;
}

TEST_F(VirtualAudioTest, NotificationsComeInOrderOnOneOtherThreadAtEachDeliveryStep) {
  audio().SetClockMode(virtual_audio::ClockMode::kManual);
  audio().AddDevice(Render(L"spk", L"Speakers"));
  audio().AddDevice(Render(L"hdmi", L"HDMI"));
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  RecordingClient client;
  // The registration belongs to the system: releasing the enumerator keeps it.
  ASSERT_EQ(S_OK, ComPtr<IMMDeviceEnumerator>(audio().CreateEnumerator())
                      ->RegisterEndpointNotificationCallback(&client));
  audio().RemoveDevice(L"spk");
  audio().RemoveDevice(L"hdmi");
  audio().ReturnDevice(L"spk");
  audio().AddDevice(Render(L"hp", L"Headphones"));
  audio().SetDefaultDevice(eRender, L"hp");
  audio().SetDefaultDevice(eRender, L"hp");
  audio().SetDefaultDevice(eCapture, L"mic");
  EXPECT_TRUE(client.Take().empty());
  EXPECT_EQ(16, audio().DeliverNotifications());
  EXPECT_EQ(Expanded({L"state spk 4", L"default 0 hdmi", L"state hdmi 4", L"default 0 null",
                      L"state spk 1", L"default 0 spk", L"added hp", L"default 0 hp"}),
            client.Take());
  ASSERT_EQ(1u, client.threads.size());
  EXPECT_NE(std::this_thread::get_id(), *client.threads.begin());

  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  EXPECT_EQ(E_POINTER, enumerator->UnregisterEndpointNotificationCallback(nullptr));
  audio().RemoveDevice(L"mic");
  EXPECT_EQ(S_OK, enumerator->UnregisterEndpointNotificationCallback(&client));
  EXPECT_EQ(E_NOTFOUND, enumerator->UnregisterEndpointNotificationCallback(&client));
  EXPECT_EQ(0, audio().DeliverNotifications());
  ASSERT_EQ(S_OK, enumerator->RegisterEndpointNotificationCallback(&client));
  audio().Reset();
  audio().AddDevice(Render(L"spk", L"Speakers"));
  EXPECT_EQ(0, audio().DeliverNotifications());
}

TEST_F(VirtualAudioTest, ConfiguredHeadphonesArriveAndBecomeTheDefaultWithEitherClock) {
  for (const bool manual : {true, false}) {
    audio_ = std::make_unique<virtual_audio::VirtualAudio>();
    ASSERT_TRUE(audio().ParseConfig(std::string(manual ? "clock manual\n" : "") +
                                    "device spk\n flow render\n"
                                    "device hp\n flow render\n arrive at-ms 300\n"
                                    " default at-ms 300\n"));
    RecordingClient client;
    ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
    ComPtr<IMMDevice> device;
    EXPECT_EQ(E_NOTFOUND, enumerator->GetDevice(L"hp", device.ReleaseAndGetAddressOf()));
    ASSERT_EQ(S_OK, enumerator->RegisterEndpointNotificationCallback(&client));
    if (manual) {
      audio().AdvanceClock(299 * kMs);
      EXPECT_EQ(0, audio().DeliverNotifications());
      audio().AdvanceClock(1 * kMs);
      audio().DeliverNotifications();
    }
    std::vector<std::wstring> lines;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines.size() < 4 && std::chrono::steady_clock::now() < give_up) {
      for (std::wstring& line : client.Take()) lines.push_back(std::move(line));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Expanded({L"added hp", L"default 0 hp"}), lines) << "manual " << manual;
    EXPECT_EQ(S_OK, enumerator->UnregisterEndpointNotificationCallback(&client));
  }
}

TEST_F(VirtualAudioTest, CallbackMisuseIsAuditedWithoutHangingTheSystem) {
  audio().SetClockMode(virtual_audio::ClockMode::kManual);
  audio().AddDevice(Capture(L"mic", L"Guitar"));
  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  RecordingClient client, other;
  std::vector<ComPtr<IMMDevice>> kept;
  int step = 0;
  client.during = [&] {
    // Calling into the system from a callback is allowed.
    ComPtr<IMMDevice> device;
    EXPECT_EQ(S_OK, enumerator->GetDevice(L"mic", device.ReleaseAndGetAddressOf()));
    switch (step++) {
      case 0:
        EXPECT_EQ(S_OK, enumerator->RegisterEndpointNotificationCallback(&other));
        break;
      case 1:
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
      case 2:
        return;  // the device's last reference goes here
      default:
        EXPECT_EQ(S_OK, enumerator->UnregisterEndpointNotificationCallback(&client));
    }
    kept.push_back(device);
  };
  ASSERT_EQ(S_OK, enumerator->RegisterEndpointNotificationCallback(&client));
  audio().RemoveDevice(L"mic");
  EXPECT_EQ(4, audio().DeliverNotifications());
  EXPECT_THAT(audio().TakeAudit().notification_misuse_log,
              ElementsAre("RegisterEndpointNotificationCallback called inside OnDeviceStateChanged",
                          StartsWith("OnDefaultDeviceChanged took "),
                          "last IMMDevice reference released inside OnDefaultDeviceChanged",
                          "UnregisterEndpointNotificationCallback called inside "
                          "OnDefaultDeviceChanged"));
  EXPECT_EQ(S_OK, enumerator->UnregisterEndpointNotificationCallback(&other));
}

TEST_F(VirtualAudioTest, NothingIsDeliveredOnceTheSystemIsGone) {
  DeviceConfig mic = Capture(L"mic", L"Guitar");
  mic.removal.at_ms = 300;
  audio().AddDevice(mic);
  RecordingClient client;
  ComPtr<IMMDeviceEnumerator> enumerator(audio().CreateEnumerator());
  ASSERT_EQ(S_OK, enumerator->RegisterEndpointNotificationCallback(&client));
  audio_.reset();  // the enumerator keeps the devices and their clock
  ComPtr<IMMDevice> device;
  ASSERT_EQ(S_OK, enumerator->GetDevice(L"mic", device.ReleaseAndGetAddressOf()));
  DWORD state = 0;
  while (SUCCEEDED(device->GetState(&state)) && state != DEVICE_STATE_NOTPRESENT) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(client.Take().empty());
}

}  // namespace
}  // namespace virtual_audio_test
