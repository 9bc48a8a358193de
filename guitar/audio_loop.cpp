#include "guitar/audio_loop.h"

#include <algorithm>
#include <cstring>

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

// Fills the ring with about one render buffer of input before the render stream starts, for at
// most 250 ms.
void Prefill(Monitor& monitor) {
  const int64_t target = std::max<int64_t>(monitor.render_.buffer_frames, 1);
  const DWORD deadline = GetTickCount() + kPrefillDeadlineMs;
  while (monitor.ring_count_ < target) {
    // Signed difference: "at or past" must hold across the 49.7-day wrap of the tick count.
    if (static_cast<int32_t>(GetTickCount() - deadline) >= 0) break;
    if (IsSignalled(monitor.stop_event_.Get())) break;
    WaitForSingleObject(monitor.capture_.event.Get(), kPrefillWaitMs);
    ProcessCapture(monitor);
  }
}

// Opens, pre-fills and starts both streams; false (with the failing start logged) otherwise.
bool StartStreams(Monitor& monitor) {
  if (!OpenStreams(monitor)) return false;
  // Reserved once per start, so that appending a packet does not grow pending_ while streaming.
  const size_t chunk = static_cast<size_t>(std::max(monitor.capture_.info.sample_rate / 200, 256));
  monitor.pending_.reserve(monitor.pending_.size() + monitor.capture_.buffer_frames + 2 * chunk);
  HRESULT hr = monitor.capture_.client->Start();
  if (FAILED(hr)) {
    LogFailure("capture start", hr);
    return false;
  }
  Prefill(monitor);
  RenderMonitor(monitor);
  hr = monitor.render_.client->Start();
  if (FAILED(hr)) {
    LogFailure("render start", hr);
    return false;
  }
  return true;
}

void Stream(Monitor& monitor) {
  const HANDLE handles[3] = {monitor.stop_event_.Get(), monitor.render_.event.Get(),
                             monitor.capture_.event.Get()};
  while (!IsSignalled(monitor.stop_event_.Get())) {
    const DWORD woken = WaitForMultipleObjects(3, handles, FALSE, kLoopWaitMs);
    if (IsSignalled(monitor.stop_event_.Get())) break;
    ProcessCapture(monitor);
    if (!monitor.render_.info.exclusive || woken == WAIT_OBJECT_0 + 1) RenderMonitor(monitor);
  }
}

}  // namespace

void AudioLoop(Monitor& monitor) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DWORD task_index = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);

  const bool started = StartStreams(monitor);
  if (started) {
    monitor.sample_rate_ = monitor.capture_.info.sample_rate;
    monitor.render_exclusive_ = monitor.render_.info.exclusive;
    // Before the report, so that a "setSpeaker" sent as soon as "start" answers is not undone.
    monitor.speaker_.exchange(true);
  } else {
    monitor.sample_rate_ = 0;
    monitor.render_exclusive_ = false;
    CloseStreams(monitor);
  }
  monitor.started_.store(started);
  SetEvent(monitor.ready_event_.Get());

  if (started) {
    Stream(monitor);
    CloseStreams(monitor);
  }
  if (task != nullptr) AvRevertMmThreadCharacteristics(task);
  CoUninitialize();
}

void ProcessCapture(Monitor& monitor) {
  IAudioCaptureClient* const capture = monitor.capture_client_.Get();
  if (capture == nullptr) return;
  UINT32 packet_frames = 0;
  if (FAILED(capture->GetNextPacketSize(&packet_frames))) return;
  const SampleLayout layout = LayoutOf(monitor.capture_.info);
  const size_t block_align = static_cast<size_t>(std::max(monitor.capture_.info.block_align, 0));
  while (packet_frames > 0) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    if (FAILED(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) return;
    // A packet without a buffer is read as silence rather than dereferenced.
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
    AppendPacket(monitor, silent ? SampleLayout::kNone : layout, silent ? nullptr : data, frames,
                 block_align);
    capture->ReleaseBuffer(frames);
    monitor.ProducePcmChunks();
    // A device that announces a packet but hands over no frames would keep this loop spinning;
    // leave it to the next wake instead.
    if (frames == 0) return;
    if (FAILED(capture->GetNextPacketSize(&packet_frames))) return;
  }
}

void CloseStreams(Monitor& monitor) {
  if (monitor.capture_.client) monitor.capture_.client->Stop();
  if (monitor.render_.client) monitor.render_.client->Stop();
  monitor.capture_client_.Reset();
  monitor.render_client_.Reset();
  monitor.capture_.client.Reset();
  monitor.capture_.event.Reset();
  monitor.render_.client.Reset();
  monitor.render_.event.Reset();
}

}  // namespace tonelark
