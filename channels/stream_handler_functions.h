#ifndef CHANNELS_STREAM_HANDLER_FUNCTIONS_H_
#define CHANNELS_STREAM_HANDLER_FUNCTIONS_H_

#include <functional>
#include <memory>
#include <utility>

#include "channels/encodable_value.h"
#include "channels/event_sink.h"
#include "channels/stream_handler.h"
#include "channels/stream_handler_error.h"

namespace flutter {

template <typename T = EncodableValue>
using StreamHandlerListen = std::function<std::unique_ptr<StreamHandlerError<T>>(
    const T* arguments, std::unique_ptr<EventSink<T>>&& events)>;

template <typename T = EncodableValue>
using StreamHandlerCancel =
    std::function<std::unique_ptr<StreamHandlerError<T>>(const T* arguments)>;

// A StreamHandler made of two callables; either may be empty, which refuses that request.
template <typename T = EncodableValue>
class StreamHandlerFunctions : public StreamHandler<T> {
 public:
  StreamHandlerFunctions(StreamHandlerListen<T> on_listen, StreamHandlerCancel<T> on_cancel)
      : on_listen_(std::move(on_listen)), on_cancel_(std::move(on_cancel)) {}

  std::unique_ptr<StreamHandlerError<T>> OnListen(const T* arguments,
                                                  std::unique_ptr<EventSink<T>>&& events) override {
    if (!on_listen_) {
      return std::make_unique<StreamHandlerError<T>>("error", "No OnListen handler set", nullptr);
    }
    return on_listen_(arguments, std::move(events));
  }

  std::unique_ptr<StreamHandlerError<T>> OnCancel(const T* arguments) override {
    if (!on_cancel_) {
      return std::make_unique<StreamHandlerError<T>>("error", "No OnCancel handler set", nullptr);
    }
    return on_cancel_(arguments);
  }

 private:
  StreamHandlerListen<T> on_listen_;
  StreamHandlerCancel<T> on_cancel_;
};

}  // namespace flutter

#endif  // CHANNELS_STREAM_HANDLER_FUNCTIONS_H_
