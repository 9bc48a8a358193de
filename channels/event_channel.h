#ifndef CHANNELS_EVENT_CHANNEL_H_
#define CHANNELS_EVENT_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/encodable_value.h"
#include "channels/event_sink.h"
#include "channels/method_call.h"
#include "channels/method_codec.h"
#include "channels/stream_handler.h"
#include "channels/stream_handler_error.h"

namespace flutter {

// Carries a stream of events to the user interface on one named channel. The user interface
// opens and closes the stream with the method calls "listen" and "cancel"; a StreamHandler
// answers them and, while the stream is open, events go out through the EventSink handed to
// OnListen. Messages, handlers, replies and events all run on the user-interface thread.
template <typename T = EncodableValue>
class EventChannel {
 public:
  // Sends each event as its own message on the channel. It keeps no state of its own and does
  // not check whether the stream is still listened to; its owner decides when to stop.
  class EventSinkImplementation : public EventSink<T> {
   public:
    // messenger and codec are not owned and must outlive the sink.
    EventSinkImplementation(BinaryMessenger* messenger, const std::string& name,
                            const MethodCodec<T>* codec)
        : messenger_(messenger), name_(name), codec_(codec) {}

    void Success(const T* event = nullptr) override { SendBytes(codec_->EncodeSuccess(event)); }

    void Error(const std::string& code, const std::string& message = "",
               const T* details = nullptr) override {
      SendBytes(codec_->EncodeError(code, message, details));
    }

    // An empty message tells the user interface that the stream has ended.
    void EndStream() override { messenger_->Send(name_, nullptr, 0); }

   private:
    void SendBytes(const std::unique_ptr<std::vector<uint8_t>>& bytes) {
      if (bytes == nullptr || bytes->empty()) {
        messenger_->Send(name_, nullptr, 0);
        return;
      }
      messenger_->Send(name_, bytes->data(), bytes->size());
    }

    BinaryMessenger* messenger_;   // not owned
    std::string name_;             // the channel name
    const MethodCodec<T>* codec_;  // not owned
  };

  // messenger and codec are not owned and must outlive every handler installed through here.
  EventChannel(BinaryMessenger* messenger, const std::string& name, const MethodCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}

  ~EventChannel() = default;

  EventChannel(const EventChannel&) = delete;
  EventChannel& operator=(const EventChannel&) = delete;

  // Installs handler for this channel's name, replacing what the messenger held for it; null
  // removes it. A stream that was open is dropped without OnCancel. The installed function does
  // not refer to this object.
  void SetStreamHandler(std::unique_ptr<StreamHandler<T>> handler) {
    if (!handler) {
      messenger_->SetChannelHandler(name_, nullptr);
      return;
    }
    std::shared_ptr<StreamHandler<T>> shared_handler(std::move(handler));
    const MethodCodec<T>* codec = codec_;
    std::string channel_name = name_;
    BinaryMessenger* messenger = messenger_;
    BinaryHandlerFn binary_handler =
        [shared_handler, codec, channel_name, messenger, listening = false](
            const uint8_t* message, size_t message_size, BinaryReplyFn reply) mutable {
          std::unique_ptr<MethodCall<T>> call = codec->DecodeCall(message, message_size);
          if (!call) {
            std::cerr << "Unable to construct method call from message on channel: " << channel_name
                      << std::endl;
            reply(nullptr, 0);
            return;
          }
          std::unique_ptr<std::vector<uint8_t>> response;
          const std::string& method = call->method_name();
          if (method == "listen") {
            if (listening) {
              std::unique_ptr<StreamHandlerError<T>> error = shared_handler->OnCancel(nullptr);
              if (error) {
                std::cerr << "Failed to cancel existing stream: " << error->code << ", "
                          << error->message << ", "
                          << static_cast<const void*>(error->details.get());
              }
            }
            listening = true;
            std::unique_ptr<EventSink<T>> events =
                std::make_unique<EventSinkImplementation>(messenger, channel_name, codec);
            std::unique_ptr<StreamHandlerError<T>> error =
                shared_handler->OnListen(call->arguments(), std::move(events));
            response = EncodeOutcome(*codec, error.get());
          } else if (method == "cancel") {
            if (listening) {
              std::unique_ptr<StreamHandlerError<T>> error =
                  shared_handler->OnCancel(call->arguments());
              response = EncodeOutcome(*codec, error.get());
              listening = false;
            } else {
              response = codec->EncodeError("error", "No active stream to cancel", nullptr);
            }
          }
          if (response == nullptr || response->empty()) {
            reply(nullptr, 0);
            return;
          }
          reply(response->data(), response->size());
        };
    messenger_->SetChannelHandler(name_, std::move(binary_handler));
  }

 private:
  // A success envelope without a value, or the handler's error.
  static std::unique_ptr<std::vector<uint8_t>> EncodeOutcome(const MethodCodec<T>& codec,
                                                             const StreamHandlerError<T>* error) {
    if (error == nullptr) {
      return codec.EncodeSuccess(nullptr);
    }
    return codec.EncodeError(error->code, error->message, error->details.get());
  }

  BinaryMessenger* messenger_;   // not owned
  std::string name_;             // the channel name
  const MethodCodec<T>* codec_;  // not owned
};

}  // namespace flutter

#endif  // CHANNELS_EVENT_CHANNEL_H_
