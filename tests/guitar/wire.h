// Hand-written messages in the standard codec's wire format, so that tests state the bytes the
// user interface sends and expects without going through the codec under test.
#ifndef TESTS_GUITAR_WIRE_H_
#define TESTS_GUITAR_WIRE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tonelark_test {

using Bytes = std::vector<uint8_t>;

// Appends tagged values to a message.
class Wire {
 public:
  Wire& Null() { return Byte(0x00); }
  Wire& Bool(bool value) { return Byte(value ? 0x01 : 0x02); }
  Wire& Int32(int32_t value) { return Byte(0x03).Raw(&value, 4); }
  Wire& Int64(int64_t value) { return Byte(0x04).Raw(&value, 8); }
  // A float64 starts at the next multiple of 8 in the message.
  Wire& Double(double value) {
    Byte(0x06);
    while (bytes_.size() % 8 != 0) bytes_.push_back(0);
    return Raw(&value, 8);
  }
  Wire& String(const std::string& text) {
    Byte(0x07).Size(text.size());
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Wire& List(size_t count) { return Byte(0x0C).Size(count); }
  Wire& Map(size_t count) { return Byte(0x0D).Size(count); }
  Wire& Byte(uint8_t byte) {
    bytes_.push_back(byte);
    return *this;
  }
  Wire& Size(size_t size) {
    if (size < 254) return Byte(static_cast<uint8_t>(size));
    if (size <= 0xFFFF) {
      const uint16_t value = static_cast<uint16_t>(size);
      return Byte(254).Raw(&value, 2);
    }
    const uint32_t value = static_cast<uint32_t>(size);
    return Byte(255).Raw(&value, 4);
  }
  Wire& Append(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  // Host byte order is little-endian on every build we make, as on the wire.
  Wire& Raw(const void* data, size_t size) {
    const auto* first = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), first, first + size);
    return *this;
  }

  Bytes bytes_;
};

inline Bytes SuccessWithoutValue() { return {0x00, 0x00}; }

// The reply to "start": the map's entries in key order.
inline Bytes StartReply(bool ok, const std::string& name, int32_t rate, bool exclusive) {
  return Wire()
      .Byte(0x00)
      .Map(4)
      .String("name")
      .String(name)
      .String("ok")
      .Bool(ok)
      .String("renderExclusive")
      .Bool(exclusive)
      .String("sampleRate")
      .Int32(rate)
      .bytes();
}

// A PCM event: a success envelope around a byte list.
inline Bytes PcmEvent(const Bytes& chunk) {
  return Wire().Byte(0x00).Byte(0x08).Size(chunk.size()).Append(chunk).bytes();
}

inline Bytes NoActiveStreamError() {
  return Wire().Byte(0x01).String("error").String("No active stream to cancel").Null().bytes();
}

}  // namespace tonelark_test

#endif  // TESTS_GUITAR_WIRE_H_
