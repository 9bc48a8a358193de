#ifndef CHANNELS_STREAM_HANDLER_ERROR_H_
#define CHANNELS_STREAM_HANDLER_ERROR_H_

#include <memory>
#include <string>
#include <utility>

#include "channels/encodable_value.h"

namespace flutter {

// What an on-listen or on-cancel handler returns when it refuses; sent back as an error
// envelope.
template <typename T = EncodableValue>
struct StreamHandlerError {
  StreamHandlerError(const std::string& code, const std::string& message,
                     std::unique_ptr<T> details = nullptr)
      : code(code), message(message), details(std::move(details)) {}

  std::string code;
  std::string message;
  std::unique_ptr<T> details;  // null for none
};

}  // namespace flutter

#endif  // CHANNELS_STREAM_HANDLER_ERROR_H_
