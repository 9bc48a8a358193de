// The COM runtime calls for the host build: apartment bookkeeping per thread, a class table that
// tests and stand-ins fill with CoRegisterClassObject, task memory and property values.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/audio_guids.h"
#include "platform/com_ptr.h"
#include "platform/native/host_hooks.h"
#include "platform/win32.h"

namespace {

constexpr HRESULT kObjectNotRegistered = static_cast<HRESULT>(0x800401FBu);  // CO_E_OBJNOTREG
constexpr HRESULT kBadVarType = static_cast<HRESULT>(0x80020008u);           // DISP_E_BADVARTYPE

// COM on this thread: how many successful CoInitializeEx calls are not yet undone, and the
// concurrency model of the first.
struct Apartment {
  int depth = 0;
  DWORD model = COINIT_MULTITHREADED;
};
thread_local Apartment apartment;

// Threads in the multithreaded apartment. While there is one, every thread of the process may
// use COM without initialising it (the implicit multithreaded apartment of Windows).
std::atomic<int> mta_threads{0};

std::atomic<int> live_task_memory{0};

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* class_object;  // One reference, held until revoked.
  DWORD cls_context;
  bool single_use;
  bool used;
};

struct ClassTable {
  std::mutex mutex;
  DWORD next_cookie = 0;
  std::vector<Registration> registrations;
};

ClassTable& Classes() {
  static ClassTable* table = new ClassTable;  // Never destroyed: revocations may run at exit.
  return *table;
}

bool ComUsable() { return apartment.depth > 0 || mta_threads.load() > 0; }

// Takes a reference to the newest usable class object for `clsid`, or null.
IUnknown* AcquireClassObject(REFCLSID clsid, DWORD cls_context) {
  ClassTable& table = Classes();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (auto it = table.registrations.rbegin(); it != table.registrations.rend(); ++it) {
    if (it->clsid != clsid || (it->cls_context & cls_context) == 0) continue;
    if (it->single_use && it->used) continue;
    it->used = true;
    it->class_object->AddRef();
    return it->class_object;
  }
  return nullptr;
}

}  // namespace

namespace platform::native {

int LiveCoTaskMemCount() { return live_task_memory.load(); }

}  // namespace platform::native

HRESULT CoInitializeEx(void* reserved, DWORD co_init) {
  if (reserved != nullptr) return E_INVALIDARG;
  const DWORD model = co_init & COINIT_APARTMENTTHREADED;
  if (apartment.depth > 0) {
    if (apartment.model != model) return RPC_E_CHANGED_MODE;
    ++apartment.depth;
    return S_FALSE;
  }
  apartment.depth = 1;
  apartment.model = model;
  if (model == COINIT_MULTITHREADED) ++mta_threads;
  return S_OK;
}

void CoUninitialize() {
  if (apartment.depth == 0) return;
  if (--apartment.depth == 0 && apartment.model == COINIT_MULTITHREADED) --mta_threads;
}

HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier) {
  if (type == nullptr || qualifier == nullptr) return E_INVALIDARG;
  *type = APTTYPE_CURRENT;
  *qualifier = APTTYPEQUALIFIER_NONE;
  if (apartment.depth > 0) {
    *type = apartment.model == COINIT_MULTITHREADED ? APTTYPE_MTA : APTTYPE_STA;
    return S_OK;
  }
  if (mta_threads.load() == 0) return CO_E_NOTINITIALIZED;
  *type = APTTYPE_MTA;
  *qualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
  return S_OK;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* class_object, DWORD cls_context,
                              DWORD flags, LPDWORD cookie) {
  if (cookie == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (class_object == nullptr) return E_INVALIDARG;
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  class_object->AddRef();
  ClassTable& table = Classes();
  std::lock_guard<std::mutex> lock(table.mutex);
  *cookie = ++table.next_cookie;
  table.registrations.push_back(
      {*cookie, clsid, class_object, cls_context, flags == REGCLS_SINGLEUSE, false});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* class_object = nullptr;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.registrations.begin(); it != table.registrations.end(); ++it) {
      if (it->cookie != cookie) continue;
      class_object = it->class_object;
      table.registrations.erase(it);
      break;
    }
  }
  if (class_object == nullptr) return kObjectNotRegistered;
  // Released outside the lock: the object's destructor may call back into COM.
  class_object->Release();
  return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context, REFIID riid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  platform::ComPtr<IUnknown> class_object(AcquireClassObject(clsid, cls_context));
  if (!class_object) return REGDB_E_CLASSNOTREG;
  platform::ComPtr<IClassFactory> factory;
  HRESULT hr =
      class_object->QueryInterface(platform::kIidIClassFactory, factory.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !factory) return FAILED(hr) ? hr : E_NOINTERFACE;
  return factory->CreateInstance(outer, riid, object);
}

void* CoTaskMemAlloc(size_t size) {
  // Windows hands out a distinct block for a zero size too.
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++live_task_memory;
  return block;
}

void CoTaskMemFree(void* block) {
  if (block == nullptr) return;
  --live_task_memory;
  std::free(block);
}

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (value == nullptr) return S_OK;
  switch (value->vt) {
    case VT_EMPTY:
    case VT_UI4:
      break;
    case VT_LPWSTR:
      CoTaskMemFree(value->pwszVal);
      break;
    default:
      return kBadVarType;
  }
  PropVariantInit(value);
  return S_OK;
}
