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
constexpr int64_t kSharedTargetMs = 6;  // queued audio a shared stream is topped up to

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

// Frames to write this call; 0 when nothing is due.
UINT32 FramesDue(Monitor& monitor, int32_t render_rate, int32_t click_remaining) {
  const AudioStream& render = monitor.render_;
  if (render.info.exclusive) return render.buffer_frames;
  UINT32 queued = 0;
  if (FAILED(render.client->GetCurrentPadding(&queued))) return 0;
  if (monitor.ring_count_ == 0 && click_remaining <= 0) return 0;
  const UINT32 target =
      static_cast<UINT32>(std::max<int64_t>(int64_t{render_rate} * kSharedTargetMs / 1000, 1));
  if (queued >= target || queued >= render.buffer_frames) return 0;
  return std::min(target - queued, render.buffer_frames - queued);
}

// Keeps at most two buffers' worth of input, so monitoring lags the guitar by a bounded time.
void BoundLatency(Monitor& monitor, UINT32 frames) {
  const int64_t keep = int64_t{2} * frames;
  if (monitor.ring_count_ <= keep) return;
  const int64_t drop = monitor.ring_count_ - keep;
  monitor.ring_start_ = static_cast<int32_t>((monitor.ring_start_ + drop) & kRingMask);
  monitor.ring_count_ = static_cast<int32_t>(keep);
}

// The audio thread's monitoring state, copied into locals for the frame loop: the samples are
// written through byte pointers, which the compiler must assume may alias the monitor's fields.
struct Cursor {
  explicit Cursor(const Monitor& monitor)
      : ring(monitor.ring_),
        volume(&monitor.volume_),
        ring_start(monitor.ring_start_),
        ring_count(monitor.ring_count_),
        resample_pos(monitor.resample_pos_),
        click_remaining(monitor.click_remaining_),
        click_length(monitor.click_length_),
        click_phase(monitor.click_phase_),
        click_step(monitor.click_step_) {}

  void StoreInto(Monitor& monitor) const {
    monitor.ring_start_ = ring_start;
    monitor.ring_count_ = ring_count;
    monitor.resample_pos_ = resample_pos;
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

  // The next monitoring sample with the click mixed in; advances the ring by the rate ratio,
  // holding each input sample until a whole one has passed.
  float NextOutputSample(float click, double step) {
    if (ring_count <= 0) return click;
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
  int32_t ring_start;
  int32_t ring_count;
  double resample_pos;
  int32_t click_remaining;
  int32_t click_length;
  float click_phase;
  float click_step;
};

// Writes `frames` frames, the same value into every channel of a frame.
template <SampleLayout kLayout>
void FillFrames(Monitor& monitor, BYTE* data, UINT32 frames, size_t block_align, int32_t channels,
                double step) {
  using Out = Encoder<kLayout>;
  Cursor cursor(monitor);
  for (UINT32 frame = 0; frame < frames; ++frame) {
    const float click = cursor.NextClickSample();
    const float value = ClampSample(cursor.NextOutputSample(click, step));
    BYTE* const out = data + frame * block_align;
    for (int32_t channel = 0; channel < channels; ++channel) {
      Out::Store(value, out + static_cast<size_t>(channel) * Out::kBytes);
    }
  }
  cursor.StoreInto(monitor);
}

// Advances the click and the ring as if the frames had been written; the layout has no samples.
void SkipFrames(Monitor& monitor, UINT32 frames, double step) {
  Cursor cursor(monitor);
  for (UINT32 frame = 0; frame < frames; ++frame) {
    cursor.NextOutputSample(cursor.NextClickSample(), step);
  }
  cursor.StoreInto(monitor);
}

}  // namespace

void RenderMonitor(Monitor& monitor) {
  const int32_t render_rate = monitor.render_.info.sample_rate;
  const int32_t capture_rate = monitor.capture_.info.sample_rate;
  TakeClickRequest(monitor, render_rate);
  const int32_t click_remaining = monitor.click_remaining_;
  const bool monitoring = monitor.speaker_.load();
  if (!monitoring) {
    monitor.ring_start_ = 0;
    monitor.ring_count_ = 0;
    monitor.resample_pos_ = 0.0;
  }
  IAudioRenderClient* const render_client = monitor.render_client_.Get();
  if (render_client == nullptr || !monitor.render_.client) return;

  const UINT32 frames = FramesDue(monitor, render_rate, click_remaining);
  if (frames == 0) return;
  BYTE* data = nullptr;
  if (FAILED(render_client->GetBuffer(frames, &data))) return;
  if (data == nullptr) {
    render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
    return;
  }
  const StreamInfo& info = monitor.render_.info;
  const size_t block_align = static_cast<size_t>(std::max(info.block_align, 0));
  std::memset(data, 0, frames * block_align);
  if (!monitoring && click_remaining <= 0) {
    render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
    return;
  }

  BoundLatency(monitor, frames);
  const double step =
      render_rate > 0 ? static_cast<double>(capture_rate) / static_cast<double>(render_rate) : 1.0;
  switch (LayoutOf(info)) {
    case SampleLayout::kFloat32:
      FillFrames<SampleLayout::kFloat32>(monitor, data, frames, block_align, info.channels, step);
      break;
    case SampleLayout::kInt16:
      FillFrames<SampleLayout::kInt16>(monitor, data, frames, block_align, info.channels, step);
      break;
    case SampleLayout::kInt24:
      FillFrames<SampleLayout::kInt24>(monitor, data, frames, block_align, info.channels, step);
      break;
    case SampleLayout::kInt32:
      FillFrames<SampleLayout::kInt32>(monitor, data, frames, block_align, info.channels, step);
      break;
    case SampleLayout::kNone:
      SkipFrames(monitor, frames, step);
      break;
  }
  render_client->ReleaseBuffer(frames, 0);
}

}  // namespace tonelark
