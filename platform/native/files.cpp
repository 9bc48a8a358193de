// Files, folders and the environment for the host build, over POSIX: the calls the log file makes.
// A file handle is a File in a process-wide table, so that CloseHandle can tell it from an event.
// Every call that reaches the file system first tells the observer a test installed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/native/host_hooks.h"
#include "platform/native/native_files.h"
#include "platform/win32.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;
std::atomic<void (*)()> file_call_observer{nullptr};

struct File {
  int descriptor;
};

struct FileTable {
  std::mutex mutex;
  std::unordered_set<const void*> live;
};

FileTable& Files() {
  static FileTable* table = new FileTable;  // Never destroyed: a log may close during exit.
  return *table;
}

void NoteFileCall() {
  if (void (*observer)() = file_call_observer.load()) observer();
}

BOOL Fail(DWORD error) {
  last_error = error;
  return FALSE;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// The UTF-8 path of a wide one, with Windows separators as '/'; false for text that is not
// UTF-16.
bool HostPath(LPCWSTR path, std::string* out) {
  if (path == nullptr || *path == L'\0') return false;
  const int size =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  out->assign(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, &(*out)[0], size, nullptr, nullptr);
  out->pop_back();  // the terminating NUL
  for (char& c : *out) {
    if (c == '\\') c = '/';
  }
  return true;
}

File* LookupFile(HANDLE handle) {
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.live.count(handle) != 0 ? static_cast<File*>(handle) : nullptr;
}

// UTF-8 to one UTF-16 unit per wchar_t, U+FFFD for bytes that are not UTF-8.
std::wstring WideFromUtf8(const char* text) {
  std::wstring out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  while (*bytes != 0) {
    const unsigned lead = *bytes++;
    const int more = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    uint32_t code_point = more == 0 ? lead : lead & (0x3Fu >> more);
    bool valid = more >= 0;
    for (int i = 0; valid && i < more; ++i) {
      valid = (*bytes & 0xC0) == 0x80;
      if (valid) code_point = (code_point << 6) | (*bytes++ & 0x3Fu);
    }
    if (!valid || code_point > 0x10FFFF) code_point = 0xFFFD;
    if (code_point >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF));
    } else {
      out += static_cast<wchar_t>(code_point);
    }
  }
  return out;
}

}  // namespace

namespace platform::native {

void SetFileCallObserver(void (*observer)()) { file_call_observer = observer; }

BOOL CloseFileHandle(HANDLE handle) {
  NoteFileCall();
  FileTable& table = Files();
  File* file = nullptr;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.live.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE);
    file = static_cast<File*>(handle);
  }
  const bool closed = close(file->descriptor) == 0;
  delete file;
  return closed ? TRUE : Fail(ErrorFromErrno(errno));
}

}  // namespace platform::native

DWORD GetLastError() { return last_error; }

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  std::string host_name;
  if (!HostPath(name, &host_name)) return Fail(ERROR_INVALID_PARAMETER);
  const char* value = std::getenv(host_name.c_str());
  if (value == nullptr) return Fail(ERROR_ENVVAR_NOT_FOUND);
  const std::wstring wide = WideFromUtf8(value);
  // Too small a buffer gets the size it needs, its terminating NUL counted.
  if (buffer == nullptr || wide.size() >= size) return static_cast<DWORD>(wide.size() + 1);
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  return static_cast<DWORD>(wide.size());
}

BOOL CreateDirectoryW(LPCWSTR path, void* /*security_attributes*/) {
  NoteFileCall();
  std::string host_path;
  if (!HostPath(path, &host_path)) return Fail(ERROR_PATH_NOT_FOUND);
  if (mkdir(host_path.c_str(), 0777) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD desired_access, DWORD /*share_mode*/,
                   void* /*security_attributes*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*template_file*/) {
  NoteFileCall();
  std::string host_path;
  if (disposition != OPEN_ALWAYS) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!HostPath(path, &host_path)) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const bool existed = access(host_path.c_str(), F_OK) == 0;
  const int mode = (desired_access & FILE_APPEND_DATA) != 0 ? O_WRONLY | O_APPEND : O_RDWR;
  const int descriptor = open(host_path.c_str(), mode | O_CREAT | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    Fail(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  // Windows reports an existing file opened with OPEN_ALWAYS, and succeeds.
  last_error = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  auto* file = new File{descriptor};
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.live.insert(file);
  return file;
}

BOOL WriteFile(HANDLE handle, const void* data, DWORD size, LPDWORD written, void* overlapped) {
  NoteFileCall();
  if (written != nullptr) *written = 0;
  File* file = LookupFile(handle);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped != nullptr || (data == nullptr && size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  const auto* bytes = static_cast<const char*>(data);
  DWORD done = 0;
  while (done < size) {
    const ssize_t n = write(file->descriptor, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (written != nullptr) *written = done;
      return Fail(n < 0 ? ErrorFromErrno(errno) : ERROR_DISK_FULL);
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER* size) {
  NoteFileCall();
  File* file = LookupFile(handle);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  struct stat status;
  if (fstat(file->descriptor, &status) != 0) return Fail(ErrorFromErrno(errno));
  size->QuadPart = static_cast<LONGLONG>(status.st_size);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  NoteFileCall();
  std::string host_from;
  std::string host_to;
  if (!HostPath(from, &host_from) || !HostPath(to, &host_to)) return Fail(ERROR_PATH_NOT_FOUND);
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && access(host_to.c_str(), F_OK) == 0) {
    return Fail(ERROR_ALREADY_EXISTS);
  }
  if (std::rename(host_from.c_str(), host_to.c_str()) != 0) {
    return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
  }
  return TRUE;
}
