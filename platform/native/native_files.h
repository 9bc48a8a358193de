// Between the host build's Win32 replacements: CloseHandle (events.cpp) hands the handles that
// are not events to the file table (files.cpp).
#ifndef PLATFORM_NATIVE_NATIVE_FILES_H_
#define PLATFORM_NATIVE_NATIVE_FILES_H_

#include "platform/win32.h"

namespace platform::native {

BOOL CloseFileHandle(HANDLE handle);

}  // namespace platform::native

#endif  // PLATFORM_NATIVE_NATIVE_FILES_H_
