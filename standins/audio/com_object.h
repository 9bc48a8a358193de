// The common part of every virtual endpoint object: reference counting with the audit, the
// IUnknown answers, and the per-call bookkeeping (lock, count, injected failure, log line).
//
// Threads: AddRef/Release are atomic and may come from any thread, a notification callback
// included (where a final Release is recorded as misuse). A CallScope holds the system mutex for
// the whole call, so a method body must not release an object (its destructor may take the
// mutex too).
#ifndef STANDINS_AUDIO_COM_OBJECT_H_
#define STANDINS_AUDIO_COM_OBJECT_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/audio_guids.h"
#include "platform/win32.h"
#include "standins/audio/system_state.h"

namespace virtual_audio {

template <typename Interface>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == platform::kIidIUnknown || riid == iid_) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    state_->ReferenceAdded();
    return ++references_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    state_->ReferenceDropped();
    if (left == 0) {
      state_->notifications().LastReferenceReleased(ObjectKindName(kind_));
      delete this;
    }
    return left;
  }

 protected:
  // Starts with one reference, owned by the creator.
  ComObject(std::shared_ptr<SystemState> state, ObjectKind kind, const IID& iid)
      : state_(std::move(state)), kind_(kind), iid_(iid) {
    state_->ObjectCreated(kind_);
  }
  virtual ~ComObject() { state_->ObjectDestroyed(kind_); }

  SystemState& state() const { return *state_; }
  const std::shared_ptr<SystemState>& shared_state() const { return state_; }

 private:
  std::shared_ptr<SystemState> state_;
  const ObjectKind kind_;
  const IID& iid_;
  std::atomic<ULONG> references_{1};
};

// One COM method call: takes the system lock, counts the call, finds an injected failure and
// logs the call with its result on Return. A streaming call builds no record at all, so the
// engine's audio thread can be shown to allocate nothing while it streams.
class CallScope {
 public:
  CallScope(SystemState& state, const char* method, const std::wstring& device)
      : state_(state), lock_(state.mutex()), method_(method), device_(device) {
    injected_ = state_.CountCall(method, device, &injected_result_);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // True when the call must fail with `*hr`.
  bool Injected(HRESULT* hr) const {
    if (injected_) *hr = injected_result_;
    return injected_;
  }
  CallRecord& record() {
    if (!recorded_) {
      record_.method = method_;
      record_.device = device_;
      recorded_ = true;
    }
    return record_;
  }
  SystemState& state() { return state_; }
  HRESULT Return(HRESULT hr) {
    if (state_.Logs(method_)) {
      record().result = hr;
      state_.LogCall(record_);
    }
    return hr;
  }

 private:
  SystemState& state_;
  std::lock_guard<std::mutex> lock_;
  const char* const method_;
  const std::wstring& device_;
  CallRecord record_;
  bool recorded_ = false;
  bool injected_ = false;
  HRESULT injected_result_ = S_OK;
};

// Builds a CoTaskMemAlloc'd copy of `text` for a caller to free; null when out of memory.
wchar_t* CoTaskMemString(const std::wstring& text);

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_COM_OBJECT_H_
