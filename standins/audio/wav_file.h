// RIFF WAVE files for the virtual endpoints: capture sources read them, render sinks write
// them. Pure functions over files; any thread.
#ifndef STANDINS_AUDIO_WAV_FILE_H_
#define STANDINS_AUDIO_WAV_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "standins/audio/virtual_audio.h"

namespace virtual_audio {

struct WavData {
  Format format;
  std::vector<uint8_t> frames;  // whole frames only, as stored in the file
};

// Parses a WAVE image: PCM (tag 1), IEEE float (tag 3) or extensible of either. Every length
// is checked against the bytes present; a data chunk that runs past the end is cut to the
// whole frames present. False for anything else.
bool ParseWav(const std::vector<uint8_t>& image, WavData* out);
// Reads and parses `path`. False (one line on standard error) when it cannot be used.
bool ReadWavFile(const std::string& path, WavData* out);
// Builds the file image of `frames` in `format`.
std::vector<uint8_t> BuildWav(const Format& format, const std::vector<uint8_t>& frames);
// Writes the image to `path`, replacing the file. False (one line on standard error) on failure.
bool WriteWavFile(const std::string& path, const Format& format,
                  const std::vector<uint8_t>& frames);

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_WAV_FILE_H_
