#ifndef CHANNELS_BINARY_MESSENGER_H_
#define CHANNELS_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Receives a reply (bytes, size in bytes), or delivers one. An empty reply is (nullptr, 0).
using BinaryReplyFn = std::function<void(const uint8_t* reply, size_t reply_size)>;

// Handles one incoming message; reply answers exactly that message, now or later.
using BinaryHandlerFn =
    std::function<void(const uint8_t* message, size_t message_size, BinaryReplyFn reply)>;

// The byte transport under every channel. Send and SetChannelHandler run on the user-interface
// thread; a reply function handed to a handler may be called from any thread.
class BinaryMessenger {
 public:
  BinaryMessenger() = default;
  virtual ~BinaryMessenger() = default;

  BinaryMessenger(const BinaryMessenger&) = delete;
  BinaryMessenger& operator=(const BinaryMessenger&) = delete;

  // Sends message on channel. reply, when not empty, is called at most once with the answer.
  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReplyFn reply = nullptr) const = 0;

  // Installs handler for channel, replacing the previous one; an empty handler removes it.
  virtual void SetChannelHandler(const std::string& channel, BinaryHandlerFn handler) = 0;
};

}  // namespace flutter

#endif  // CHANNELS_BINARY_MESSENGER_H_
