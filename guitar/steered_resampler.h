// The rate control of the monitoring ring: how many ring (capture) samples each output frame
// advances, steered slowly by the ring's fill so that a capture device and a render device whose
// clocks run a few hundred parts per million apart neither empty nor overfill the ring.
//
// The controller watches the headroom of each render call: the ring samples left over after the
// call took what it needs. Over windows of about a quarter second it keeps the smallest headroom
// between `floor` and `floor + band`:
// - `floor` is one packet of the faster side plus a safety margin. A drifting clock slowly moves
//   the capture packets past the render calls; when a packet slips behind a call, that call finds
//   one packet less, and the floor is what it then lives on.
// - Inside the band the step is exactly the rate ratio: with clocks that agree, each output frame
//   at equal rates takes exactly one ring sample.
// - Outside it, a proportional-integral correction of at most 3000 ppm moves the step.
// A ring that still runs short (a late capture wake) widens the margin by what that cost (up to
// 20 ms), and when it runs empty primes again; after ten clean seconds the margin shrinks back by
// a millisecond at a time. The ring is cut only when it holds more than 100 ms beyond its band: a
// render side that stalled that long.
//
// Where the streams tell when each sample was captured and when each frame will be heard, the
// steering works on that delay instead (NextStepForDelay): the fill at a render call moves by a
// whole packet whenever a capture packet slips past the call, but the delay moves smoothly with
// the clocks' drift. A driver's times scatter each reading by up to a millisecond or more, so no
// single reading is steered by: the delay with the steering's own corrections added back is a
// straight line whose slope is the clocks' true ratio (DelayFit), and the step follows that ratio,
// believed only as far as the fit is sure of it. A small, bounded correction (at most 10 ppm)
// brings the delay back to what it was when the output started, or down to a shrinking cushion,
// and the step moves by at most 200 ppm a second, so the pitch never wobbles. Clocks that agree
// within a couple of ppm get the plain ratio.
//
// Audio thread only; allocation-free.
#ifndef GUITAR_STEERED_RESAMPLER_H_
#define GUITAR_STEERED_RESAMPLER_H_

#include <cstdint>

#include "guitar/delay_fit.h"

namespace tonelark {

class SteeredResampler {
 public:
  static constexpr int32_t kMaxMarginMs = 20;  // the most the margin grows to

  // Rates in Hz; packet and period lengths in frames of their own side (0 when unknown: one render
  // period is assumed for the capture packet). With `capture_in_bursts`, capture packets may come
  // two at once after a wait twice as long (a shared stream, fed by a mixer's timer), and the
  // cushion keeps a second packet. Keeps the steering state and answers false when nothing
  // changed.
  bool Configure(int32_t capture_rate, int32_t render_rate, uint32_t capture_packet_frames,
                 uint32_t render_period_frames, bool capture_in_bursts = false);

  // The ring starts afresh (a start, monitoring switched back on): output waits until the ring
  // holds PrimeFill() samples, and steering starts from the plain rate ratio.
  void Restart();
  // A new start: the margin learnt from earlier shortfalls goes back to its base.
  void ForgetMargin() { margin_ = 0; }
  // The output fell behind the ring by `samples` (ring samples): a render call ran short of
  // captured samples (a capture wake came late), or the device played on where nothing was
  // written (a render wake came late). The cushion grows by what that cost (at least a
  // millisecond, at most to 20 ms), and so does the delay held, which the gap has already added.
  void WidenMargin(int32_t samples);
  // The capture device lost `samples` before the packet now coming: the delay is shorter by as
  // much from here on, and the shorter delay is held. The clocks did not change.
  void OnCaptureLoss(int32_t samples);
  // The ring had nothing at all for a render call of `samples`: a wider cushion, and priming
  // again. Unlike the priming after Restart, the wait is a gap the player hears (recovering()).
  void OnRingEmpty(int32_t samples);
  // Priming is over; the caller has cut the ring to PrimeFill().
  void EndPriming() { priming_ = recovering_ = false; }
  bool priming() const { return priming_; }
  bool recovering() const { return recovering_; }

  // Ring samples wanted before output starts: one render period plus one packet of the slower side
  // plus the floor.
  int32_t PrimeFill() const;
  // More than this many samples before a render call means the ring has drifted far out of the
  // band (a stall of the render side); the caller cuts it back to PrimeFill().
  int32_t CutFill() const;

  // Once per render call that writes `frames` frames, with `ring_count` samples in the ring
  // before it: the ring step (capture samples per output frame) for this call.
  double NextStep(int32_t ring_count, uint32_t frames);
  // The same, from the delay (ms) between the capture of the sample the call starts at and the
  // moment its first frame will be heard. The delay half a second after priming is the target.
  // The fill has the last word: the steering never drains a ring that has used up its cushion, nor
  // fills one that grew past its band, whatever the times say (a driver's may not be true).
  double NextStepForDelay(double delay_ms, int32_t ring_count, uint32_t frames);

  int32_t capture_rate() const { return capture_rate_; }
  int32_t render_rate() const { return render_rate_; }
  double nominal_step() const { return nominal_step_; }
  double correction_ppm() const { return correction_ppm_; }
  // The clocks' ratio as the delay's trend shows it, ppm: what the correction settles to.
  double ratio_ppm() const { return ratio_ppm_; }
  int32_t margin_samples() const { return margin_; }
  // The cushion the ring keeps under a render call's need: a packet of the faster side (and a
  // second capture packet where they come in bursts) and the margin, ring samples.
  int32_t cushion_samples() const { return Floor(); }

 private:
  void Evaluate();
  // The delay's trend starts afresh (new streams, new priming, times that came back), from
  // `prior_ppm` as the best guess of the ratio until the readings tell better.
  void StartFit(double prior_ppm);
  // The correction the delay's trend and level ask for, before the fill's last word.
  double DelayCorrection(double delay_ms, double seconds);
  int32_t Floor() const { return faster_packet_ + burst_ + margin_; }
  // Counts rendered time towards a clean stretch, and shrinks the margin after one.
  void Rendered(double seconds);

  int32_t capture_rate_ = 0;
  int32_t render_rate_ = 0;
  uint32_t capture_packet_frames_ = 0;
  uint32_t render_period_frames_ = 0;
  bool capture_in_bursts_ = false;
  double nominal_step_ = 1.0;  // capture rate / render rate
  int32_t render_packet_ = 0;  // one render period in ring samples
  int32_t slower_packet_ = 0;  // the larger of a capture packet and a render period, ring samples
  int32_t faster_packet_ = 0;  // the smaller of the two
  int32_t burst_ = 0;          // a second capture packet where packets come in bursts, or 0
  int32_t band_ = 0;           // ring samples above the floor that need no steering
  int32_t margin_ = 0;         // ring samples, grown by ring-empty events

  bool priming_ = false;
  bool recovering_ = false;
  double correction_ppm_ = 0.0;  // applied to the nominal step
  double integral_ppm_ = 0.0;
  // The current window: frames rendered and the smallest headroom seen (ring samples).
  int64_t window_frames_ = 0;
  double window_min_headroom_ = 0.0;
  double target_delay_ms_ = 0.0;  // 0: taken from the trend once it has warmed up
  double clean_seconds_ = 0.0;    // rendered since the last shortfall

  // Steering by the delay: the trend of the delay with the corrections added back, over time
  // since the fit started (s), and the corrections applied so far (ms of capture time consumed
  // beyond the plain ratio).
  DelayFit fit_{10.0};
  double fit_seconds_ = 0.0;
  double steered_ms_ = 0.0;
  double prior_ppm_ = 0.0;
  double ratio_ppm_ = 0.0;
  int32_t outliers_ = 0;  // readings in a row far off the trend
  bool steering_by_delay_ = false;
  double untimed_seconds_ = 0.0;  // rendered since the last delay reading
};

}  // namespace tonelark

#endif  // GUITAR_STEERED_RESAMPLER_H_
