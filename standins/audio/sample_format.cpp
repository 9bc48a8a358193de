#include "standins/audio/sample_format.h"

#include <cmath>
#include <cstring>

#include "platform/audio_guids.h"

namespace virtual_audio {

namespace {

constexpr uint16_t kExtensibleExtraBytes = 22;
// Plain (non-extensible) records carry no speaker layout, so drivers take them for mono and
// stereo only.
constexpr uint16_t kPlainRecordMaxChannels = 2;

int SetBits(DWORD mask) {
  int count = 0;
  for (; mask != 0; mask &= mask - 1) ++count;
  return count;
}

}  // namespace

bool Format::operator==(const Format& other) const {
  return rate == other.rate && channels == other.channels &&
         container_bits == other.container_bits && valid_bits == other.valid_bits &&
         is_float == other.is_float;
}

bool IsUsableFormat(const Format& format) {
  if (format.rate == 0 || format.channels == 0) return false;
  if (format.is_float) return format.container_bits == 32 && format.valid_bits == 32;
  const bool container_ok =
      format.container_bits == 16 || format.container_bits == 24 || format.container_bits == 32;
  return container_ok && format.valid_bits >= 1 && format.valid_bits <= format.container_bits;
}

bool ParseWaveFormat(const WAVEFORMATEX* wave, Format* out) {
  if (wave == nullptr || out == nullptr) return false;
  Format format;
  format.rate = wave->nSamplesPerSec;
  format.channels = wave->nChannels;
  format.container_bits = wave->wBitsPerSample;
  format.valid_bits = wave->wBitsPerSample;
  switch (wave->wFormatTag) {
    case WAVE_FORMAT_PCM:
      break;
    case WAVE_FORMAT_IEEE_FLOAT:
      format.is_float = true;
      break;
    case WAVE_FORMAT_EXTENSIBLE: {
      if (wave->cbSize < kExtensibleExtraBytes) return false;
      const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave);
      if (extensible->SubFormat == platform::kSubtypeIeeeFloat) {
        format.is_float = true;
      } else if (extensible->SubFormat != platform::kSubtypePcm) {
        return false;
      }
      if (extensible->Samples.wValidBitsPerSample != 0) {
        format.valid_bits = extensible->Samples.wValidBitsPerSample;
      }
      break;
    }
    default:
      return false;
  }
  if (!IsUsableFormat(format)) return false;
  if (wave->nBlockAlign != format.BlockAlign()) return false;
  if (wave->nAvgBytesPerSec != format.rate * format.BlockAlign()) return false;
  *out = format;
  return true;
}

bool IsConsistentWaveFormat(const WAVEFORMATEX* wave) {
  Format parsed;
  if (!ParseWaveFormat(wave, &parsed)) return false;
  switch (wave->wFormatTag) {
    case WAVE_FORMAT_PCM:
      return wave->cbSize == 0 && wave->nChannels <= kPlainRecordMaxChannels &&
             wave->wBitsPerSample == 16;
    case WAVE_FORMAT_IEEE_FLOAT:
      return wave->cbSize == 0 && wave->nChannels <= kPlainRecordMaxChannels;
    case WAVE_FORMAT_EXTENSIBLE: {
      if (wave->cbSize != kExtensibleExtraBytes) return false;
      const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave);
      const WORD valid = extensible->Samples.wValidBitsPerSample;
      return valid >= 1 && valid <= wave->wBitsPerSample &&
             SetBits(extensible->dwChannelMask) == wave->nChannels;
    }
    default:
      return false;
  }
}

WAVEFORMATEXTENSIBLE MakeWaveFormat(const Format& format) {
  WAVEFORMATEXTENSIBLE wave;
  std::memset(&wave, 0, sizeof(wave));
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = format.channels;
  wave.Format.nSamplesPerSec = format.rate;
  wave.Format.nBlockAlign = static_cast<WORD>(format.BlockAlign());
  wave.Format.nAvgBytesPerSec = format.rate * format.BlockAlign();
  wave.Format.wBitsPerSample = format.container_bits;
  wave.Format.cbSize = kExtensibleExtraBytes;
  wave.Samples.wValidBitsPerSample = format.valid_bits;
  wave.dwChannelMask = format.channels == 1    ? SPEAKER_FRONT_CENTER
                       : format.channels == 2  ? SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT
                       : format.channels >= 32 ? 0xFFFFFFFFu
                                               : (DWORD{1} << format.channels) - 1;
  wave.SubFormat = format.is_float ? platform::kSubtypeIeeeFloat : platform::kSubtypePcm;
  return wave;
}

void EncodeSample(double value, const Format& format, uint8_t* out) {
  if (format.is_float) {
    const float sample = static_cast<float>(value);
    std::memcpy(out, &sample, sizeof(sample));
    return;
  }
  if (std::isnan(value)) value = 0.0;
  value = std::fmax(-1.0, std::fmin(1.0, value));
  const int64_t scale = int64_t{1} << (format.valid_bits - 1);
  int64_t code = std::llround(value * static_cast<double>(scale));
  if (code > scale - 1) code = scale - 1;
  const uint64_t stored = static_cast<uint64_t>(code)
                          << (format.container_bits - format.valid_bits);
  for (int byte = 0; byte < format.container_bits / 8; ++byte) {
    out[byte] = static_cast<uint8_t>(stored >> (8 * byte));
  }
}

double DecodeSample(const uint8_t* in, const Format& format) {
  if (format.is_float) {
    float sample;
    std::memcpy(&sample, in, sizeof(sample));
    return sample;
  }
  const int bytes = format.container_bits / 8;
  uint64_t raw = 0;
  for (int byte = 0; byte < bytes; ++byte) raw |= uint64_t{in[byte]} << (8 * byte);
  // Sign-extend from the container's top bit.
  const uint64_t sign = uint64_t{1} << (format.container_bits - 1);
  const int64_t code = static_cast<int64_t>((raw ^ sign) - sign);
  return static_cast<double>(code) / static_cast<double>(sign);
}

}  // namespace virtual_audio
