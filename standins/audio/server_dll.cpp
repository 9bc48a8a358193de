// virtual_audio.dll: the in-process COM server of CLSID_MMDeviceEnumerator. Registered in a
// Wine prefix (scripts/register-virtual-audio), it is what the unchanged engine reaches through
// the real CoCreateInstance. Its devices come from the file named by the environment variable
// TONELARK_VIRTUAL_AUDIO_CONFIG, read when the first class object is asked for.
#include <string>
#include <vector>

#include "platform/audio_guids.h"
#include "platform/win32.h"
#include "standins/audio/device_objects.h"
#include "standins/audio/virtual_audio.h"

namespace {

constexpr wchar_t kConfigVariable[] = L"TONELARK_VIRTUAL_AUDIO_CONFIG";

std::string WideToUtf8(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], size,
                      nullptr, nullptr);
  return text;
}

// Built once and never destroyed: the process may end through ExitProcess while a stream runs,
// and the clock thread must not be joined from the loader's detach notification. Recordings are
// written on every Stop and final Release, so nothing waits for the end.
virtual_audio::VirtualAudio& System() {
  static virtual_audio::VirtualAudio* system = [] {
    auto* created = new virtual_audio::VirtualAudio;
    std::vector<wchar_t> path(32768);
    const DWORD length =
        GetEnvironmentVariableW(kConfigVariable, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
      OutputDebugStringA("virtual_audio: TONELARK_VIRTUAL_AUDIO_CONFIG is not set; no devices\n");
    } else {
      created->LoadConfigFile(WideToUtf8(std::wstring(path.data(), length)));
    }
    return created;
  }();
  return *system;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != platform::kClsidMMDeviceEnumerator) return CLASS_E_CLASSNOTAVAILABLE;
  IClassFactory* factory = virtual_audio::NewClassFactory(System().state());
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

// The system lives for the whole process (see System), so the DLL stays loaded.
STDAPI DllCanUnloadNow() { return S_FALSE; }
