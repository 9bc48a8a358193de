#include "guitar/endpoint_listener.h"

#include <cwchar>

#include "platform/audio_guids.h"

namespace tonelark {

bool EndpointListener::Notification::Names(const std::wstring& endpoint) const {
  if (!has_id || endpoint.empty()) return false;
  if (whole_id) return endpoint == id;
  return endpoint.compare(0, kIdLength - 1, id) == 0;
}

EndpointListener::EndpointListener() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

EndpointListener::~EndpointListener() { Stop(); }

HRESULT EndpointListener::Start(IMMDeviceEnumerator* enumerator) {
  Stop();
  if (enumerator == nullptr || !event_) return E_POINTER;
  const HRESULT hr = enumerator->RegisterEndpointNotificationCallback(this);
  if (FAILED(hr)) return hr;
  enumerator_.Assign(enumerator);
  return hr;
}

void EndpointListener::Stop() {
  if (!enumerator_) return;
  // Windows waits for a callback under way before this returns.
  enumerator_->UnregisterEndpointNotificationCallback(this);
  enumerator_.Reset();
  read_.store(written_.load());
  overflow_ = false;
}

bool EndpointListener::Take(Notification* notification) {
  const uint32_t read = read_.load(std::memory_order_relaxed);
  if (read == written_.load(std::memory_order_acquire)) return false;
  *notification = slots_[read % kSlots];
  read_.store(read + 1, std::memory_order_release);
  return true;
}

void EndpointListener::Push(const Notification& notification, LPCWSTR device_id) {
  const uint32_t written = written_.load(std::memory_order_relaxed);
  if (written - read_.load(std::memory_order_acquire) >= kSlots) {
    overflow_ = true;
  } else {
    Notification& slot = slots_[written % kSlots];
    slot = notification;
    slot.has_id = device_id != nullptr;
    slot.whole_id = true;
    slot.id[0] = L'\0';
    if (device_id != nullptr) {
      const size_t length = std::wcslen(device_id);
      slot.whole_id = length < kIdLength;
      std::wcsncpy(slot.id, device_id, kIdLength - 1);
      slot.id[kIdLength - 1] = L'\0';
    }
    written_.store(written + 1, std::memory_order_release);
  }
  SetEvent(event_.Get());
}

HRESULT EndpointListener::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == platform::kIidIUnknown || riid == platform::kIidIMMNotificationClient) {
    *object = static_cast<IMMNotificationClient*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG EndpointListener::AddRef() { return ++references_; }

ULONG EndpointListener::Release() { return --references_; }

HRESULT EndpointListener::OnDeviceStateChanged(LPCWSTR device_id, DWORD new_state) {
  Notification notification;
  notification.kind = Kind::kStateChanged;
  notification.state = new_state;
  Push(notification, device_id);
  return S_OK;
}

HRESULT EndpointListener::OnDeviceAdded(LPCWSTR device_id) {
  Notification notification;
  notification.kind = Kind::kAdded;
  Push(notification, device_id);
  return S_OK;
}

HRESULT EndpointListener::OnDeviceRemoved(LPCWSTR device_id) {
  Notification notification;
  notification.kind = Kind::kRemoved;
  Push(notification, device_id);
  return S_OK;
}

HRESULT EndpointListener::OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                 LPCWSTR default_device_id) {
  Notification notification;
  notification.kind = Kind::kDefaultChanged;
  notification.flow = flow;
  notification.role = role;
  Push(notification, default_device_id);
  return S_OK;
}

HRESULT EndpointListener::OnPropertyValueChanged(LPCWSTR /*device_id*/, const PROPERTYKEY /*key*/) {
  // A renamed device is still the same device.
  return S_OK;
}

}  // namespace tonelark
