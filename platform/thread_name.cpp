#include "platform/thread_name.h"

#include "platform/win32.h"

#ifndef _WIN32
#include <pthread.h>

#include <string>
#endif

namespace platform {

void NameCurrentThread(const wchar_t* name) {
#ifdef _WIN32
  // Looked up rather than linked: older systems and import libraries lack it.
  using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto describe = reinterpret_cast<Describe>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (describe != nullptr) describe(GetCurrentThread(), name);
#else
  constexpr size_t kLongestName = 15;
  std::string narrow;
  for (const wchar_t* c = name; *c != 0 && narrow.size() < kLongestName; ++c) {
    narrow.push_back(*c < 128 ? static_cast<char>(*c) : '?');
  }
  pthread_setname_np(pthread_self(), narrow.c_str());
#endif
}

}  // namespace platform
