#include "channels/binary_messenger_impl.h"

#include <iostream>
#include <memory>
#include <utility>

namespace flutter {

namespace {

// Holds the messenger's lock for one scope.
class ScopedMessengerLock {
 public:
  explicit ScopedMessengerLock(FlutterDesktopMessengerRef messenger)
      : locked_(FlutterDesktopMessengerLock(messenger)) {}
  ~ScopedMessengerLock() { FlutterDesktopMessengerUnlock(locked_); }

  ScopedMessengerLock(const ScopedMessengerLock&) = delete;
  ScopedMessengerLock& operator=(const ScopedMessengerLock&) = delete;

 private:
  FlutterDesktopMessengerRef locked_;
};

// The state behind the reply function of one incoming message: a reference on the messenger,
// dropped with the last copy of the reply function, and the message's response handle. Copies of
// a reply function share one response handle, so between them they answer once: the engine
// frees a response handle when it is answered and must never see it again.
class PendingResponse {
 public:
  PendingResponse(FlutterDesktopMessengerRef messenger,
                  const FlutterDesktopMessageResponseHandle* response_handle)
      : messenger_(messenger ? FlutterDesktopMessengerAddRef(messenger) : nullptr),
        response_handle_(response_handle) {}

  ~PendingResponse() {
    if (messenger_ != nullptr) {
      FlutterDesktopMessengerRelease(messenger_);
    }
  }

  PendingResponse(const PendingResponse&) = delete;
  PendingResponse& operator=(const PendingResponse&) = delete;

  // May run on any thread; the messenger's lock keeps the engine alive between the availability
  // test and the response, and orders answers from several threads.
  void Respond(const uint8_t* data, size_t size) {
    ScopedMessengerLock lock(messenger_);
    if (!FlutterDesktopMessengerIsAvailable(messenger_)) {
      return;
    }
    if (response_handle_ == nullptr) {
      std::cerr << "Error: Response can be set only once. Ignoring duplicate response."
                << std::endl;
      return;
    }
    FlutterDesktopMessengerSendResponse(messenger_, response_handle_, data, size);
    response_handle_ = nullptr;
  }

 private:
  FlutterDesktopMessengerRef messenger_;  // one reference of our own
  // Null once answered; read and written only under the messenger's lock.
  const FlutterDesktopMessageResponseHandle* response_handle_;
};

// Message callback registered for every channel; user_data is the channel's entry in the handler
// table, a shared pointer to the BinaryHandlerFn.
void DispatchToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                       void* user_data) {
  // Our own reference: the entry may be replaced or erased by the handler itself.
  const std::shared_ptr<const BinaryHandlerFn> handler =
      *static_cast<const std::shared_ptr<const BinaryHandlerFn>*>(user_data);
  if (!handler) {
    return;
  }
  auto pending = std::make_shared<PendingResponse>(messenger, message->response_handle);
  BinaryReplyFn reply = [pending](const uint8_t* data, size_t size) {
    pending->Respond(data, size);
  };
  (*handler)(message->message, static_cast<size_t>(message->message_size), std::move(reply));
}

// Reply callback for Send with a reply; user_data is a heap copy of the reply function, used
// for this one reply.
void DeliverReply(const uint8_t* data, size_t data_size, void* user_data) {
  std::unique_ptr<BinaryReplyFn> reply(static_cast<BinaryReplyFn*>(user_data));
  (*reply)(data, data_size);
}

}  // namespace

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef messenger)
    : messenger_(messenger) {}

BinaryMessengerImpl::~BinaryMessengerImpl() = default;

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReplyFn reply) const {
  if (messenger_ == nullptr) {
    return;
  }
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  auto heap_reply = std::make_unique<BinaryReplyFn>(std::move(reply));
  if (FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                           DeliverReply, heap_reply.get())) {
    // From here on DeliverReply owns it.
    static_cast<void>(heap_reply.release());
  }
}

void BinaryMessengerImpl::SetChannelHandler(const std::string& channel, BinaryHandlerFn handler) {
  if (messenger_ == nullptr) {
    return;
  }
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  std::shared_ptr<const BinaryHandlerFn>& stored = handlers_[channel];
  stored = std::make_shared<const BinaryHandlerFn>(std::move(handler));
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), DispatchToHandler, &stored);
}

}  // namespace flutter
