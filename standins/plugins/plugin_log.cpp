#include "standins/plugins/plugin_log.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace plugin_standin {

namespace {

// The variable as a wide string; empty when unset.
std::wstring EnvironmentValue(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    return std::wstring();
  }
  std::vector<wchar_t> buffer(size);
  const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
  if (length == 0 || length >= size) {
    return std::wstring();
  }
  return std::wstring(buffer.data(), length);
}

}  // namespace

void LogRegistration(const char* function_name, FlutterDesktopPluginRegistrarRef registrar) {
  std::wstring path = EnvironmentValue(L"TONELARK_STANDIN_OUT");
  if (path.empty()) {
    return;
  }
  if (path.back() != L'\\' && path.back() != L'/') {
    path += L'\\';
  }
  path += L"plugins.log";

  char line[256];
  const int length =
      std::snprintf(line, sizeof(line), "%s registrar=0x%016llx\r\n", function_name,
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(registrar)));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(line)) {
    return;
  }

  // FILE_APPEND_DATA keeps each line whole even when two processes share the log.
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    OutputDebugStringA("plugin stand-in: cannot open plugins.log\n");
    return;
  }
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace plugin_standin
