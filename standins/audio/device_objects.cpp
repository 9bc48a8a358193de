#include "standins/audio/device_objects.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_guids.h"
#include "standins/audio/audio_client.h"
#include "standins/audio/com_object.h"

namespace virtual_audio {

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490u);      // ERROR_NOT_FOUND
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);  // E_ACCESSDENIED
constexpr HRESULT kStorageAccessDenied = static_cast<HRESULT>(0x80030005u);
constexpr DWORD kNotStringValue = 42;  // what a property of the wrong type holds (VT_UI4)

bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b) {
  return a.fmtid == b.fmtid && a.pid == b.pid;
}

class PropertyStore final : public ComObject<IPropertyStore> {
 public:
  PropertyStore(std::shared_ptr<SystemState> state, std::wstring device, DeviceText friendly_name,
                DeviceText description)
      : ComObject(std::move(state), ObjectKind::kPropertyStore, platform::kIidIPropertyStore),
        device_(std::move(device)) {
    if (friendly_name.kind != DeviceText::Kind::kMissing) {
      properties_.emplace_back(platform::kPkeyDeviceFriendlyName, std::move(friendly_name));
    }
    if (description.kind != DeviceText::Kind::kMissing) {
      properties_.emplace_back(platform::kPkeyDeviceDeviceDesc, std::move(description));
    }
  }

  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    if (count != nullptr) *count = 0;
    CallScope call(state(), "IPropertyStore::GetCount", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (count == nullptr) return call.Return(E_POINTER);
    *count = static_cast<DWORD>(properties_.size());
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    CallScope call(state(), "IPropertyStore::GetAt", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (key == nullptr) return call.Return(E_POINTER);
    if (index >= properties_.size()) return call.Return(E_INVALIDARG);
    *key = properties_[index].first;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (value != nullptr) PropVariantInit(value);
    CallScope call(state(), "IPropertyStore::GetValue", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (value == nullptr) return call.Return(E_POINTER);
    for (const auto& property : properties_) {
      if (!SameKey(property.first, key)) continue;
      if (property.second.kind == DeviceText::Kind::kNotString) {
        value->vt = VT_UI4;
        value->ulVal = kNotStringValue;
        return call.Return(S_OK);
      }
      wchar_t* text = CoTaskMemString(property.second.text);
      if (text == nullptr) return call.Return(E_OUTOFMEMORY);
      value->vt = VT_LPWSTR;
      value->pwszVal = text;
      return call.Return(S_OK);
    }
    // A property the device does not have reads as empty, as on Windows.
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
    CallScope call(state(), "IPropertyStore::SetValue", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    return call.Return(kStorageAccessDenied);
  }

  HRESULT STDMETHODCALLTYPE Commit() override {
    CallScope call(state(), "IPropertyStore::Commit", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    return call.Return(kStorageAccessDenied);
  }

 private:
  const std::wstring device_;
  std::vector<std::pair<PROPERTYKEY, DeviceText>> properties_;  // a snapshot taken at opening
};

class Device final : public ComObject<IMMDevice> {
 public:
  Device(std::shared_ptr<SystemState> state, std::wstring id)
      : ComObject(std::move(state), ObjectKind::kDevice, platform::kIidIMMDevice),
        id_(std::move(id)) {}

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
    if (object != nullptr) *object = nullptr;
    CallScope call(state(), "IMMDevice::Activate", id_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (object == nullptr) return call.Return(E_POINTER);
    DeviceRecord* device = call.state().FindDevice(id_);
    if (iid != platform::kIidIAudioClient &&
        (device == nullptr || !AudioClientAnswers(device->config, iid))) {
      return call.Return(E_NOINTERFACE);
    }
    if (device == nullptr || !device->config.active || device->removed) {
      return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    }
    *object = NewAudioClient(shared_state(), id_, device->incarnation);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
    if (store != nullptr) *store = nullptr;
    CallScope call(state(), "IMMDevice::OpenPropertyStore", id_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (store == nullptr) return call.Return(E_POINTER);
    if (access != STGM_READ) return call.Return(kAccessDenied);
    DeviceRecord* device = call.state().FindDevice(id_);
    if (device == nullptr) return call.Return(kNotFound);
    *store = new PropertyStore(shared_state(), id_, device->config.friendly_name,
                               device->config.description);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    if (id != nullptr) *id = nullptr;
    CallScope call(state(), "IMMDevice::GetId", id_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (id == nullptr) return call.Return(E_POINTER);
    *id = CoTaskMemString(id_);
    return call.Return(*id == nullptr ? E_OUTOFMEMORY : S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetState(DWORD* device_state) override {
    if (device_state != nullptr) *device_state = 0;
    CallScope call(state(), "IMMDevice::GetState", id_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (device_state == nullptr) return call.Return(E_POINTER);
    DeviceRecord* device = call.state().FindDevice(id_);
    if (device == nullptr || device->removed) {
      *device_state = DEVICE_STATE_NOTPRESENT;
    } else {
      *device_state = device->config.active ? DEVICE_STATE_ACTIVE : DEVICE_STATE_DISABLED;
    }
    return call.Return(S_OK);
  }

 private:
  const std::wstring id_;
};

class DeviceCollection final : public ComObject<IMMDeviceCollection> {
 public:
  DeviceCollection(std::shared_ptr<SystemState> state, std::vector<std::wstring> ids)
      : ComObject(std::move(state), ObjectKind::kCollection, platform::kIidIMMDeviceCollection),
        ids_(std::move(ids)) {}

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    CallScope call(state(), "IMMDeviceCollection::GetCount", {});
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (count == nullptr) return call.Return(E_POINTER);
    *count = static_cast<UINT>(ids_.size());
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (device != nullptr) *device = nullptr;
    CallScope call(state(), "IMMDeviceCollection::Item", index < ids_.size() ? ids_[index] : L"");
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (device == nullptr) return call.Return(E_POINTER);
    if (index >= ids_.size()) return call.Return(E_INVALIDARG);
    *device = new Device(shared_state(), ids_[index]);
    return call.Return(S_OK);
  }

 private:
  const std::vector<std::wstring> ids_;  // a snapshot taken at enumeration
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
 public:
  explicit DeviceEnumerator(std::shared_ptr<SystemState> state)
      : ComObject(std::move(state), ObjectKind::kEnumerator, platform::kIidIMMDeviceEnumerator) {}

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD state_mask,
                                               IMMDeviceCollection** devices) override {
    if (devices != nullptr) *devices = nullptr;
    CallScope call(state(), "IMMDeviceEnumerator::EnumAudioEndpoints", {});
    call.record().flow = flow;
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (devices == nullptr) return call.Return(E_POINTER);
    if (flow != eRender && flow != eCapture && flow != eAll) return call.Return(E_INVALIDARG);
    if (state_mask == 0 || (state_mask & ~DEVICE_STATEMASK_ALL) != 0) {
      return call.Return(E_INVALIDARG);
    }
    *devices = new DeviceCollection(shared_state(), call.state().DeviceIds(flow, state_mask));
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                    IMMDevice** endpoint) override {
    if (endpoint != nullptr) *endpoint = nullptr;
    CallScope call(state(), "IMMDeviceEnumerator::GetDefaultAudioEndpoint", {});
    call.record().flow = flow;
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (endpoint == nullptr) return call.Return(E_POINTER);
    if ((flow != eRender && flow != eCapture) ||
        (role != eConsole && role != eMultimedia && role != eCommunications)) {
      return call.Return(E_INVALIDARG);
    }
    std::wstring id;
    if (!call.state().DefaultDevice(flow, &id)) return call.Return(kNotFound);
    call.record().device = id;
    *endpoint = new Device(shared_state(), id);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
    if (device != nullptr) *device = nullptr;
    CallScope call(state(), "IMMDeviceEnumerator::GetDevice", id != nullptr ? id : L"");
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (id == nullptr || device == nullptr) return call.Return(E_POINTER);
    const DeviceRecord* record = call.state().FindDevice(id);
    if (record == nullptr || record->pending_arrival) return call.Return(kNotFound);
    *device = new Device(shared_state(), id);
    return call.Return(S_OK);
  }

  // The registration belongs to the system, not to this enumerator, and takes no reference.
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    state().notifications().NoteCallInCallback("RegisterEndpointNotificationCallback");
    CallScope call(state(), "IMMDeviceEnumerator::RegisterEndpointNotificationCallback", {});
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (client == nullptr) return call.Return(E_POINTER);
    return call.Return(call.state().notifications().Register(client));
  }

  // Returns once no callback to the client is under way, so that the caller may destroy it.
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    state().notifications().NoteCallInCallback("UnregisterEndpointNotificationCallback");
    HRESULT result;
    {
      CallScope call(state(), "IMMDeviceEnumerator::UnregisterEndpointNotificationCallback", {});
      HRESULT hr;
      if (call.Injected(&hr)) return call.Return(hr);
      if (client == nullptr) return call.Return(E_POINTER);
      result = call.Return(call.state().notifications().Unregister(client));
    }
    // Without the system lock: the callback under way may be calling into the system.
    if (SUCCEEDED(result)) state().notifications().WaitForClient(client);
    return result;
  }
};

class ClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(std::shared_ptr<SystemState> state)
      : ComObject(std::move(state), ObjectKind::kClassFactory, platform::kIidIClassFactory) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    {
      CallScope call(state(), "IClassFactory::CreateInstance", {});
      HRESULT hr;
      if (call.Injected(&hr)) return call.Return(hr);
      if (outer != nullptr) return call.Return(CLASS_E_NOAGGREGATION);
      call.Return(S_OK);
    }
    // Outside the lock: a refused interface releases the new enumerator.
    IMMDeviceEnumerator* enumerator = NewEnumerator(shared_state());
    const HRESULT hr = enumerator->QueryInterface(riid, object);
    enumerator->Release();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

wchar_t* CoTaskMemString(const std::wstring& text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

IClassFactory* NewClassFactory(std::shared_ptr<SystemState> state) {
  return new ClassFactory(std::move(state));
}

IMMDeviceEnumerator* NewEnumerator(std::shared_ptr<SystemState> state) {
  return new DeviceEnumerator(std::move(state));
}

}  // namespace virtual_audio
