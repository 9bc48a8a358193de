#ifndef CHANNELS_METHOD_CALL_H_
#define CHANNELS_METHOD_CALL_H_

#include <memory>
#include <string>
#include <utility>

#include "channels/encodable_value.h"

namespace flutter {

// One method call: a name and owned arguments, fixed at construction.
template <typename T = EncodableValue>
class MethodCall {
 public:
  // arguments may be null for a call without arguments.
  MethodCall(const std::string& method_name, std::unique_ptr<T> arguments)
      : method_name_(method_name), arguments_(std::move(arguments)) {}

  virtual ~MethodCall() = default;

  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  const std::string& method_name() const { return method_name_; }

  // Null when the call has no arguments.
  const T* arguments() const { return arguments_.get(); }

 private:
  std::string method_name_;  // UTF-8
  std::unique_ptr<T> arguments_;
};

}  // namespace flutter

#endif  // CHANNELS_METHOD_CALL_H_
