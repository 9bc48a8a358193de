#ifndef CHANNELS_BINARY_MESSENGER_IMPL_H_
#define CHANNELS_BINARY_MESSENGER_IMPL_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/flutter_desktop.h"

namespace flutter {

// BinaryMessenger over the engine library's messenger handle.
//
// Threads: everything here runs on the user-interface thread, where the engine delivers
// messages; the handler table is not locked. Only the reply functions given to handlers may be
// called from other threads: each holds its own reference on the messenger handle and answers
// under the handle's lock.
//
// Destroy this object only once the engine has stopped delivering messages: the registered
// callbacks point into the handler table and are not unregistered here.
class BinaryMessengerImpl : public BinaryMessenger {
 public:
  // messenger is borrowed: no reference is taken or released.
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef messenger);
  ~BinaryMessengerImpl() override;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReplyFn reply = nullptr) const override;
  // A handler may replace or remove its own channel's handler while it runs: the running
  // callable stays alive until it returns.
  void SetChannelHandler(const std::string& channel, BinaryHandlerFn handler) override;

 private:
  // Null for an engine that does not exist (any more): sending and registering then do nothing.
  FlutterDesktopMessengerRef messenger_;  // not owned
  // Node-based on purpose: the address of each entry's pointer is the callback's user data, so
  // entries must not move while others come and go. Shared, so that a message being handled
  // keeps its handler alive while the handler replaces or removes itself.
  std::map<std::string, std::shared_ptr<const BinaryHandlerFn>> handlers_;
};

}  // namespace flutter

#endif  // CHANNELS_BINARY_MESSENGER_IMPL_H_
