#include "standins/audio/class_registration.h"

#include <utility>

#include "platform/audio_guids.h"
#include "standins/audio/device_objects.h"

namespace virtual_audio {

void ClassRegistration::RegisterOnThisThread(const std::shared_ptr<SystemState>& state) {
  IClassFactory* factory = NewClassFactory(state);
  result_ = CoRegisterClassObject(platform::kClsidMMDeviceEnumerator, factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie_);
  // The class table keeps its own reference while registered.
  factory->Release();
}

#ifdef _WIN32

ClassRegistration::ClassRegistration(std::shared_ptr<SystemState> state) {
  helper_ = std::thread([this, state = std::move(state)] {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock<std::mutex> lock(mutex_);
    if (SUCCEEDED(init)) {
      RegisterOnThisThread(state);
    } else {
      result_ = init;
    }
    registered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return revoke_; });
    if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
    lock.unlock();
    if (SUCCEEDED(init)) CoUninitialize();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return registered_; });
}

ClassRegistration::~ClassRegistration() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    revoke_ = true;
  }
  changed_.notify_all();
  helper_.join();
}

#else

ClassRegistration::ClassRegistration(std::shared_ptr<SystemState> state) {
  RegisterOnThisThread(state);
}

ClassRegistration::~ClassRegistration() {
  if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
}

#endif

}  // namespace virtual_audio
