// Owning holder of one kernel handle (an event or a file): CloseHandle on reset and destruction.
#ifndef PLATFORM_SCOPED_HANDLE_H_
#define PLATFORM_SCOPED_HANDLE_H_

#include <utility>

#include "platform/win32.h"

namespace platform {

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE adopted) : handle_(adopted) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~ScopedHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Closes the handle held (if any) and adopts `handle`.
  void Reset(HANDLE handle = nullptr) {
    HANDLE old = std::exchange(handle_, handle);
    if (old) CloseHandle(old);
  }
  HANDLE Release() { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace platform

#endif  // PLATFORM_SCOPED_HANDLE_H_
