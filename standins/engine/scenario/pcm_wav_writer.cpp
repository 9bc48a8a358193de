#include "standins/engine/scenario/pcm_wav_writer.h"

#include <limits>

namespace engine_standin {
namespace {

constexpr uint32_t kHeaderBytes = 44;
// RIFF sizes are 32-bit: stop appending before the chunk sizes would wrap.
constexpr uint32_t kMaxDataBytes = std::numeric_limits<uint32_t>::max() - kHeaderBytes;

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

bool PcmWavWriter::Open(const std::string& path, uint32_t sample_rate) {
  Close();
  file_ = OpenFile(path, "wb");
  if (!file_) return false;
  sample_rate_ = sample_rate;
  data_bytes_ = 0;
  has_carry_ = false;
  WriteHeader();
  return true;
}

void PcmWavWriter::Append(const uint8_t* bytes, size_t size) {
  if (!file_ || bytes == nullptr || size == 0) return;
  if (has_carry_) {
    if (data_bytes_ + 2 > kMaxDataBytes) return;
    const uint8_t pair[2] = {carry_, bytes[0]};
    std::fwrite(pair, 1, 2, file_.get());
    data_bytes_ += 2;
    has_carry_ = false;
    ++bytes;
    --size;
  }
  size_t whole = size & ~static_cast<size_t>(1);
  if (whole > kMaxDataBytes - data_bytes_) whole = (kMaxDataBytes - data_bytes_) & ~1u;
  if (whole > 0) {
    std::fwrite(bytes, 1, whole, file_.get());
    data_bytes_ += static_cast<uint32_t>(whole);
  }
  if (size % 2 == 1 && whole == size - 1) {
    carry_ = bytes[size - 1];
    has_carry_ = true;
  }
  WriteHeader();
}

void PcmWavWriter::Close() {
  if (file_) WriteHeader();
  file_.reset();
}

void PcmWavWriter::WriteHeader() {
  uint8_t header[kHeaderBytes] = {'R', 'I', 'F', 'F', 0,   0,   0,  0, 'W', 'A',
                                  'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0,   0};
  PutU32(header + 4, 36 + data_bytes_);
  PutU16(header + 20, 1);  // PCM
  PutU16(header + 22, 1);  // mono
  PutU32(header + 24, sample_rate_);
  PutU32(header + 28, sample_rate_ * 2);  // bytes per second
  PutU16(header + 32, 2);                 // block align
  PutU16(header + 34, 16);                // bits per sample
  header[36] = 'd';
  header[37] = 'a';
  header[38] = 't';
  header[39] = 'a';
  PutU32(header + 40, data_bytes_);
  std::FILE* file = file_.get();
  std::fseek(file, 0, SEEK_SET);
  std::fwrite(header, 1, sizeof header, file);
  std::fseek(file, 0, SEEK_END);
  std::fflush(file);
}

}  // namespace engine_standin
