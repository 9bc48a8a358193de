// The guitar's way from the capture stream to the speakers: a ring of mono samples at the capture
// rate, the band-limited converter that reads it at the render rate, and the rate control that
// moves the converter's ratio by the ring's fill (SteeredResampler), so that an adapter and
// speakers whose clocks run apart neither drop out nor pile up delay.
//
// The capture step writes what each packet brings (Write); the render step reads what each call
// writes (Read). After a start, a re-open or monitoring switched back on, the path primes: its
// output stays silent until the ring holds the cushion the rate control asks for.
//
// "Usable" samples are those the converter can still step over: the ring also keeps its lookahead
// (SincFilter::half() samples) beyond them, and that many samples of history before its position.
//
// Threads: one caller at a time, never two threads at once. The audio thread calls Write and Read
// while it streams, and Configure, Restart and Reset while it opens or re-opens streams; the
// user-interface thread calls Reset only while no audio thread runs. Configure may allocate (the
// ring and the converter's table) when the streams differ from the last ones; nothing else
// allocates, locks or waits.
#ifndef GUITAR_MONITORING_PATH_H_
#define GUITAR_MONITORING_PATH_H_

#include <cstdint>
#include <vector>

#include "guitar/sinc_filter.h"
#include "guitar/steered_resampler.h"

namespace tonelark {

class MonitoringPath {
 public:
  struct ReadOutcome {
    uint32_t empty_frames = 0;  // frames the guitar was due in but the ring could not feed
    int64_t cut_samples = 0;    // samples cut from a ring that grew far out of its band
  };

  // The streams now open: rates in Hz, a capture packet and a render call in frames of their own
  // side, and whether capture packets may come in bursts (SteeredResampler::Configure). Keeps the
  // ring, the table and what the rate control learnt when nothing changed.
  void Configure(int32_t capture_rate, int32_t render_rate, uint32_t capture_packet_frames,
                 uint32_t render_call_frames, bool capture_in_bursts = false);
  // A new start: the learnt margin is forgotten too.
  void Reset();
  // The ring starts afresh and the output primes again; the learnt margin stays.
  void Restart();
  // The output primes again from what the ring holds (other speakers took over).
  void Reprime();

  // Capture side: appends `count` samples, the first captured at `capture_time` (100 ns on the
  // performance counter; 0 when unknown, which forgets the last time given). A full ring keeps the
  // newest; returns how many of the oldest were overwritten.
  int64_t Write(const float* samples, uint32_t count, int64_t capture_time = 0);
  // Render side: `frames` samples at the render rate into `out` (silence where the ring has
  // nothing to give, or while priming); out[0] will be heard at `play_time` (100 ns on the
  // performance counter; 0 when unknown). With both times known the rate control holds the delay
  // between the two, and the delay is measured.
  ReadOutcome Read(uint32_t frames, float* out, int64_t play_time = 0);
  // The delay from the string to the speakers measured at the last read (ms) and that read's
  // frames, each read's once: false when no read measured one since the last call.
  bool TakeMeasurement(double* delay_ms, uint32_t* frames);
  // No read has measured the delay for a quarter second of output: the times are gone (not
  // believed, or never given), and what was measured before no longer tells the delay.
  bool MeasurementsStopped() const;
  // The device played `frames` frames (render rate) where nothing was written: everything after
  // them is heard that much later, and the cushion grows by as much.
  void OnOutputGap(uint32_t frames);
  // The capture device lost `frames` frames (0: none) before the next packet: what follows reaches
  // the speakers that much sooner.
  void OnCaptureLoss(int64_t frames);

  int32_t usable() const;
  // Samples held from the position on, the converter's lookahead included.
  int64_t queued() const { return count(); }
  // Where the converter stands between two samples (0 <= fraction < 1 while the ring feeds it).
  double fraction() const { return fraction_; }
  // Usable samples the ring must hold before the output starts.
  int32_t PrimeFill() const { return steering_.PrimeFill(); }
  bool priming() const { return steering_.priming(); }
  // The capture samples a frame waits in the path on average once primed: the cushion left after
  // a render call of `render_frames`, plus the converter's lookahead.
  double WaitSamples(uint32_t render_frames) const;
  int32_t converter_delay_samples() const { return filter_.half(); }

  // Test seam: the samples held, oldest first.
  std::vector<float> QueuedForTesting() const;

  SteeredResampler& steering() { return steering_; }
  const SteeredResampler& steering() const { return steering_; }

 private:
  int64_t count() const { return write_ - read_; }
  void Store(int64_t index, float value);
  const float* Window() const;
  // Drops the oldest `samples` usable samples (the position moves on with them).
  void DropOldest(int64_t samples);
  // Before a call reads: ends priming once the ring holds enough, cuts a ring that drifted far out
  // of its band. False while the output must stay silent.
  bool PrepareRead(ReadOutcome* outcome);
  // Moves the read position by the whole samples of the step taken, as far as the ring allows.
  void Advance();
  // The delay between the capture of the sample at the read position and `play_time`, ms; 0 when
  // either is unknown.
  double DelayMs(int64_t play_time) const;

  SincFilter filter_;
  SteeredResampler steering_;

  // Ring storage: `capacity_` samples (a power of two) and a copy of the first taps() of them
  // behind, so that every converter window is contiguous.
  std::vector<float> storage_;
  int32_t capacity_ = 0;
  int64_t mask_ = 0;
  // Absolute sample indexes since the last restart: the next write, and the converter's position
  // (its whole part; `fraction_` is the rest, in samples).
  int64_t write_ = 0;
  int64_t read_ = 0;
  double fraction_ = 0.0;
  double last_step_ = 1.0;  // capture samples per output frame at the end of the last call
  // When the sample at ring index `timed_index_` was captured (100 ns); 0 when unknown.
  int64_t timed_index_ = 0;
  int64_t timed_capture_ = 0;
  double measured_delay_ms_ = 0.0;
  uint32_t measured_frames_ = 0;   // of the read that measured; 0 once taken
  int64_t unmeasured_frames_ = 0;  // output frames read since the last measurement
};

}  // namespace tonelark

#endif  // GUITAR_MONITORING_PATH_H_
