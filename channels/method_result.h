#ifndef CHANNELS_METHOD_RESULT_H_
#define CHANNELS_METHOD_RESULT_H_

#include <string>

#include "channels/encodable_value.h"

namespace flutter {

// How a method handler answers one call. Overrides keep the same default arguments, so
// result->Success() and result->Error("code", "msg") mean the same through any static type.
template <typename T = EncodableValue>
class MethodResult {
 public:
  MethodResult() = default;
  virtual ~MethodResult() = default;

  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  // result is null for a success without a value.
  virtual void Success(const T* result = nullptr) = 0;

  // details is null for none.
  virtual void Error(const std::string& code, const std::string& message = "",
                     const T* details = nullptr) = 0;

  virtual void NotImplemented() = 0;
};

}  // namespace flutter

#endif  // CHANNELS_METHOD_RESULT_H_
