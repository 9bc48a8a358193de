#include "runner/command_line.h"

#include <windows.h>
// windows.h first: shellapi.h relies on its types.
#include <shellapi.h>

#include "guitar/utf16_to_utf8.h"

namespace tonelark {

namespace {

// Frees CommandLineToArgvW's array on every path.
class ArgumentArray {
 public:
  explicit ArgumentArray(wchar_t** argv) : argv_(argv) {}
  ~ArgumentArray() {
    if (argv_ != nullptr) {
      LocalFree(argv_);
    }
  }
  ArgumentArray(const ArgumentArray&) = delete;
  ArgumentArray& operator=(const ArgumentArray&) = delete;

  wchar_t** get() const { return argv_; }

 private:
  wchar_t** argv_;
};

}  // namespace

std::vector<std::string> CommandLineArguments() {
  int count = 0;
  ArgumentArray argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> arguments;
  if (argv.get() == nullptr) {
    return arguments;
  }
  // Index 0 is the program name, which the user interface never sees.
  for (int index = 1; index < count; ++index) {
    arguments.push_back(Utf16ToUtf8(argv.get()[index]));
  }
  return arguments;
}

}  // namespace tonelark
