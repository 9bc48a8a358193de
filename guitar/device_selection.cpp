#include "guitar/device_selection.h"

#include <cwctype>

#include "guitar/utf16_to_utf8.h"
#include "platform/audio_guids.h"

namespace tonelark {
namespace {

// Guitar adapters; all three rank equally.
const wchar_t* const kPrimaryPatterns[] = {L"rocksmith", L"real tone", L"guitar adapter"};
// Taken only when no adapter above is present.
const wchar_t kIrigPattern[] = L"irig";

// A property that cannot be read or is not a wide string counts as empty.
std::wstring ReadStringProperty(IPropertyStore* store, const PROPERTYKEY& key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR &&
      value.pwszVal != nullptr) {
    text = value.pwszVal;
  }
  PropVariantClear(&value);
  return text;
}

bool Contains(const std::wstring& text, const wchar_t* pattern) {
  return text.find(pattern) != std::wstring::npos;
}

// Enumerates active endpoints of `flow`; null when the enumeration fails.
platform::ComPtr<IMMDeviceCollection> ActiveEndpoints(IMMDeviceEnumerator* enumerator,
                                                      EDataFlow flow) {
  platform::ComPtr<IMMDeviceCollection> collection;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE,
                                            collection.ReleaseAndGetAddressOf()))) {
    collection.Reset();
  }
  return collection;
}

UINT EndpointCount(IMMDeviceCollection* collection) {
  UINT count = 0;
  if (FAILED(collection->GetCount(&count))) return 0;
  return count;
}

}  // namespace

std::wstring ReadDeviceNames(IMMDevice* device, std::wstring* search_text) {
  platform::ComPtr<IPropertyStore> store;
  if (FAILED(device->OpenPropertyStore(STGM_READ, store.ReleaseAndGetAddressOf())) || !store) {
    return std::wstring();
  }
  const std::wstring friendly = ReadStringProperty(store.Get(), platform::kPkeyDeviceFriendlyName);
  const std::wstring description = ReadStringProperty(store.Get(), platform::kPkeyDeviceDeviceDesc);
  std::wstring text = friendly;
  text += L' ';
  text += description;
  for (wchar_t& unit : text) unit = static_cast<wchar_t>(std::towlower(unit));
  *search_text = std::move(text);
  return friendly.empty() ? description : friendly;
}

InputDevice FindInputDevice(IMMDeviceEnumerator* enumerator) {
  InputDevice primary;
  InputDevice secondary;
  platform::ComPtr<IMMDeviceCollection> collection = ActiveEndpoints(enumerator, eCapture);
  if (!collection) return InputDevice();
  const UINT count = EndpointCount(collection.Get());
  for (UINT index = 0; index < count; ++index) {
    platform::ComPtr<IMMDevice> endpoint;
    if (FAILED(collection->Item(index, endpoint.ReleaseAndGetAddressOf())) || !endpoint) continue;
    std::wstring search_text;
    const std::wstring display_name = ReadDeviceNames(endpoint.Get(), &search_text);
    if (!primary.device) {
      bool hit = false;
      for (const wchar_t* pattern : kPrimaryPatterns) {
        if (Contains(search_text, pattern)) {
          hit = true;
          break;
        }
      }
      if (hit) {
        primary.device.Assign(endpoint.Get());
        primary.name = Utf16ToUtf8(display_name.c_str());
        continue;
      }
    }
    if (!secondary.device && Contains(search_text, kIrigPattern)) {
      secondary.device.Assign(endpoint.Get());
      secondary.name = Utf16ToUtf8(display_name.c_str());
      secondary.is_irig = true;
    }
  }
  return primary.device ? std::move(primary) : std::move(secondary);
}

platform::ComPtr<IMMDevice> FindOutputDevice(IMMDeviceEnumerator* enumerator, bool is_irig,
                                             bool* is_default) {
  if (is_default != nullptr) *is_default = false;
  if (is_irig) {
    platform::ComPtr<IMMDeviceCollection> collection = ActiveEndpoints(enumerator, eRender);
    if (collection) {
      const UINT count = EndpointCount(collection.Get());
      for (UINT index = 0; index < count; ++index) {
        platform::ComPtr<IMMDevice> endpoint;
        if (FAILED(collection->Item(index, endpoint.ReleaseAndGetAddressOf())) || !endpoint) {
          continue;
        }
        std::wstring search_text;
        ReadDeviceNames(endpoint.Get(), &search_text);
        if (Contains(search_text, kIrigPattern)) return endpoint;
      }
    }
  }
  platform::ComPtr<IMMDevice> fallback = DefaultOutputDevice(enumerator);
  if (is_default != nullptr) *is_default = static_cast<bool>(fallback);
  return fallback;
}

platform::ComPtr<IMMDevice> DefaultOutputDevice(IMMDeviceEnumerator* enumerator) {
  platform::ComPtr<IMMDevice> device;
  if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole,
                                                 device.ReleaseAndGetAddressOf()))) {
    device.Reset();
  }
  return device;
}

std::wstring EndpointId(IMMDevice* device) {
  LPWSTR raw = nullptr;
  std::wstring id;
  if (SUCCEEDED(device->GetId(&raw)) && raw != nullptr) id = raw;
  CoTaskMemFree(raw);
  return id;
}

std::string DisplayName(IMMDevice* device) {
  std::wstring search_text;
  return Utf16ToUtf8(ReadDeviceNames(device, &search_text).c_str());
}

}  // namespace tonelark
