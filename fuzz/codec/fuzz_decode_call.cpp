#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>

#include "channels/standard_method_codec.h"

// Malformed input is the point here, and each one reports on standard error: dropping those
// lines keeps the run fast (sanitizer and libFuzzer reports do not go through std::cerr).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const flutter::StandardMethodCodec& codec = flutter::StandardMethodCodec::ForSerializer();
  std::unique_ptr<flutter::MethodCall<>> call = codec.DecodeCall(data, size);
  if (call != nullptr) {
    // A decoded call must encode again.
    codec.EncodeCall(*call);
  }
  return 0;
}
