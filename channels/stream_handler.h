#ifndef CHANNELS_STREAM_HANDLER_H_
#define CHANNELS_STREAM_HANDLER_H_

#include <memory>

#include "channels/encodable_value.h"
#include "channels/event_sink.h"
#include "channels/stream_handler_error.h"

namespace flutter {

// Opens and closes the stream of an event channel. Called on the user-interface thread.
template <typename T = EncodableValue>
class StreamHandler {
 public:
  StreamHandler() = default;
  virtual ~StreamHandler() = default;

  StreamHandler(const StreamHandler&) = delete;
  StreamHandler& operator=(const StreamHandler&) = delete;

  // arguments may be null. Take events to keep it; a sink left in events is destroyed by the
  // caller. Returns null on success.
  virtual std::unique_ptr<StreamHandlerError<T>> OnListen(
      const T* arguments, std::unique_ptr<EventSink<T>>&& events) = 0;

  // arguments may be null. Returns null on success.
  virtual std::unique_ptr<StreamHandlerError<T>> OnCancel(const T* arguments) = 0;
};

}  // namespace flutter

#endif  // CHANNELS_STREAM_HANDLER_H_
