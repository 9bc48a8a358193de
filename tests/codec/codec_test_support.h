#ifndef TESTS_CODEC_CODEC_TEST_SUPPORT_H_
#define TESTS_CODEC_CODEC_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "channels/byte_buffer_streams.h"
#include "channels/encodable_value.h"
#include "channels/standard_codec_serializer.h"

namespace codec_test {

using Bytes = std::vector<uint8_t>;

// "03 05 00" -> {0x03, 0x05, 0x00}
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
  }
  return bytes;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes Encode(const flutter::EncodableValue& value,
                    const flutter::StandardCodecSerializer& serializer =
                        flutter::StandardCodecSerializer::SharedSerializer()) {
  Bytes bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  serializer.WriteValue(value, &writer);
  return bytes;
}

struct Decoded {
  flutter::EncodableValue value;
  size_t position;  // bytes consumed
  std::string errors;
};

// Decodes one tagged value and captures what went to standard error meanwhile.
inline Decoded Decode(const Bytes& bytes,
                      const flutter::StandardCodecSerializer& serializer =
                          flutter::StandardCodecSerializer::SharedSerializer()) {
  flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
  testing::internal::CaptureStderr();
  flutter::EncodableValue value = serializer.ReadTaggedValue(&reader);
  std::string errors = testing::internal::GetCapturedStderr();
  return Decoded{std::move(value), reader.position(), std::move(errors)};
}

inline std::string Lines(const std::string& line, int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += line + "\n";
  }
  return lines;
}

const char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";

}  // namespace codec_test

namespace flutter {

// gtest prints a value as its encoding, e.g. "0C 02 00 01 ".
inline void PrintTo(const EncodableValue& value, std::ostream* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (uint8_t byte : codec_test::Encode(value)) {
    *out << kDigits[byte >> 4] << kDigits[byte & 15] << ' ';
  }
}

}  // namespace flutter

#endif  // TESTS_CODEC_CODEC_TEST_SUPPORT_H_
