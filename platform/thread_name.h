#pragma once

namespace platform {

// Names the calling thread for debuggers, profilers and the system's thread lists (Windows 10
// 1607 and later; Wine hands the name on to the host thread). Names of up to 15 characters
// survive everywhere. Does nothing where threads cannot be named.
void NameCurrentThread(const wchar_t* name);

}  // namespace platform
