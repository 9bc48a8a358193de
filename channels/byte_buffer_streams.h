#ifndef CHANNELS_BYTE_BUFFER_STREAMS_H_
#define CHANNELS_BYTE_BUFFER_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "channels/byte_streams.h"

namespace flutter {

// Reads a buffer that the caller owns and keeps alive while reading. A read past the end writes
// "Invalid read in StandardCodecByteStreamReader" to standard error, yields zeros and leaves the
// position where it was.
class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size);

  uint8_t TakeByte() override;
  void TakeBytes(uint8_t* destination, size_t length) override;
  // Moves the position only; it may end up past the end, where the next read fails (also a
  // TakeBytes of no bytes).
  void AlignRead(uint8_t alignment) override;
  size_t BytesRemaining() const override;

  // Bytes from the start of the buffer.
  size_t position() const { return position_; }

 private:
  const uint8_t* bytes_;
  size_t size_;      // bytes
  size_t position_;  // bytes from bytes_
};

// Appends to a vector that the caller owns; the vector's size is the write position, so
// alignment counts from its first byte.
class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer);

  void PutByte(uint8_t byte) override;
  void PutBytes(const uint8_t* bytes, size_t length) override;
  void AlignWrite(uint8_t alignment) override;

 private:
  std::vector<uint8_t>* buffer_;
};

}  // namespace flutter

#endif  // CHANNELS_BYTE_BUFFER_STREAMS_H_
