#ifndef CHANNELS_METHOD_CODEC_H_
#define CHANNELS_METHOD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/encodable_value.h"
#include "channels/method_call.h"
#include "channels/method_result.h"

namespace flutter {

// Frames method calls and their success and error envelopes as bytes. Implementations keep no
// state between calls.
template <typename T = EncodableValue>
class MethodCodec {
 public:
  MethodCodec() = default;
  virtual ~MethodCodec() = default;

  MethodCodec(const MethodCodec&) = delete;
  MethodCodec& operator=(const MethodCodec&) = delete;

  // Null when the message is not a method call.
  virtual std::unique_ptr<MethodCall<T>> DecodeCall(const uint8_t* message, size_t size) const = 0;

  virtual std::unique_ptr<std::vector<uint8_t>> EncodeCall(const MethodCall<T>& call) const = 0;

  // result is null for a success without a value.
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeSuccess(const T* result = nullptr) const = 0;

  // An empty message and null details are sent as null values.
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeError(const std::string& code,
                                                            const std::string& message = "",
                                                            const T* details = nullptr) const = 0;

  // Hands a success or error envelope to result and answers true; answers false and touches
  // nothing for anything else.
  virtual bool DecodeResponse(const uint8_t* response, size_t size,
                              MethodResult<T>* result) const = 0;
};

}  // namespace flutter

#endif  // CHANNELS_METHOD_CODEC_H_
