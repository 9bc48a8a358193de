#include "guitar/render_monitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tonelark {
namespace {

constexpr int32_t kRingMask = kRingSize - 1;
constexpr float kClickSeconds = 0.03f;
constexpr float kClickPeak = 0.35f;
constexpr float kClickHz = 1046.5f;
constexpr float kAccentHz = 1568.0f;
constexpr float kTwoPi = 6.2831855f;
constexpr int32_t kSharedMarginMs = 2;  // queued beyond one period in shared mode

void DropOldest(Monitor& monitor, int32_t samples) {
  if (samples <= 0) return;
  monitor.ring_start_ = (monitor.ring_start_ + samples) & kRingMask;
  monitor.ring_count_ -= samples;
}

// Clamps to -1..+1; a NaN becomes silence instead of undefined integer conversion.
float ClampSample(float value) {
  if (value > 1.0f) return 1.0f;
  if (value < -1.0f) return -1.0f;
  return value == value ? value : 0.0f;
}

// One output sample in the stream's layout, little-endian, `kBytes` long.
template <SampleLayout kLayout>
struct Encoder;

template <>
struct Encoder<SampleLayout::kFloat32> {
  static constexpr size_t kBytes = 4;
  static void Store(float value, BYTE* out) { std::memcpy(out, &value, kBytes); }
};

template <>
struct Encoder<SampleLayout::kInt16> {
  static constexpr size_t kBytes = 2;
  static void Store(float value, BYTE* out) {
    const int16_t pcm = static_cast<int16_t>(static_cast<double>(value) * 32767.0);
    std::memcpy(out, &pcm, kBytes);
  }
};

template <>
struct Encoder<SampleLayout::kInt24> {
  static constexpr size_t kBytes = 3;
  static void Store(float value, BYTE* out) {
    const int32_t pcm = static_cast<int32_t>(static_cast<double>(value) * 8388607.0);
    const uint32_t bits = static_cast<uint32_t>(pcm);
    out[0] = static_cast<BYTE>(bits);
    out[1] = static_cast<BYTE>(bits >> 8);
    out[2] = static_cast<BYTE>(bits >> 16);
  }
};

template <>
struct Encoder<SampleLayout::kInt32> {
  static constexpr size_t kBytes = 4;
  static void Store(float value, BYTE* out) {
    const double scaled = static_cast<double>(value) * 2147483648.0;
    const int32_t pcm = scaled >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(scaled);
    std::memcpy(out, &pcm, kBytes);
  }
};

// Takes a pending click request and, when there is one, restarts the click from phase 0.
void TakeClickRequest(Monitor& monitor, int32_t render_rate) {
  const int32_t request = monitor.click_request_.exchange(0);
  if (request == 0) return;
  const float frequency = request == 2 ? kAccentHz : kClickHz;
  const float length = static_cast<float>(render_rate) * kClickSeconds;
  monitor.click_phase_ = 0.0f;
  monitor.click_length_ = std::max(static_cast<int32_t>(length), 1);
  monitor.click_remaining_ = monitor.click_length_;
  monitor.click_step_ = (frequency * kTwoPi) / static_cast<float>(std::max(render_rate, 1));
}

// Frames to write this call; 0 when nothing is due or a call failed (its result in `*result`).
UINT32 FramesDue(Monitor& monitor, int32_t render_rate, int32_t click_remaining, bool monitoring,
                 HRESULT* result) {
  const AudioStream& render = monitor.render_;
  if (render.info.exclusive) return render.buffer_frames;
  UINT32 queued = 0;
  const HRESULT padding = render.client->GetCurrentPadding(&queued);
  if (FAILED(padding)) {
    *result = padding;
    return 0;
  }
  // The mixer found nothing on its last pass while the guitar was meant to be heard.
  if (queued == 0 && render.started && monitoring) {
    monitor.glitches_.AddRenderUnderrun(render.period_frames);
  }
  if (monitor.ring_count_ == 0 && click_remaining <= 0) return 0;
  const UINT32 target =
      render.period_frames + SharedMarginFrames(render_rate, render.period_frames);
  if (queued >= target || queued >= render.buffer_frames) return 0;
  return std::min(target - queued, render.buffer_frames - queued);
}

// Before the ring is read: ends a priming wait once the ring holds enough, and cuts a ring that
// grew far beyond the band (counted: the player hears the jump). Returns whether the ring may be
// read this call.
bool PrepareRing(Monitor& monitor) {
  SteeredResampler& resampler = monitor.resampler_;
  const int32_t prime = resampler.PrimeFill();
  if (resampler.priming()) {
    if (monitor.ring_count_ < prime) return false;
    // What arrived beyond the priming fill was never going to be heard in time.
    DropOldest(monitor, monitor.ring_count_ - prime);
    resampler.EndPriming();
    return true;
  }
  if (monitor.ring_count_ > resampler.CutFill()) {
    const int32_t excess = monitor.ring_count_ - prime;
    DropOldest(monitor, excess);
    monitor.glitches_.AddRingDropped(excess);
  }
  return true;
}

// The audio thread's monitoring state, copied into locals for the frame loop: the samples are
// written through byte pointers, which the compiler must assume may alias the monitor's fields.
// While the ring may not be read (priming), it looks empty and keeps its samples.
struct Cursor {
  Cursor(const Monitor& monitor, bool read_ring)
      : ring(monitor.ring_),
        volume(&monitor.volume_),
        read_ring(read_ring),
        ring_start(monitor.ring_start_),
        ring_count(read_ring ? monitor.ring_count_ : 0),
        resample_pos(monitor.resample_pos_),
        click_remaining(monitor.click_remaining_),
        click_length(monitor.click_length_),
        click_phase(monitor.click_phase_),
        click_step(monitor.click_step_) {}

  void StoreInto(Monitor& monitor) const {
    if (read_ring) {
      monitor.ring_start_ = ring_start;
      monitor.ring_count_ = ring_count;
      monitor.resample_pos_ = resample_pos;
    }
    monitor.click_remaining_ = click_remaining;
    monitor.click_phase_ = click_phase;
  }

  float NextClickSample() {
    if (click_remaining <= 0) return 0.0f;
    const float g = static_cast<float>(click_remaining) / static_cast<float>(click_length);
    const float sample = std::sin(click_phase) * (g * kClickPeak * g);
    click_phase += click_step;
    --click_remaining;
    return sample;
  }

  // The next monitoring sample with the click mixed in; advances the ring by the step, holding
  // each input sample until a whole one has passed.
  float NextOutputSample(float click, double step) {
    if (ring_count <= 0) {
      ++empty_frames;
      return click;
    }
    // Read afresh for every frame, so a volume change is heard at once.
    const float value = volume->load(std::memory_order_relaxed) * ring[ring_start] + click;
    resample_pos += step;
    while (resample_pos >= 1.0 && ring_count > 0) {
      ring_start = (ring_start + 1) & kRingMask;
      --ring_count;
      resample_pos -= 1.0;
    }
    return value;
  }

  const float* ring;
  const std::atomic<float>* volume;
  const bool read_ring;
  int32_t ring_start;
  int32_t ring_count;
  double resample_pos;
  int32_t click_remaining;
  int32_t click_length;
  float click_phase;
  float click_step;
  UINT32 empty_frames = 0;  // frames that found the ring empty
};

// Writes `frames` frames, the same value into every channel of a frame. Returns the frames that
// found the ring empty.
template <SampleLayout kLayout>
UINT32 FillFrames(Monitor& monitor, bool read_ring, BYTE* data, UINT32 frames, size_t block_align,
                  int32_t channels, double step) {
  using Out = Encoder<kLayout>;
  Cursor cursor(monitor, read_ring);
  for (UINT32 frame = 0; frame < frames; ++frame) {
    const float click = cursor.NextClickSample();
    const float value = ClampSample(cursor.NextOutputSample(click, step));
    BYTE* const out = data + frame * block_align;
    for (int32_t channel = 0; channel < channels; ++channel) {
      Out::Store(value, out + static_cast<size_t>(channel) * Out::kBytes);
    }
  }
  cursor.StoreInto(monitor);
  return cursor.empty_frames;
}

// Advances the click and the ring as if the frames had been written; the layout has no samples.
UINT32 SkipFrames(Monitor& monitor, bool read_ring, UINT32 frames, double step) {
  Cursor cursor(monitor, read_ring);
  for (UINT32 frame = 0; frame < frames; ++frame) {
    cursor.NextOutputSample(cursor.NextClickSample(), step);
  }
  cursor.StoreInto(monitor);
  return cursor.empty_frames;
}

UINT32 WriteFrames(Monitor& monitor, bool read_ring, BYTE* data, UINT32 frames, double step) {
  const StreamInfo& info = monitor.render_.info;
  const size_t block_align = static_cast<size_t>(std::max(info.block_align, 0));
  switch (LayoutOf(info)) {
    case SampleLayout::kFloat32:
      return FillFrames<SampleLayout::kFloat32>(monitor, read_ring, data, frames, block_align,
                                                info.channels, step);
    case SampleLayout::kInt16:
      return FillFrames<SampleLayout::kInt16>(monitor, read_ring, data, frames, block_align,
                                              info.channels, step);
    case SampleLayout::kInt24:
      return FillFrames<SampleLayout::kInt24>(monitor, read_ring, data, frames, block_align,
                                              info.channels, step);
    case SampleLayout::kInt32:
      return FillFrames<SampleLayout::kInt32>(monitor, read_ring, data, frames, block_align,
                                              info.channels, step);
    case SampleLayout::kNone:
      break;
  }
  return SkipFrames(monitor, read_ring, frames, step);
}

}  // namespace

void ConfigureResampler(Monitor& monitor) {
  const AudioStream& capture = monitor.capture_;
  const AudioStream& render = monitor.render_;
  UINT32 render_frames = render.period_frames;
  // A shared top-up writes up to the margin more than the mixer takes per pass.
  if (!render.info.exclusive) {
    render_frames += SharedMarginFrames(render.info.sample_rate, render.period_frames);
  }
  monitor.resampler_.Configure(capture.info.sample_rate, render.info.sample_rate,
                               capture.period_frames, render_frames);
}

UINT32 SharedMarginFrames(int32_t render_rate, UINT32 period_frames) {
  const UINT32 margin = static_cast<UINT32>(std::max(render_rate, 0) * kSharedMarginMs / 1000);
  return std::min(margin, period_frames / 2);
}

HRESULT RenderMonitor(Monitor& monitor) {
  const int32_t render_rate = monitor.render_.info.sample_rate;
  TakeClickRequest(monitor, render_rate);
  const int32_t click_remaining = monitor.click_remaining_;
  const bool monitoring = monitor.speaker_.load();
  if (!monitoring) {
    monitor.ring_start_ = 0;
    monitor.ring_count_ = 0;
    monitor.resample_pos_ = 0.0;
    monitor.resampler_.Restart();
  }
  IAudioRenderClient* const render_client = monitor.render_client_.Get();
  if (render_client == nullptr || !monitor.render_.client) return S_OK;
  ConfigureResampler(monitor);

  HRESULT result = S_OK;
  const UINT32 frames = FramesDue(monitor, render_rate, click_remaining, monitoring, &result);
  if (frames == 0) return result;
  BYTE* data = nullptr;
  result = render_client->GetBuffer(frames, &data);
  if (FAILED(result)) return result;
  if (data == nullptr) return render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
  const size_t block_align = static_cast<size_t>(std::max(monitor.render_.info.block_align, 0));
  std::memset(data, 0, frames * block_align);
  if (!monitoring && click_remaining <= 0) {
    return render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
  }

  const bool read_ring = monitoring && PrepareRing(monitor);
  const double step = read_ring ? monitor.resampler_.NextStep(monitor.ring_count_, frames)
                                : monitor.resampler_.nominal_step();
  const bool ring_was_empty = monitor.ring_count_ == 0;
  const UINT32 empty = WriteFrames(monitor, read_ring, data, frames, step);
  if (monitoring && !read_ring && monitor.resampler_.recovering()) {
    monitor.glitches_.AddRenderUnderrun(frames);
  } else if (read_ring && empty > 0) {
    monitor.glitches_.AddRenderUnderrun(empty);
    // A ring with nothing at all to give has lost its cushion: wait for it again. A shortfall
    // at the end of a call only widens the margin.
    if (ring_was_empty) {
      monitor.resampler_.OnRingEmpty();
    } else {
      monitor.resampler_.WidenMargin();
    }
  }
  return render_client->ReleaseBuffer(frames, 0);
}

}  // namespace tonelark
