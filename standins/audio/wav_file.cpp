#include "standins/audio/wav_file.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "standins/audio/sample_format.h"

namespace virtual_audio {

namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 30;  // refuse to load more than 1 GiB
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kPlainFmtBytes = 16;
constexpr size_t kExtensibleFmtBytes = 40;

uint32_t ReadLe(const uint8_t* in, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint32_t{in[i]} << (8 * i);
  return value;
}

void AppendLe(std::vector<uint8_t>* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendTag(std::vector<uint8_t>* out, const char* tag) {
  out->insert(out->end(), tag, tag + 4);
}

bool TagIs(const uint8_t* in, const char* tag) { return std::memcmp(in, tag, 4) == 0; }

bool ParseFmtChunk(const uint8_t* chunk, size_t size, Format* out) {
  if (size < kPlainFmtBytes) return false;
  WAVEFORMATEXTENSIBLE wave;
  std::memset(&wave, 0, sizeof(wave));
  // Packed records: copy only the bytes present, the rest stays zero (cbSize 0 when absent).
  std::memcpy(&wave, chunk, size < kExtensibleFmtBytes ? size : kExtensibleFmtBytes);
  if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && size < kExtensibleFmtBytes) return false;
  if (wave.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) wave.Format.cbSize = 0;
  return ParseWaveFormat(&wave.Format, out);
}

}  // namespace

bool ParseWav(const std::vector<uint8_t>& image, WavData* out) {
  if (out == nullptr || image.size() < 12) return false;
  const uint8_t* bytes = image.data();
  if (!TagIs(bytes, "RIFF") || !TagIs(bytes + 8, "WAVE")) return false;
  bool have_format = false;
  Format format;
  size_t pos = 12;
  while (image.size() - pos >= kChunkHeaderBytes) {
    const uint8_t* header = bytes + pos;
    const size_t declared = ReadLe(header + 4, 4);
    pos += kChunkHeaderBytes;
    const size_t available = image.size() - pos;
    if (TagIs(header, "fmt ")) {
      if (declared > available || !ParseFmtChunk(bytes + pos, declared, &format)) return false;
      have_format = true;
    } else if (TagIs(header, "data")) {
      if (!have_format) return false;
      const size_t present = declared < available ? declared : available;
      const size_t whole = present - present % format.BlockAlign();
      out->format = format;
      out->frames.assign(bytes + pos, bytes + pos + whole);
      return true;
    }
    if (declared > available) return false;
    // Chunks are padded to an even length.
    const size_t padded = declared + (declared & 1u);
    pos += padded < available ? padded : available;
  }
  return false;
}

bool ReadWavFile(const std::string& path, WavData* out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::cerr << "virtual_audio: cannot open WAV file " << path << std::endl;
    return false;
  }
  std::vector<uint8_t> image;
  uint8_t block[65536];
  size_t got;
  bool too_big = false;
  while ((got = std::fread(block, 1, sizeof(block), file)) > 0) {
    if (image.size() + got > kMaxFileBytes) {
      too_big = true;
      break;
    }
    image.insert(image.end(), block, block + got);
  }
  std::fclose(file);
  if (too_big || !ParseWav(image, out)) {
    std::cerr << "virtual_audio: unusable WAV file " << path << std::endl;
    return false;
  }
  return true;
}

std::vector<uint8_t> BuildWav(const Format& format, const std::vector<uint8_t>& frames) {
  const bool extensible = format.valid_bits != format.container_bits || format.channels > 2;
  const uint32_t fmt_bytes = extensible ? kExtensibleFmtBytes : kPlainFmtBytes;
  const uint32_t data_bytes = static_cast<uint32_t>(frames.size());
  std::vector<uint8_t> image;
  image.reserve(12 + 8 + fmt_bytes + 8 + frames.size() + 1);
  AppendTag(&image, "RIFF");
  AppendLe(&image, 4 + 8 + fmt_bytes + 8 + data_bytes + (data_bytes & 1u), 4);
  AppendTag(&image, "WAVE");
  AppendTag(&image, "fmt ");
  AppendLe(&image, fmt_bytes, 4);
  if (extensible) {
    const WAVEFORMATEXTENSIBLE wave = MakeWaveFormat(format);
    const auto* raw = reinterpret_cast<const uint8_t*>(&wave);
    image.insert(image.end(), raw, raw + sizeof(wave));
  } else {
    AppendLe(&image, format.is_float ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM, 2);
    AppendLe(&image, format.channels, 2);
    AppendLe(&image, format.rate, 4);
    AppendLe(&image, format.rate * format.BlockAlign(), 4);
    AppendLe(&image, format.BlockAlign(), 2);
    AppendLe(&image, format.container_bits, 2);
  }
  AppendTag(&image, "data");
  AppendLe(&image, data_bytes, 4);
  image.insert(image.end(), frames.begin(), frames.end());
  if (data_bytes & 1u) image.push_back(0);
  return image;
}

bool WriteWavFile(const std::string& path, const Format& format,
                  const std::vector<uint8_t>& frames) {
  const std::vector<uint8_t> image = BuildWav(format, frames);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(image.data(), 1, image.size(), file) == image.size();
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  if (!ok) std::cerr << "virtual_audio: cannot write WAV file " << path << std::endl;
  return ok;
}

}  // namespace virtual_audio
