// Owning holder of one COM interface reference: Release on reset and destruction.
#ifndef PLATFORM_COM_PTR_H_
#define PLATFORM_COM_PTR_H_

#include <utility>

#include "platform/win32.h"

namespace platform {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Adopts a reference the caller already owns (no AddRef).
  explicit ComPtr(T* adopted) : ptr_(adopted) {}
  ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  void Reset() {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }
  // Takes a new reference to `ptr` (AddRef), releasing the one held.
  void Assign(T* ptr) {
    if (ptr) ptr->AddRef();
    Reset();
    ptr_ = ptr;
  }
  // Releases what is held and gives the out-parameter slot to a creating call.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &ptr_;
  }
  void** ReleaseAndGetVoidAddress() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }
  // Hands the reference to the caller, who then owns it.
  T* Detach() { return std::exchange(ptr_, nullptr); }

 private:
  T* ptr_ = nullptr;
};

}  // namespace platform

#endif  // PLATFORM_COM_PTR_H_
