#ifndef CHANNELS_BYTE_STREAMS_H_
#define CHANNELS_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <limits>

namespace flutter {

// A source of encoded bytes for the standard codec. A reader belongs to one decode call.
class ByteStreamReader {
 public:
  // Answer of BytesRemaining() for a reader that cannot tell.
  static constexpr size_t kUnknownRemaining = std::numeric_limits<size_t>::max();

  virtual ~ByteStreamReader() = default;

  // The next byte; a reader that has none reports the failure and answers 0.
  virtual uint8_t TakeByte() = 0;
  // Copies length bytes into destination; a reader that has fewer copies nothing.
  virtual void TakeBytes(uint8_t* destination, size_t length) = 0;
  // Skips to the next multiple of alignment (in bytes, counted from the start of the message).
  virtual void AlignRead(uint8_t alignment) = 0;

  // Bytes left to read. The decoder uses it to refuse sizes that the message cannot hold before
  // it allocates anything; a reader that answers kUnknownRemaining gets no such protection, so
  // every reader of untrusted bytes should answer it.
  virtual size_t BytesRemaining() const { return kUnknownRemaining; }
};

// A sink for encoded bytes. A writer belongs to one encode call.
class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;

  virtual void PutByte(uint8_t byte) = 0;
  virtual void PutBytes(const uint8_t* bytes, size_t length) = 0;
  // Pads with zero bytes to the next multiple of alignment (in bytes, from the message start).
  virtual void AlignWrite(uint8_t alignment) = 0;
};

}  // namespace flutter

#endif  // CHANNELS_BYTE_STREAMS_H_
