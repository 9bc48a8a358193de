// Redirects one imported function of the running program for the lifetime of the object, so a
// test can watch the program call the system without changing the program.
#ifndef TESTS_RUNNER_IMPORT_PATCH_H_
#define TESTS_RUNNER_IMPORT_PATCH_H_

#include <windows.h>

namespace runner_test {

class ScopedImportPatch {
 public:
  // dll: the imported library's file name (case-insensitive); function: the imported name.
  ScopedImportPatch(const char* dll, const char* function, void* replacement);
  ~ScopedImportPatch();
  ScopedImportPatch(const ScopedImportPatch&) = delete;
  ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;

  // False when the program does not import the function.
  bool active() const { return slot_ != nullptr; }
  void* original() const { return original_; }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace runner_test

#endif  // TESTS_RUNNER_IMPORT_PATCH_H_
