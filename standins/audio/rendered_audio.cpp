#include <fstream>
#include <vector>

#include "standins/audio/sample_format.h"
#include "standins/audio/virtual_audio.h"
#include "standins/audio/wav_file.h"

namespace virtual_audio {

namespace {

// The recording with silent-flagged buffers replaced by zero bytes: what a listener hears.
std::vector<uint8_t> AudibleBytes(const RenderedAudio& audio) {
  std::vector<uint8_t> bytes = audio.bytes;
  const size_t block = audio.format.BlockAlign();
  for (const RenderedBuffer& buffer : audio.buffers) {
    if ((buffer.flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) continue;
    const size_t end = buffer.byte_offset + buffer.frames * block;
    for (size_t i = buffer.byte_offset; i < end && i < bytes.size(); ++i) bytes[i] = 0;
  }
  return bytes;
}

}  // namespace

size_t RenderedAudio::FrameCount() const {
  const size_t block = format.BlockAlign();
  return block == 0 ? 0 : bytes.size() / block;
}

std::vector<double> RenderedAudio::Channel(int channel) const {
  std::vector<double> samples;
  if (channel < 0 || channel >= format.channels || !IsUsableFormat(format)) return samples;
  const std::vector<uint8_t> audible = AudibleBytes(*this);
  const size_t block = format.BlockAlign();
  const size_t offset = static_cast<size_t>(channel) * (format.container_bits / 8u);
  const size_t frames = FrameCount();
  samples.reserve(frames);
  for (size_t frame = 0; frame < frames; ++frame) {
    samples.push_back(DecodeSample(audible.data() + frame * block + offset, format));
  }
  return samples;
}

bool RenderedAudio::WriteWav(const std::string& path, bool as_float) const {
  const std::vector<uint8_t> audible = AudibleBytes(*this);
  if (!as_float || format.is_float || !IsUsableFormat(format)) {
    return WriteWavFile(path, format, audible);
  }
  Format float_format = format;
  float_format.container_bits = 32;
  float_format.valid_bits = 32;
  float_format.is_float = true;
  const size_t in_bytes = format.container_bits / 8u;
  const size_t samples = FrameCount() * format.channels;
  std::vector<uint8_t> converted(samples * 4);
  for (size_t i = 0; i < samples; ++i) {
    EncodeSample(DecodeSample(audible.data() + i * in_bytes, format), float_format,
                 converted.data() + i * 4);
  }
  return WriteWavFile(path, float_format, converted);
}

namespace {

template <typename Moment, typename Field>
bool WriteMoments(const std::string& path, const std::vector<Moment>& moments, Field field) {
  std::ofstream file(path, std::ios::trunc);
  for (const Moment& moment : moments) {
    file << moment.frame << ' ' << static_cast<double>(moment.*field) / 1e4 << '\n';
  }
  file.flush();
  return static_cast<bool>(file);
}

}  // namespace

bool RenderedAudio::WriteHostStalls(const std::string& path) const {
  return WriteMoments(path, host_stalls, &HostStall::late);
}

bool RenderedAudio::WriteWakeOffsets(const std::string& path) const {
  return WriteMoments(path, wake_offsets, &WakeOffset::offset);
}

}  // namespace virtual_audio
