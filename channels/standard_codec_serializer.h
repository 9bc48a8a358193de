#ifndef CHANNELS_STANDARD_CODEC_SERIALIZER_H_
#define CHANNELS_STANDARD_CODEC_SERIALIZER_H_

#include <cstddef>
#include <cstdint>

#include "channels/byte_streams.h"
#include "channels/encodable_value.h"

namespace flutter {

// Writes and reads EncodableValues in the standard message codec's wire format. Stateless, so
// one instance serves every thread; derive from it to add types (nested values are read and
// written through the virtual operations, so additions apply inside lists and maps too).
//
// Decoding never throws for malformed bytes and never trusts a size field: a string, byte list
// or typed list whose announced size is larger than the bytes that remain yields the empty value
// of its type after the invalid-read line; a list or map grows only with the entries actually
// read and stops at the end of the data; a list or map nested deeper than kMaxNestingDepth
// yields null, and reading goes on after its last byte. Comparing keys costs their size, so
// decoding costs time linear in the message's length, times at most the logarithm of a map's
// entry count for keys that arrive out of order.
class StandardCodecSerializer {
 public:
  // Lists and maps may enclose each other this many levels deep; a deeper one reads as null.
  static constexpr int kMaxNestingDepth = 512;

  StandardCodecSerializer();
  virtual ~StandardCodecSerializer();

  StandardCodecSerializer(const StandardCodecSerializer&) = delete;
  StandardCodecSerializer& operator=(const StandardCodecSerializer&) = delete;

  // The process-wide instance, created on first use.
  static const StandardCodecSerializer& SharedSerializer();

  // Writes the value's tag and payload.
  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

  // Reads the payload of a value whose tag byte has already been taken.
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  // Takes one tag byte and reads the value it introduces.
  EncodableValue ReadTaggedValue(ByteStreamReader* stream) const;

  // Size fields: one byte below 254, else 254 and 16 bits, else 255 and the low 32 bits.
  void WriteLength(size_t length, ByteStreamWriter* stream) const;
  size_t ReadLength(ByteStreamReader* stream) const;
};

}  // namespace flutter

#endif  // CHANNELS_STANDARD_CODEC_SERIALIZER_H_
