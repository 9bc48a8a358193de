// Output files of the stand-in. Paths are UTF-8; under Windows they may be Windows paths or
// Wine's Z:\ paths (the environment hands them over as they are).
#ifndef STANDINS_ENGINE_SCENARIO_OUTPUT_FILE_H_
#define STANDINS_ENGINE_SCENARIO_OUTPUT_FILE_H_

#include <cstdio>
#include <memory>
#include <string>

namespace engine_standin {

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen with a UTF-8 path (wide on Windows). Null when the file cannot be opened.
FilePtr OpenFile(const std::string& path, const char* mode);

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* content);

// `directory` joined with `name` by the separator the directory already uses.
std::string JoinPath(const std::string& directory, const std::string& name);

// A wide string (UTF-16 on Windows, code points elsewhere) as UTF-8.
std::string Utf8FromWide(const std::wstring& wide);

// The value of an environment variable as UTF-8; empty when unset.
std::string EnvironmentValue(const char* name);

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_OUTPUT_FILE_H_
