#ifndef CHANNELS_REPLY_HOLDER_H_
#define CHANNELS_REPLY_HOLDER_H_

#include <cstdint>
#include <iostream>
#include <utility>
#include <vector>

#include "channels/binary_messenger.h"

namespace flutter {

// Keeps the reply function of one incoming message and lets it be used once. Not thread-safe:
// one holder must not be answered from two threads at once.
class ReplyHolder {
 public:
  explicit ReplyHolder(BinaryReplyFn reply) : reply_(std::move(reply)) {}

  ~ReplyHolder() {
    if (reply_) {
      std::cerr << "Warning: Failed to respond to a message. This is a memory leak." << std::endl;
    }
  }

  ReplyHolder(const ReplyHolder&) = delete;
  ReplyHolder& operator=(const ReplyHolder&) = delete;

  // Sends bytes (null or empty: an empty reply) if nothing was sent yet.
  void SendOnce(const std::vector<uint8_t>* bytes) {
    if (!reply_) {
      std::cerr << "Error: Only one of Success, Error, or NotImplemented can be called,"
                << " and it can be called exactly once. Ignoring duplicate result." << std::endl;
      return;
    }
    // Emptied before the call, so that a reply that answers again from inside is refused.
    BinaryReplyFn reply = std::move(reply_);
    reply_ = nullptr;
    if (bytes != nullptr && !bytes->empty()) {
      reply(bytes->data(), bytes->size());
    } else {
      reply(nullptr, 0);
    }
  }

 private:
  BinaryReplyFn reply_;  // empty once a reply was sent
};

}  // namespace flutter

#endif  // CHANNELS_REPLY_HOLDER_H_
