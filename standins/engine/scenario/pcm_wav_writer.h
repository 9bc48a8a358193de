// Writes the PCM the user interface received as a 16-bit mono WAV file. The header is brought up
// to date after every append, so the file is complete whenever the process ends.
//
// User-interface thread only.
#ifndef STANDINS_ENGINE_SCENARIO_PCM_WAV_WRITER_H_
#define STANDINS_ENGINE_SCENARIO_PCM_WAV_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {

class PcmWavWriter {
 public:
  // Creates (or truncates) the file with an empty data chunk. False when it cannot be created.
  bool Open(const std::string& path, uint32_t sample_rate);
  // Appends 16-bit little-endian samples. An odd trailing byte waits for its partner.
  void Append(const uint8_t* bytes, size_t size);
  void Close();

  bool is_open() const { return file_ != nullptr; }
  uint64_t samples() const { return data_bytes_ / 2; }
  uint32_t sample_rate() const { return sample_rate_; }

 private:
  void WriteHeader();

  FilePtr file_;
  uint32_t sample_rate_ = 0;  // Hz
  uint32_t data_bytes_ = 0;   // bytes in the data chunk
  bool has_carry_ = false;
  uint8_t carry_ = 0;  // the low byte of a sample whose high byte has not arrived yet
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_PCM_WAV_WRITER_H_
