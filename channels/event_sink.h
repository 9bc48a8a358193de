#ifndef CHANNELS_EVENT_SINK_H_
#define CHANNELS_EVENT_SINK_H_

#include <string>

#include "channels/encodable_value.h"

namespace flutter {

// Where the events of one open stream go. Implementations send on the user-interface thread.
template <typename T = EncodableValue>
class EventSink {
 public:
  EventSink() = default;
  virtual ~EventSink() = default;

  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // event is null for a null event.
  virtual void Success(const T* event = nullptr) = 0;

  // details is null for none.
  virtual void Error(const std::string& code, const std::string& message = "",
                     const T* details = nullptr) = 0;

  virtual void EndStream() = 0;
};

}  // namespace flutter

#endif  // CHANNELS_EVENT_SINK_H_
