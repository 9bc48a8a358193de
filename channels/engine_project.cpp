#include "channels/engine_project.h"

namespace flutter {

EngineProject::EngineProject(const std::wstring& data_directory)
    : assets_path(data_directory + L"\\flutter_assets"),
      icu_data_path(data_directory + L"\\icudtl.dat"),
      aot_library_path(data_directory + L"\\app.so") {}

}  // namespace flutter
