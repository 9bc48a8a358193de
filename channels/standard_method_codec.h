#ifndef CHANNELS_STANDARD_METHOD_CODEC_H_
#define CHANNELS_STANDARD_METHOD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/encodable_value.h"
#include "channels/method_call.h"
#include "channels/method_codec.h"
#include "channels/method_result.h"
#include "channels/standard_codec_serializer.h"

namespace flutter {

// The method codec over the standard message codec:
//   call:    name (string), arguments (null when absent)
//   success: 0x00, result (null when absent)
//   error:   0x01, code (string), message (string, null when empty), details (null when absent)
class StandardMethodCodec : public MethodCodec<EncodableValue> {
 public:
  // The one codec for serializer (null selects SharedSerializer()). Codecs are created on first
  // request and live until the process ends, so serializer must too. Safe from any thread.
  static const StandardMethodCodec& ForSerializer(
      const StandardCodecSerializer* serializer = nullptr);

  // Prefer ForSerializer(): it hands out one shared codec per serializer.
  explicit StandardMethodCodec(const StandardCodecSerializer* serializer);
  ~StandardMethodCodec() override;

  std::unique_ptr<MethodCall<EncodableValue>> DecodeCall(const uint8_t* message,
                                                         size_t size) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeCall(
      const MethodCall<EncodableValue>& call) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeSuccess(
      const EncodableValue* result = nullptr) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeError(
      const std::string& code, const std::string& message = "",
      const EncodableValue* details = nullptr) const override;
  // An error envelope whose code is not a string, or whose message is neither a string nor null,
  // throws std::bad_variant_access before result is touched.
  bool DecodeResponse(const uint8_t* response, size_t size,
                      MethodResult<EncodableValue>* result) const override;

 private:
  const StandardCodecSerializer* serializer_;  // not owned
};

}  // namespace flutter

#endif  // CHANNELS_STANDARD_METHOD_CODEC_H_
