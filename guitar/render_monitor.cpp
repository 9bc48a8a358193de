#include "guitar/render_monitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tonelark {
namespace {

constexpr float kClickSeconds = 0.03f;
constexpr float kClickPeak = 0.35f;
constexpr float kClickHz = 1046.5f;
constexpr float kAccentHz = 1568.0f;
constexpr float kTwoPi = 6.2831855f;
constexpr int32_t kSharedMarginMs = 2;  // queued beyond one period in shared mode

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
  // The mixer found nothing on its last pass while the engine was feeding it the guitar. A wake
  // after the engine chose to write nothing (the ring priming) is no under-run.
  if (queued == 0 && render.started && monitoring && render.fed) {
    monitor.glitches_.AddRenderUnderrun(render.period_frames);
    monitor.device_underrun_ = true;
  }
  // Nothing is written until the ring has primed; a ring that ran dry once primed is read all the
  // same, so the shortfall is counted and answered by a wider cushion.
  if (monitor.monitoring_.usable() == 0 && monitor.monitoring_.priming() && click_remaining <= 0) {
    monitor.render_.fed = false;
    return 0;
  }
  const UINT32 target =
      render.period_frames + SharedMarginFrames(render_rate, render.period_frames);
  if (queued >= target || queued >= render.buffer_frames) return 0;
  return std::min(target - queued, render.buffer_frames - queued);
}

// The click state, copied into locals for the frame loop: the samples are written through byte
// pointers, which the compiler must assume may alias the monitor's fields.
struct Click {
  explicit Click(const Monitor& monitor)
      : remaining(monitor.click_remaining_),
        length(monitor.click_length_),
        phase(monitor.click_phase_),
        step(monitor.click_step_) {}

  void StoreInto(Monitor& monitor) const {
    monitor.click_remaining_ = remaining;
    monitor.click_phase_ = phase;
  }

  float Next() {
    if (remaining <= 0) return 0.0f;
    const float g = static_cast<float>(remaining) / static_cast<float>(length);
    const float sample = std::sin(phase) * (g * kClickPeak * g);
    phase += step;
    --remaining;
    return sample;
  }

  int32_t remaining;
  int32_t length;
  float phase;
  float step;
};

// Writes `frames` frames of the guitar (scaled by the volume) and the click, the same value into
// every channel of a frame. Returns the frames beyond full scale before the clamp.
template <SampleLayout kLayout>
int64_t FillFrames(Monitor& monitor, const float* guitar, BYTE* data, UINT32 frames,
                   size_t block_align, int32_t channels) {
  using Out = Encoder<kLayout>;
  Click click(monitor);
  const std::atomic<float>& volume = monitor.volume_;
  int64_t clipped = 0;
  for (UINT32 frame = 0; frame < frames; ++frame) {
    // Read afresh for every frame, so a volume change is heard at once.
    const float sum = volume.load(std::memory_order_relaxed) * guitar[frame] + click.Next();
    if (sum > 1.0f || sum < -1.0f) ++clipped;
    const float value = ClampSample(sum);
    BYTE* const out = data + frame * block_align;
    for (int32_t channel = 0; channel < channels; ++channel) {
      if constexpr (kLayout != SampleLayout::kNone) {
        Out::Store(value, out + static_cast<size_t>(channel) * Out::kBytes);
      }
    }
  }
  click.StoreInto(monitor);
  return clipped;
}

int64_t WriteFrames(Monitor& monitor, const float* guitar, BYTE* data, UINT32 frames) {
  const StreamInfo& info = monitor.render_.info;
  const size_t block_align = static_cast<size_t>(std::max(info.block_align, 0));
  switch (LayoutOf(info)) {
    case SampleLayout::kFloat32:
      return FillFrames<SampleLayout::kFloat32>(monitor, guitar, data, frames, block_align,
                                                info.channels);
    case SampleLayout::kInt16:
      return FillFrames<SampleLayout::kInt16>(monitor, guitar, data, frames, block_align,
                                              info.channels);
    case SampleLayout::kInt24:
      return FillFrames<SampleLayout::kInt24>(monitor, guitar, data, frames, block_align,
                                              info.channels);
    case SampleLayout::kInt32:
      return FillFrames<SampleLayout::kInt32>(monitor, guitar, data, frames, block_align,
                                              info.channels);
    case SampleLayout::kNone:
      break;
  }
  // A layout with no samples to write still moves the click on.
  return FillFrames<SampleLayout::kNone>(monitor, guitar, data, frames, block_align, 0);
}

// When the next frame written will be heard (100 ns on the performance counter), from the render
// stream's clock; 0 when it has none or the reading fails.
int64_t PlayTime(Monitor& monitor) {
  AudioStream& render = monitor.render_;
  // Before the stream starts, its clock does not tell when the first frames will be heard.
  if (!render.clock || !render.started || render.info.sample_rate <= 0) return 0;
  UINT64 position = 0;
  UINT64 read_at = 0;
  if (FAILED(render.clock->GetPosition(&position, &read_at)) || read_at == 0) return 0;
  const double heard = static_cast<double>(position) * render.info.sample_rate /
                       static_cast<double>(render.clock_frequency);
  // The device played on where nothing was written (a render wake came too late): an under-run
  // at the device, and what comes next is heard no earlier than now.
  if (heard > static_cast<double>(render.next_frame)) {
    const UINT64 caught_up = static_cast<UINT64>(std::ceil(heard));
    const UINT64 gap = caught_up - render.next_frame;
    if (render.info.exclusive) {
      monitor.glitches_.AddRenderUnderrun(static_cast<int64_t>(gap));
      monitor.device_underrun_ = true;
    }
    // The guitar waiting in the ring is now heard that much later: the cushion keeps it.
    monitor.monitoring_.OnOutputGap(static_cast<uint32_t>(std::min<UINT64>(gap, 0xFFFFFFFFu)));
    render.next_frame = caught_up;
  }
  if (!monitor.render_trust_.Observe(static_cast<int64_t>(read_at), heard,
                                     render.info.sample_rate)) {
    return 0;
  }
  // From when frame 0 was heard rather than from this reading alone: a position that moves once
  // per pass lags by how far into the pass it was read.
  const double frame0 =
      render.heard_clock.Observe(static_cast<int64_t>(read_at), heard, render.info.sample_rate);
  return static_cast<int64_t>(
      frame0 + static_cast<double>(render.next_frame) * 1e7 / render.info.sample_rate + 0.5);
}

}  // namespace

void ConfigureMonitoring(Monitor& monitor) {
  const AudioStream& capture = monitor.capture_;
  const AudioStream& render = monitor.render_;
  UINT32 render_frames = render.period_frames;
  // A shared top-up writes up to the margin more than the mixer takes per pass.
  if (!render.info.exclusive) {
    render_frames += SharedMarginFrames(render.info.sample_rate, render.period_frames);
  }
  // A shared capture stream is fed by the audio engine's timer, and Wine's PulseAudio driver
  // hands over what its server gave it: two packets at once after twice the wait, now and then.
  monitor.monitoring_.Configure(capture.info.sample_rate, render.info.sample_rate,
                                capture.period_frames, render_frames, !capture.info.exclusive);
  if (monitor.render_scratch_.size() < render.buffer_frames) {
    monitor.render_scratch_.resize(render.buffer_frames);
  }
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
  // Off, the captured guitar is let go; on again, monitoring starts from fresh audio.
  if (!monitoring) monitor.monitoring_.Restart();
  IAudioRenderClient* const render_client = monitor.render_client_.Get();
  if (render_client == nullptr || !monitor.render_.client) return S_OK;
  ConfigureMonitoring(monitor);

  HRESULT result = S_OK;
  const UINT32 frames = FramesDue(monitor, render_rate, click_remaining, monitoring, &result);
  if (frames == 0) return result;
  BYTE* data = nullptr;
  result = render_client->GetBuffer(frames, &data);
  if (FAILED(result)) return result;
  const int64_t play_time = PlayTime(monitor);
  monitor.render_.next_frame += frames;
  monitor.render_.fed = true;
  if (data == nullptr) return render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
  const size_t block_align = static_cast<size_t>(std::max(monitor.render_.info.block_align, 0));
  std::memset(data, 0, frames * block_align);
  if (!monitoring && click_remaining <= 0) {
    return render_client->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
  }

  // Sized when the streams open; only a caller that skipped that gets it here.
  if (monitor.render_scratch_.size() < frames) monitor.render_scratch_.resize(frames);
  float* const guitar = monitor.render_scratch_.data();
  if (monitoring) {
    const MonitoringPath::ReadOutcome read = monitor.monitoring_.Read(frames, guitar, play_time);
    if (read.empty_frames > 0) monitor.glitches_.AddRenderUnderrun(read.empty_frames);
    if (read.cut_samples > 0) monitor.glitches_.AddRingDropped(read.cut_samples);
  } else {
    std::fill(guitar, guitar + frames, 0.0f);
  }
  const int64_t clipped = WriteFrames(monitor, guitar, data, frames);
  if (clipped > 0) monitor.glitches_.AddOutputClipped(clipped);
  return render_client->ReleaseBuffer(frames, 0);
}

}  // namespace tonelark
