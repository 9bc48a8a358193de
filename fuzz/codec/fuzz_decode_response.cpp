#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <variant>

#include "channels/standard_method_codec.h"

namespace {

// Counts the calls and touches every value it is handed, so the sanitizers see each byte.
class RecordingResult : public flutter::MethodResult<flutter::EncodableValue> {
 public:
  void Success(const flutter::EncodableValue* result = nullptr) override {
    ++calls;
    if (result != nullptr) {
      copy = *result;
    }
  }
  void Error(const std::string& code, const std::string& message = "",
             const flutter::EncodableValue* details = nullptr) override {
    ++calls;
    text = code + message;
    if (details != nullptr) {
      copy = *details;
    }
  }
  void NotImplemented() override { ++calls; }

  int calls = 0;
  std::string text;
  flutter::EncodableValue copy;
};

}  // namespace

// Malformed input is the point here, and each one reports on standard error: dropping those
// lines keeps the run fast (sanitizer and libFuzzer reports do not go through std::cerr).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RecordingResult result;
  bool recognised = false;
  try {
    recognised = flutter::StandardMethodCodec::ForSerializer().DecodeResponse(data, size, &result);
  } catch (const std::bad_variant_access&) {
    // An error envelope whose code or message has the wrong type; the result stays untouched.
    if (result.calls != 0) {
      std::abort();
    }
    return 0;
  }
  if (result.calls != (recognised ? 1 : 0)) {
    std::abort();
  }
  return 0;
}
