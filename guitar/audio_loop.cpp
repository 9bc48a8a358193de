#include "guitar/audio_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "guitar/open_streams.h"
#include "guitar/render_monitor.h"

namespace tonelark {
namespace {

constexpr DWORD kPrefillDeadlineMs = 250;
constexpr DWORD kPrefillWaitMs = 15;
constexpr DWORD kLoopWaitMs = 200;
constexpr int32_t kRingMask = kRingSize - 1;
static_assert((kRingSize & kRingMask) == 0, "ring indices wrap with a mask");

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The first channel's sample of a capture frame, as a float in -1..+1 full scale.
template <SampleLayout kLayout>
float ReadSample(const BYTE* at);

template <>
float ReadSample<SampleLayout::kFloat32>(const BYTE* at) {
  float value;
  std::memcpy(&value, at, sizeof(value));
  // A NaN would survive every clamp downstream and reach the speakers.
  return value == value ? value : 0.0f;
}

template <>
float ReadSample<SampleLayout::kInt16>(const BYTE* at) {
  int16_t value;
  std::memcpy(&value, at, sizeof(value));
  return static_cast<float>(value) * (1.0f / 32768.0f);
}

template <>
float ReadSample<SampleLayout::kInt24>(const BYTE* at) {
  const uint32_t bits = static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                        (static_cast<uint32_t>(at[2]) << 16);
  const int32_t value = static_cast<int32_t>(bits << 8) / 256;  // sign from bit 23
  return static_cast<float>(value) * (1.0f / 8388608.0f);
}

template <>
float ReadSample<SampleLayout::kInt32>(const BYTE* at) {
  int32_t value;
  std::memcpy(&value, at, sizeof(value));
  return static_cast<float>(static_cast<double>(value) * (1.0 / 2147483648.0));
}

int16_t ToPcm16(float sample) {
  const float clamped = sample > 1.0f ? 1.0f : (sample < -1.0f ? -1.0f : sample);
  return static_cast<int16_t>(static_cast<double>(clamped) * 32767.0);
}

// Appends one packet to the ring and to pending_. When the ring is full the newest samples
// overwrite the oldest, so it always holds the latest 16384. kNone reads every frame as silence
// and does not touch `data`.
template <SampleLayout kLayout>
void AppendPacket(Monitor& monitor, const BYTE* data, UINT32 frames, size_t block_align) {
  const size_t first = monitor.pending_.size();
  monitor.pending_.resize(first + frames);
  int16_t* const pcm = monitor.pending_.data() + first;
  float* const ring = monitor.ring_;
  const int64_t total = int64_t{monitor.ring_count_} + frames;
  const int32_t count = total < kRingSize ? static_cast<int32_t>(total) : kRingSize;
  int32_t position = (monitor.ring_start_ + monitor.ring_count_) & kRingMask;
  // Contiguous spans up to the end of the ring, so the inner loop has no wrap test.
  for (UINT32 frame = 0; frame < frames;) {
    const UINT32 span = std::min<UINT32>(frames - frame, kRingSize - position);
    for (UINT32 i = 0; i < span; ++i) {
      float sample = 0.0f;
      if constexpr (kLayout != SampleLayout::kNone) {
        sample = ReadSample<kLayout>(data + (frame + i) * block_align);
      }
      ring[position + i] = sample;
      pcm[frame + i] = ToPcm16(sample);
    }
    frame += span;
    position = (position + static_cast<int32_t>(span)) & kRingMask;
  }
  monitor.ring_start_ = static_cast<int32_t>((monitor.ring_start_ + total - count) & kRingMask);
  monitor.ring_count_ = count;
  if (total > count) monitor.glitches_.AddRingDropped(total - count);
}

void AppendPacket(Monitor& monitor, SampleLayout layout, const BYTE* data, UINT32 frames,
                  size_t block_align) {
  switch (layout) {
    case SampleLayout::kFloat32:
      return AppendPacket<SampleLayout::kFloat32>(monitor, data, frames, block_align);
    case SampleLayout::kInt16:
      return AppendPacket<SampleLayout::kInt16>(monitor, data, frames, block_align);
    case SampleLayout::kInt24:
      return AppendPacket<SampleLayout::kInt24>(monitor, data, frames, block_align);
    case SampleLayout::kInt32:
      return AppendPacket<SampleLayout::kInt32>(monitor, data, frames, block_align);
    case SampleLayout::kNone:
      return AppendPacket<SampleLayout::kNone>(monitor, data, frames, block_align);
  }
}

// Fills the ring with what the resampler primes with before the render stream starts, for at
// most 250 ms.
void Prefill(Monitor& monitor) {
  const int64_t target = std::max<int64_t>(monitor.resampler_.PrimeFill(), 1);
  const DWORD deadline = GetTickCount() + kPrefillDeadlineMs;
  while (monitor.ring_count_ < target) {
    // Signed difference: "at or past" must hold across the 49.7-day wrap of the tick count.
    if (static_cast<int32_t>(GetTickCount() - deadline) >= 0) break;
    if (IsSignalled(monitor.stop_event_.Get())) break;
    WaitForSingleObject(monitor.capture_.event.Get(), kPrefillWaitMs);
    ProcessCapture(monitor);
  }
}

// What was captured for streams that are gone: the ring, the resampler position and the samples
// not yet cut into a chunk (which may be at another rate than the next streams').
void DropCaptured(Monitor& monitor) {
  monitor.ring_start_ = 0;
  monitor.ring_count_ = 0;
  monitor.resample_pos_ = 0.0;
  monitor.pending_.clear();
}

double Milliseconds(UINT32 frames, int32_t rate) { return rate > 0 ? 1000.0 * frames / rate : 0.0; }

// Tells "status" about the streams now running.
void PublishStreams(Monitor& monitor, const std::string& name) {
  const AudioStream& capture = monitor.capture_;
  const AudioStream& render = monitor.render_;
  const int32_t capture_rate = capture.info.sample_rate;
  const int32_t render_rate = render.info.sample_rate;
  StreamSummary summary;
  summary.name = name;
  summary.sample_rate = capture_rate;
  summary.capture_exclusive = capture.info.exclusive;
  summary.render_sample_rate = render_rate;
  summary.render_exclusive = render.info.exclusive;
  summary.capture_period_ms = Milliseconds(capture.period_frames, capture_rate);
  summary.render_period_ms = Milliseconds(render.period_frames, render_rate);
  // A sample waits for its packet to be complete, then in the ring behind the cushion, then in
  // the render buffer behind what is queued.
  const UINT32 render_queue =
      render.info.exclusive
          ? render.buffer_frames
          : render.period_frames + SharedMarginFrames(render_rate, render.period_frames);
  const double ring_wait_samples =
      monitor.resampler_.PrimeFill() - render_queue * monitor.resampler_.nominal_step();
  summary.latency_ms = summary.capture_period_ms +
                       (capture_rate > 0 ? 1000.0 * ring_wait_samples / capture_rate : 0.0) +
                       Milliseconds(render_queue, render_rate);
  monitor.status_.Publish(summary);
}

// Closes the streams of lost devices and says so.
void LoseStreams(Monitor& monitor, HRESULT code) {
  CloseStreams(monitor);
  DropCaptured(monitor);
  monitor.click_remaining_ = 0;
  monitor.status_.ClearStreams();
  // The line goes out before the status changes: whoever sees "deviceLost" can find the line.
  char line[64];
  std::snprintf(line, sizeof(line), "Tonelark device lost 0x%08lx\n",
                static_cast<unsigned long>(static_cast<uint32_t>(code)));
  OutputDebugStringA(line);
  monitor.status_.SetDeviceLost(true);
}

// One attempt to find and start the devices again, with the selection rules of a start. Failed
// steps are not logged: the attempt repeats every half second for as long as the device is away.
bool ReopenStreams(Monitor& monitor) {
  // A click belongs to its beat: one asked for while the speakers were away would sound late.
  monitor.click_request_.exchange(0);
  std::string name;
  bool started;
  {
    QuietFailures quiet;
    started = StartStreams(monitor, &name);
  }
  if (!started) {
    CloseStreams(monitor);
    DropCaptured(monitor);
    return false;
  }
  PublishStreams(monitor, name);
  monitor.device_watcher_.Start(GetTickCount());
  OutputDebugStringA("Tonelark device back\n");
  monitor.status_.SetDeviceLost(false);
  return true;
}

// Serves the streams until the stop request; while the devices are lost, looks for them again
// every half second.
void ServeUntilStopped(Monitor& monitor) {
  const HANDLE stop = monitor.stop_event_.Get();
  DeviceWatcher& watcher = monitor.device_watcher_;
  watcher.Start(GetTickCount());
  bool lost = false;
  while (!IsSignalled(stop)) {
    if (lost) {
      if (WaitForSingleObject(stop, DeviceWatcher::kRetryIntervalMs) == WAIT_OBJECT_0) break;
      lost = !ReopenStreams(monitor);
      continue;
    }
    const HANDLE handles[3] = {stop, monitor.render_.event.Get(), monitor.capture_.event.Get()};
    const DWORD woken = WaitForMultipleObjects(3, handles, FALSE, kLoopWaitMs);
    if (IsSignalled(stop)) break;
    const DWORD now = GetTickCount();
    ServeWake(monitor, woken, now);
    if (watcher.Lost(now)) {
      LoseStreams(monitor, watcher.LossCode(now));
      lost = true;
    }
  }
}

}  // namespace

bool StartStreams(Monitor& monitor, std::string* name) {
  if (!OpenStreams(monitor, name)) return false;
  // Reserved once per start, so that appending a packet does not grow pending_ while streaming.
  monitor.pending_.reserve(monitor.pending_.size() + monitor.capture_.buffer_frames +
                           2 * PcmChunkSamples(monitor.capture_.info.sample_rate));
  ConfigureResampler(monitor);
  monitor.resampler_.Restart();
  monitor.glitches_.RestartCapturePositions();
  HRESULT hr = monitor.capture_.client->Start();
  if (FAILED(hr)) {
    LogFailure("capture start", hr);
    return false;
  }
  monitor.capture_.started = true;
  Prefill(monitor);
  RenderMonitor(monitor);
  hr = monitor.render_.client->Start();
  if (FAILED(hr)) {
    LogFailure("render start", hr);
    return false;
  }
  monitor.render_.started = true;
  return true;
}

void ServeWake(Monitor& monitor, DWORD woken, DWORD now) {
  DeviceWatcher& watcher = monitor.device_watcher_;
  if (woken == WAIT_OBJECT_0 + 1) watcher.OnRenderActivity(now);
  if (woken == WAIT_OBJECT_0 + 2) watcher.OnCaptureActivity(now);
  const CaptureOutcome captured = ProcessCapture(monitor);
  if (captured.frames > 0) watcher.OnCaptureActivity(now);
  watcher.OnCall(DeviceWatcher::Side::kCapture, captured.result, now);
  if (!monitor.render_.info.exclusive || woken == WAIT_OBJECT_0 + 1) {
    watcher.OnCall(DeviceWatcher::Side::kRender, RenderMonitor(monitor), now);
  }
}

void AudioLoop(Monitor& monitor) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DWORD task_index = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);

  const bool started = StartStreams(monitor);
  if (started) {
    monitor.sample_rate_ = monitor.capture_.info.sample_rate;
    monitor.render_exclusive_ = monitor.render_.info.exclusive;
    PublishStreams(monitor, monitor.device_name_);
    // Before the report, so that a "setSpeaker" sent as soon as "start" answers is not undone.
    monitor.speaker_.exchange(true);
  } else {
    monitor.sample_rate_ = 0;
    monitor.render_exclusive_ = false;
    CloseStreams(monitor);
    StreamSummary chosen;
    chosen.name = monitor.device_name_;
    monitor.status_.Publish(chosen);
  }
  monitor.started_.store(started);
  if (monitor.on_report_) monitor.on_report_(monitor);
  SetEvent(monitor.ready_event_.Get());

  if (started) {
    ServeUntilStopped(monitor);
    CloseStreams(monitor);
  }
  if (task != nullptr) AvRevertMmThreadCharacteristics(task);
  CoUninitialize();
}

CaptureOutcome ProcessCapture(Monitor& monitor) {
  CaptureOutcome outcome;
  IAudioCaptureClient* const capture = monitor.capture_client_.Get();
  if (capture == nullptr) return outcome;
  UINT32 packet_frames = 0;
  outcome.result = capture->GetNextPacketSize(&packet_frames);
  if (FAILED(outcome.result)) return outcome;
  const SampleLayout layout = LayoutOf(monitor.capture_.info);
  const size_t block_align = static_cast<size_t>(std::max(monitor.capture_.info.block_align, 0));
  while (packet_frames > 0) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0;
    outcome.result = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
    if (FAILED(outcome.result)) return outcome;
    monitor.glitches_.OnCapturePacket(flags, position, frames);
    // A packet without a buffer is read as silence rather than dereferenced.
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
    AppendPacket(monitor, silent ? SampleLayout::kNone : layout, silent ? nullptr : data, frames,
                 block_align);
    outcome.result = capture->ReleaseBuffer(frames);
    outcome.frames += frames;
    monitor.ProducePcmChunks();
    if (FAILED(outcome.result)) return outcome;
    // A device that announces a packet but hands over no frames would keep this loop spinning;
    // leave it to the next wake instead.
    if (frames == 0) return outcome;
    outcome.result = capture->GetNextPacketSize(&packet_frames);
    if (FAILED(outcome.result)) return outcome;
  }
  return outcome;
}

void CloseStreams(Monitor& monitor) {
  if (monitor.capture_.client) monitor.capture_.client->Stop();
  if (monitor.render_.client) monitor.render_.client->Stop();
  monitor.capture_.started = false;
  monitor.render_.started = false;
  monitor.capture_client_.Reset();
  monitor.render_client_.Reset();
  monitor.capture_.client.Reset();
  monitor.capture_.event.Reset();
  monitor.render_.client.Reset();
  monitor.render_.event.Reset();
}

}  // namespace tonelark
