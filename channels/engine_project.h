#ifndef CHANNELS_ENGINE_PROJECT_H_
#define CHANNELS_ENGINE_PROJECT_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace flutter {

// Where the engine finds its files and what it hands to the application's entry point. Copied by
// value; the engine wrapper passes pointers into the copy it is given.
struct EngineProject {
  // Paths data_directory + "\flutter_assets", "\icudtl.dat" and "\app.so"; everything else
  // empty or 0.
  explicit EngineProject(const std::wstring& data_directory);

  std::wstring assets_path;                       // asset directory
  std::wstring icu_data_path;                     // ICU data file
  std::wstring aot_library_path;                  // compiled application library
  std::string entrypoint;                         // UTF-8; empty selects the default entry point
  std::vector<std::string> entrypoint_arguments;  // UTF-8, handed to the entry point in order
  std::array<int32_t, 4> engine_options{};        // passed through to the engine unchanged
  uint8_t engine_switch = 0;                      // passed through to the engine unchanged
};

}  // namespace flutter

#endif  // CHANNELS_ENGINE_PROJECT_H_
