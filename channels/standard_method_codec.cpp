#include "channels/standard_method_codec.h"

#include <iostream>
#include <map>
#include <mutex>
#include <utility>
#include <variant>

#include "channels/byte_buffer_streams.h"

namespace flutter {
namespace {

constexpr uint8_t kSuccessEnvelope = 0;
constexpr uint8_t kErrorEnvelope = 1;

// An upper estimate of the encoded size, so an envelope is built in one allocation. Only a
// capacity hint: a serializer that adds types may write more, and the vector then grows.
size_t EstimateEncodedSize(const EncodableValue& value) {
  constexpr size_t kHeader = 1 + 5 + 7;  // tag, longest size field, most padding
  constexpr size_t kScalar = 16;         // tag, padding and the widest scalar
  switch (value.type()) {
    case ValueType::kNull:
    case ValueType::kBool:
    case ValueType::kInt32:
    case ValueType::kInt64:
    case ValueType::kDouble:
    case ValueType::kCustom:
    case ValueType::kCount:
      return kScalar;
    case ValueType::kString:
      return kHeader + std::get<std::string>(value).size();
    case ValueType::kByteList:
      return kHeader + std::get<std::vector<uint8_t>>(value).size();
    case ValueType::kInt32List:
      return kHeader + 4 * std::get<std::vector<int32_t>>(value).size();
    case ValueType::kInt64List:
      return kHeader + 8 * std::get<std::vector<int64_t>>(value).size();
    case ValueType::kDoubleList:
      return kHeader + 8 * std::get<std::vector<double>>(value).size();
    case ValueType::kList: {
      size_t size = kHeader;
      for (const EncodableValue& element : std::get<ValueList>(value)) {
        size += EstimateEncodedSize(element);
      }
      return size;
    }
    case ValueType::kMap: {
      size_t size = kHeader;
      for (const auto& entry : std::get<ValueMap>(value)) {
        size += EstimateEncodedSize(entry.first) + EstimateEncodedSize(entry.second);
      }
      return size;
    }
    case ValueType::kFloatList:
      return kHeader + 4 * std::get<std::vector<float>>(value).size();
  }
  return kScalar;
}

// Stands in for absent values; referring to it rather than to a temporary keeps the conditional
// expressions below from copying the value that is present.
const EncodableValue& NullValue() {
  static const EncodableValue null_value;
  return null_value;
}

std::unique_ptr<std::vector<uint8_t>> NewMessage(size_t estimated_size) {
  auto message = std::make_unique<std::vector<uint8_t>>();
  message->reserve(estimated_size);
  return message;
}

}  // namespace

const StandardMethodCodec& StandardMethodCodec::ForSerializer(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) {
    serializer = &StandardCodecSerializer::SharedSerializer();
  }
  struct Registry {
    std::mutex mutex;
    std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>> codecs;
  };
  // Deliberately never destroyed: channels keep references to these codecs until the process
  // ends, also from other static objects' destructors. The lock lets any thread ask.
  static Registry* const registry = new Registry();
  std::lock_guard<std::mutex> lock(registry->mutex);
  std::unique_ptr<StandardMethodCodec>& codec = registry->codecs[serializer];
  if (!codec) {
    codec = std::make_unique<StandardMethodCodec>(serializer);
  }
  return *codec;
}

StandardMethodCodec::StandardMethodCodec(const StandardCodecSerializer* serializer)
    : serializer_(serializer) {}

StandardMethodCodec::~StandardMethodCodec() = default;

std::unique_ptr<MethodCall<EncodableValue>> StandardMethodCodec::DecodeCall(const uint8_t* message,
                                                                            size_t size) const {
  ByteBufferStreamReader reader(message, size);
  EncodableValue name = serializer_->ReadTaggedValue(&reader);
  std::string* method_name = std::get_if<std::string>(&name);
  if (method_name == nullptr) {
    std::cerr << "Invalid method call; method name is not a string." << std::endl;
    return nullptr;
  }
  auto arguments = std::make_unique<EncodableValue>(serializer_->ReadTaggedValue(&reader));
  return std::make_unique<MethodCall<EncodableValue>>(*method_name, std::move(arguments));
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeCall(
    const MethodCall<EncodableValue>& call) const {
  const EncodableValue name(call.method_name());
  const EncodableValue* arguments = call.arguments();
  auto message = NewMessage(EstimateEncodedSize(name) +
                            (arguments != nullptr ? EstimateEncodedSize(*arguments) : 1));
  ByteBufferStreamWriter writer(message.get());
  serializer_->WriteValue(name, &writer);
  serializer_->WriteValue(arguments != nullptr ? *arguments : NullValue(), &writer);
  return message;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeSuccess(
    const EncodableValue* result) const {
  auto message = NewMessage(1 + (result != nullptr ? EstimateEncodedSize(*result) : 1));
  ByteBufferStreamWriter writer(message.get());
  writer.PutByte(kSuccessEnvelope);
  serializer_->WriteValue(result != nullptr ? *result : NullValue(), &writer);
  return message;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeError(
    const std::string& code, const std::string& message_text, const EncodableValue* details) const {
  const EncodableValue code_value(code);
  const EncodableValue message_value =
      message_text.empty() ? EncodableValue() : EncodableValue(message_text);
  auto message =
      NewMessage(1 + EstimateEncodedSize(code_value) + EstimateEncodedSize(message_value) +
                 (details != nullptr ? EstimateEncodedSize(*details) : 1));
  ByteBufferStreamWriter writer(message.get());
  writer.PutByte(kErrorEnvelope);
  serializer_->WriteValue(code_value, &writer);
  serializer_->WriteValue(message_value, &writer);
  serializer_->WriteValue(details != nullptr ? *details : NullValue(), &writer);
  return message;
}

bool StandardMethodCodec::DecodeResponse(const uint8_t* response, size_t size,
                                         MethodResult<EncodableValue>* result) const {
  ByteBufferStreamReader reader(response, size);
  const uint8_t envelope = reader.TakeByte();
  if (envelope == kSuccessEnvelope) {
    const EncodableValue value = serializer_->ReadTaggedValue(&reader);
    result->Success(value.IsNull() ? nullptr : &value);
    return true;
  }
  if (envelope == kErrorEnvelope) {
    const EncodableValue code = serializer_->ReadTaggedValue(&reader);
    const EncodableValue message = serializer_->ReadTaggedValue(&reader);
    const EncodableValue details = serializer_->ReadTaggedValue(&reader);
    const std::string message_text =
        message.IsNull() ? std::string() : std::get<std::string>(message);
    const std::string& code_text = std::get<std::string>(code);
    result->Error(code_text, message_text, details.IsNull() ? nullptr : &details);
    return true;
  }
  return false;
}

}  // namespace flutter
