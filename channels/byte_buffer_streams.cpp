#include "channels/byte_buffer_streams.h"

#include <cstring>
#include <iostream>

namespace flutter {
namespace {

void ReportInvalidRead() {
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
}

}  // namespace

ByteBufferStreamReader::ByteBufferStreamReader(const uint8_t* bytes, size_t size)
    : bytes_(bytes), size_(size), position_(0) {}

uint8_t ByteBufferStreamReader::TakeByte() {
  if (position_ >= size_) {
    ReportInvalidRead();
    return 0;
  }
  return bytes_[position_++];
}

void ByteBufferStreamReader::TakeBytes(uint8_t* destination, size_t length) {
  // A position that alignment has moved past the end fails even a read of no bytes.
  if (position_ > size_ || length > size_ - position_) {
    ReportInvalidRead();
    return;
  }
  if (length != 0) {
    std::memcpy(destination, bytes_ + position_, length);
    position_ += length;
  }
}

void ByteBufferStreamReader::AlignRead(uint8_t alignment) {
  if (alignment == 0) {
    return;
  }
  const size_t offset = position_ % alignment;
  if (offset != 0) {
    position_ += alignment - offset;
  }
}

size_t ByteBufferStreamReader::BytesRemaining() const {
  return position_ < size_ ? size_ - position_ : 0;
}

ByteBufferStreamWriter::ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : buffer_(buffer) {}

void ByteBufferStreamWriter::PutByte(uint8_t byte) { buffer_->push_back(byte); }

void ByteBufferStreamWriter::PutBytes(const uint8_t* bytes, size_t length) {
  buffer_->insert(buffer_->end(), bytes, bytes + length);
}

void ByteBufferStreamWriter::AlignWrite(uint8_t alignment) {
  if (alignment == 0) {
    return;
  }
  const size_t offset = buffer_->size() % alignment;
  if (offset != 0) {
    for (size_t i = offset; i < alignment; ++i) {
      PutByte(0);
    }
  }
}

}  // namespace flutter
