#ifndef CHANNELS_METHOD_CHANNEL_H_
#define CHANNELS_METHOD_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "channels/binary_messenger.h"
#include "channels/encodable_value.h"
#include "channels/engine_method_result.h"
#include "channels/method_call.h"
#include "channels/method_codec.h"
#include "channels/method_result.h"

namespace flutter {

// Handles one method call. The handler owns result from the call on and may answer at once or
// later; call is destroyed when the handler returns.
template <typename T = EncodableValue>
using MethodCallHandler =
    std::function<void(const MethodCall<T>& call, std::unique_ptr<MethodResult<T>> result)>;

// Turns the messages of one named channel into method calls for a typed handler, and the
// handler's answers into reply envelopes. Messages arrive and handlers run on the
// user-interface thread.
template <typename T = EncodableValue>
class MethodChannel {
 public:
  // messenger and codec are not owned and must outlive every handler installed through here.
  MethodChannel(BinaryMessenger* messenger, const std::string& name, const MethodCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}

  ~MethodChannel() = default;

  MethodChannel(const MethodChannel&) = delete;
  MethodChannel& operator=(const MethodChannel&) = delete;

  // Installs handler for this channel's name, replacing whatever the messenger held for it; an
  // empty handler removes it. The installed function does not refer to this object, so the
  // channel may be destroyed while it stays installed.
  void SetMethodCallHandler(const MethodCallHandler<T>& handler) const {
    if (!handler) {
      messenger_->SetChannelHandler(name_, nullptr);
      return;
    }
    const MethodCodec<T>* codec = codec_;
    std::string channel_name = name_;
    BinaryHandlerFn binary_handler = [handler, codec, channel_name](const uint8_t* message,
                                                                    size_t message_size,
                                                                    BinaryReplyFn reply) {
      auto result = std::make_unique<EngineMethodResult<T>>(std::move(reply), codec);
      std::unique_ptr<MethodCall<T>> call = codec->DecodeCall(message, message_size);
      if (!call) {
        std::cerr << "Unable to construct method call from message on channel " << channel_name
                  << std::endl;
        result->NotImplemented();
        return;
      }
      handler(*call, std::move(result));
    };
    messenger_->SetChannelHandler(name_, std::move(binary_handler));
  }

 private:
  BinaryMessenger* messenger_;   // not owned
  std::string name_;             // the channel name
  const MethodCodec<T>* codec_;  // not owned
};

}  // namespace flutter

#endif  // CHANNELS_METHOD_CHANNEL_H_
