#ifndef CHANNELS_ENGINE_METHOD_RESULT_H_
#define CHANNELS_ENGINE_METHOD_RESULT_H_

#include <memory>
#include <string>
#include <utility>

#include "channels/binary_messenger.h"
#include "channels/encodable_value.h"
#include "channels/method_codec.h"
#include "channels/method_result.h"
#include "channels/reply_holder.h"

namespace flutter {

// Answers one incoming method call through the messenger's reply function: the first answer is
// encoded and sent, later ones are refused with a line on standard error, and a result destroyed
// unanswered reports it. Used on the user-interface thread.
template <typename T = EncodableValue>
class EngineMethodResult : public MethodResult<T> {
 public:
  // codec is not owned and must outlive the result.
  EngineMethodResult(BinaryReplyFn reply, const MethodCodec<T>* codec)
      : reply_(std::make_unique<ReplyHolder>(std::move(reply))), codec_(codec) {}

  ~EngineMethodResult() override = default;

  void Success(const T* result = nullptr) override {
    std::unique_ptr<std::vector<uint8_t>> bytes = codec_->EncodeSuccess(result);
    reply_->SendOnce(bytes.get());
  }

  void Error(const std::string& code, const std::string& message = "",
             const T* details = nullptr) override {
    std::unique_ptr<std::vector<uint8_t>> bytes = codec_->EncodeError(code, message, details);
    reply_->SendOnce(bytes.get());
  }

  // An empty reply: the caller learns that the method is not implemented.
  void NotImplemented() override { reply_->SendOnce(nullptr); }

 private:
  std::unique_ptr<ReplyHolder> reply_;
  const MethodCodec<T>* codec_;  // not owned
};

}  // namespace flutter

#endif  // CHANNELS_ENGINE_METHOD_RESULT_H_
