// Runs the engine's own start-up steps and its per-wake code (ServeWake) against the virtual
// endpoints' stepped manual clock, so that minutes of streaming between two drifting devices play
// in milliseconds and the same way every time. After each clock step every signalled stream event
// is served, render before capture, as the audio thread's wait hands them out.
#ifndef TESTS_AUDIO_CLOCKED_ENGINE_H_
#define TESTS_AUDIO_CLOCKED_ENGINE_H_

#include "guitar/monitor.h"
#include "standins/audio/virtual_audio.h"

namespace tonelark_test {

class ClockedEngine {
 public:
  // The audio must be in manual clock mode with its devices added and registered.
  ClockedEngine(virtual_audio::VirtualAudio& audio, tonelark::Monitor& monitor);
  ~ClockedEngine();

  // What a start does: opens the streams, starts the capture, steps the clock until the ring
  // holds the priming fill (at most 250 ms), primes the render buffer and starts the render
  // stream, `render_offset` (100 ns units) after the pre-fill ended. False when a step failed.
  bool Start(REFERENCE_TIME render_offset = 0);
  // Serves every wake until the clock has run `seconds` past the capture start.
  void RunUntil(double seconds);
  void Close();

  // Seconds of clock time since the capture start.
  double Now() const;
  // When the render stream's first frame was heard, in seconds since the capture start: the
  // render recording's frame i was heard at RenderStart() + i / render rate.
  double RenderStart() const { return render_start_; }

 private:
  void ServeSignalled();

  virtual_audio::VirtualAudio& audio_;
  tonelark::Monitor& monitor_;
  REFERENCE_TIME capture_start_ = 0;  // clock time, 100 ns
  double render_start_ = 0.0;
  bool open_ = false;
};

}  // namespace tonelark_test

#endif  // TESTS_AUDIO_CLOCKED_ENGINE_H_
