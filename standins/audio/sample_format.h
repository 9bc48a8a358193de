// Sample layouts of the virtual endpoints: reading wave-format records and converting single
// samples between doubles in -1..1 and the bytes of a stream. Pure functions; any thread.
#ifndef STANDINS_AUDIO_SAMPLE_FORMAT_H_
#define STANDINS_AUDIO_SAMPLE_FORMAT_H_

#include <cstdint>

#include "standins/audio/virtual_audio.h"

namespace virtual_audio {

// True for the layouts the endpoints can produce and record: integers in 16, 24 (packed) or 32
// bit containers with 1..container valid bits, and 32-bit floats.
bool IsUsableFormat(const Format& format);

// Writes `value` (clamped to -1..1 for integers, scaled by 2^(valid bits - 1) and rounded, the
// top of the range held at the largest code) into one sample of `format` at `out`.
void EncodeSample(double value, const Format& format, uint8_t* out);
// Reads one sample of `format` at `in` as a double: integers divided by 2^(container bits - 1).
double DecodeSample(const uint8_t* in, const Format& format);

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_SAMPLE_FORMAT_H_
