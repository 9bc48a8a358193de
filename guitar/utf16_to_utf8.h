// UTF-16 (as the system hands it over in wide strings) to UTF-8, for the command-line arguments
// and the audio device names.
#ifndef GUITAR_UTF16_TO_UTF8_H_
#define GUITAR_UTF16_TO_UTF8_H_

#include <string>

namespace tonelark {

// Converts at most 32767 UTF-16 code units of `input`. A null or empty input, or one that is not
// valid UTF-16 (an unpaired surrogate), gives the empty string.
std::string Utf16ToUtf8(const wchar_t* input);

}  // namespace tonelark

#endif  // GUITAR_UTF16_TO_UTF8_H_
