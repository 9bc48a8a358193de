#include "standins/audio/system_state.h"

#include <algorithm>
#include <cmath>

#include "standins/audio/resource_counts.h"
#include "standins/audio/sample_format.h"

namespace virtual_audio {

namespace {

constexpr size_t kMaxQueuedPackets = 8;
constexpr double kTwoPi = 6.283185307179586;
// A real-time clock that fell this many periods behind (a debugger stop, a loaded machine)
// starts afresh instead of firing a burst of catch-up periods.
constexpr int kMaxCatchUpPeriods = 4;

// Streaming calls happen every few milliseconds for as long as a stream runs: they are counted
// but kept out of the log.
bool IsStreamingCall(const std::string& method) {
  return method == "IAudioCaptureClient::GetNextPacketSize" ||
         method == "IAudioCaptureClient::GetBuffer" ||
         method == "IAudioCaptureClient::ReleaseBuffer" ||
         method == "IAudioRenderClient::GetBuffer" ||
         method == "IAudioRenderClient::ReleaseBuffer" ||
         method == "IAudioClient::GetCurrentPadding";
}

std::chrono::steady_clock::duration PeriodDuration(const StreamState& stream) {
  // REFERENCE_TIME counts 100 ns.
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::nanoseconds(stream.period * 100));
}

}  // namespace

const char* ObjectKindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kClassFactory:
      return "IClassFactory";
    case ObjectKind::kEnumerator:
      return "IMMDeviceEnumerator";
    case ObjectKind::kCollection:
      return "IMMDeviceCollection";
    case ObjectKind::kDevice:
      return "IMMDevice";
    case ObjectKind::kPropertyStore:
      return "IPropertyStore";
    case ObjectKind::kAudioClient:
      return "IAudioClient";
    case ObjectKind::kCaptureClient:
      return "IAudioCaptureClient";
    case ObjectKind::kRenderClient:
      return "IAudioRenderClient";
  }
  return "?";
}

SystemState::SystemState() = default;

SystemState::~SystemState() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_quit_ = true;
  }
  clock_wake_.notify_all();
  if (clock_thread_.joinable()) clock_thread_.join();
}

// ---- Devices ----

void SystemState::AddDevice(const DeviceConfig& config) {
  if (DeviceRecord* existing = FindDevice(config.id)) {
    existing->config = config;
    return;
  }
  auto record = std::make_unique<DeviceRecord>();
  record->config = config;
  devices_.push_back(std::move(record));
}

DeviceRecord* SystemState::FindDevice(const std::wstring& id) {
  for (auto& device : devices_) {
    if (device->config.id == id) return device.get();
  }
  return nullptr;
}

std::vector<std::wstring> SystemState::DeviceIds(EDataFlow flow, DWORD state_mask) const {
  std::vector<std::wstring> ids;
  for (const auto& device : devices_) {
    const DeviceConfig& config = device->config;
    if (flow != eAll && config.flow != flow) continue;
    const DWORD state = config.active ? DEVICE_STATE_ACTIVE : DEVICE_STATE_DISABLED;
    if ((state & state_mask) != 0) ids.push_back(config.id);
  }
  return ids;
}

bool SystemState::DefaultDevice(EDataFlow flow, std::wstring* id) const {
  const std::wstring& chosen = flow == eRender ? default_render_ : default_capture_;
  for (const auto& device : devices_) {
    const DeviceConfig& config = device->config;
    if (config.flow != flow || !config.active) continue;
    if (chosen.empty() || config.id == chosen) {
      *id = config.id;
      return true;
    }
  }
  return false;
}

void SystemState::SetDefaultDevice(EDataFlow flow, const std::wstring& id) {
  (flow == eRender ? default_render_ : default_capture_) = id;
}

void SystemState::Reset() {
  devices_.clear();
  default_render_.clear();
  default_capture_.clear();
  failures_.clear();
  calls_.clear();
  counters_.clear();
}

// ---- Calls ----

bool SystemState::CountCall(const std::string& method, const std::wstring& device, HRESULT* hr) {
  auto counter = std::find_if(counters_.begin(), counters_.end(), [&](const CallCounter& c) {
    return c.method == method && c.device == device;
  });
  if (counter == counters_.end()) {
    counters_.push_back({method, device, 1});
  } else {
    ++counter->count;
  }
  for (FailRule& rule : failures_) {
    if (rule.method != method) continue;
    if (!rule.when.device.empty() && rule.when.device != device) continue;
    ++rule.seen;
    if (rule.when.nth == 0 || rule.when.nth == rule.seen) {
      *hr = rule.hr;
      return true;
    }
  }
  return false;
}

void SystemState::LogCall(const CallRecord& record) {
  if (!IsStreamingCall(record.method)) calls_.push_back(record);
}

void SystemState::AddFailure(const std::string& method, HRESULT hr, const FailWhen& when) {
  failures_.push_back({method, hr, when, 0});
}

void SystemState::ClearFailures() { failures_.clear(); }

std::vector<CallRecord> SystemState::Calls() const { return calls_; }

int SystemState::CallCount(const std::string& method, const std::wstring& device) const {
  int total = 0;
  for (const CallCounter& counter : counters_) {
    if (counter.method == method && (device.empty() || counter.device == device)) {
      total += counter.count;
    }
  }
  return total;
}

void SystemState::ClearCalls() {
  calls_.clear();
  counters_.clear();
}

// ---- Streams ----

void SystemState::AddStream(const std::shared_ptr<StreamState>& stream) {
  streams_.push_back(stream);
}

void SystemState::RemoveStream(const StreamState* stream) {
  streams_.erase(
      std::remove_if(streams_.begin(), streams_.end(),
                     [&](const std::shared_ptr<StreamState>& s) { return s.get() == stream; }),
      streams_.end());
}

int SystemState::LiveStreams(const std::wstring& device, bool exclusive_only) const {
  int count = 0;
  for (const auto& stream : streams_) {
    if (stream->device_id == device && (stream->exclusive || !exclusive_only)) ++count;
  }
  return count;
}

void SystemState::StartStream(StreamState* stream) {
  stream->started = true;
  stream->next_due = std::chrono::steady_clock::now() + PeriodDuration(*stream);
  if (clock_mode_ == ClockMode::kRealTime) {
    EnsureClockThread();
    clock_wake_.notify_all();
  }
}

void SystemState::StopStream(StreamState* stream) { stream->started = false; }

void SystemState::BeginRecording(const StreamState& stream) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (device == nullptr) return;
  if (!device->recording_started || device->recording.format != stream.format) {
    device->recording = RenderedAudio{};
    device->recording.format = stream.format;
    device->recording_started = true;
  }
  device->recording.exclusive = stream.exclusive;
}

void SystemState::RecordRender(const StreamState& stream, const uint8_t* data, uint32_t frames,
                               DWORD flags) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (device == nullptr || !device->recording_started ||
      device->recording.format != stream.format) {
    return;
  }
  RenderedAudio& recording = device->recording;
  recording.buffers.push_back({frames, flags, recording.bytes.size()});
  recording.bytes.insert(recording.bytes.end(), data,
                         data + static_cast<size_t>(frames) * stream.format.BlockAlign());
}

void SystemState::SaveRecording(const std::wstring& id) {
  DeviceRecord* device = FindDevice(id);
  if (device == nullptr || !device->recording_started) return;
  if (device->config.output_wav_path.empty()) return;
  device->recording.WriteWav(device->config.output_wav_path);
}

// ---- Clock ----

void SystemState::SetClockMode(ClockMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_mode_ = mode;
  const auto now = std::chrono::steady_clock::now();
  for (auto& stream : streams_) stream->next_due = now + PeriodDuration(*stream);
  if (mode == ClockMode::kRealTime) EnsureClockThread();
  clock_wake_.notify_all();
}

void SystemState::Tick(int periods) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clock_mode_ != ClockMode::kManual) return;
  for (int i = 0; i < periods; ++i) {
    for (auto& stream : streams_) {
      if (stream->started) TickStream(*stream);
    }
  }
}

void SystemState::EnsureClockThread() {
  if (!clock_thread_.joinable()) clock_thread_ = std::thread([this] { ClockLoop(); });
}

void SystemState::ClockLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!clock_quit_) {
    if (clock_mode_ != ClockMode::kRealTime) {
      clock_wake_.wait(lock);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    auto earliest = std::chrono::steady_clock::time_point::max();
    for (auto& stream : streams_) {
      if (!stream->started || stream->period <= 0) continue;
      const auto period = PeriodDuration(*stream);
      if (now - stream->next_due > period * kMaxCatchUpPeriods) stream->next_due = now;
      while (stream->next_due <= now) {
        TickStream(*stream);
        stream->next_due += period;
      }
      earliest = std::min(earliest, stream->next_due);
    }
    if (earliest == std::chrono::steady_clock::time_point::max()) {
      clock_wake_.wait(lock);
    } else {
      clock_wake_.wait_until(lock, earliest);
    }
  }
}

void SystemState::TickStream(StreamState& stream) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (stream.flow == eCapture) {
    if (device != nullptr && device->stalled) return;
    if (device != nullptr) ProduceCapturePacket(stream, *device);
  } else {
    if (stream.padding < stream.period_frames) {
      if (device != nullptr) ++device->underruns;
      stream.padding = 0;
    } else {
      stream.padding -= stream.period_frames;
    }
  }
  if (stream.event != nullptr) SetEvent(stream.event);
}

double SystemState::SourceValue(const StreamState& stream, uint64_t frame) const {
  const CaptureSource& source = stream.source;
  switch (source.kind) {
    case CaptureSource::Kind::kSilence:
      return 0.0;
    case CaptureSource::Kind::kSine:
    case CaptureSource::Kind::kSilentFlagged: {
      // Reduced to one cycle first so that the phase stays exact after hours of streaming.
      const double t = static_cast<double>(frame) / stream.format.rate;
      return source.amplitude * std::sin(kTwoPi * std::fmod(source.frequency_hz * t, 1.0));
    }
    case CaptureSource::Kind::kImpulse:
      return source.period_frames != 0 && frame % source.period_frames == 0 ? source.amplitude
                                                                            : 0.0;
    case CaptureSource::Kind::kWav:
      return stream.wav_samples.empty() ? 0.0
                                        : stream.wav_samples[frame % stream.wav_samples.size()];
  }
  return 0.0;
}

void SystemState::ProduceCapturePacket(StreamState& stream, DeviceRecord& device) {
  if (stream.packets.size() >= kMaxQueuedPackets) {
    ++device.overruns;
    stream.discontinuity = true;
    // The front packet may be in the reader's hands; then the new one is the one lost.
    if (stream.capture_held) {
      stream.source_frame += stream.period_frames;
      return;
    }
    stream.packets.pop_front();
  }
  const Format& format = stream.format;
  const uint32_t block = format.BlockAlign();
  const uint32_t sample_bytes = format.container_bits / 8u;
  CapturePacket packet;
  packet.frames = stream.period_frames;
  packet.position = stream.source_frame;
  packet.data.resize(static_cast<size_t>(packet.frames) * block);
  for (uint32_t frame = 0; frame < packet.frames; ++frame) {
    uint8_t* out = packet.data.data() + static_cast<size_t>(frame) * block;
    EncodeSample(SourceValue(stream, stream.source_frame + frame), format, out);
    for (uint32_t channel = 1; channel < format.channels; ++channel) {
      EncodeSample(stream.source.other_channels, format, out + channel * sample_bytes);
    }
  }
  stream.source_frame += packet.frames;
  if (stream.source.kind == CaptureSource::Kind::kSilentFlagged) {
    packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
  }
  if (stream.discontinuity) {
    packet.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    stream.discontinuity = false;
  }
  stream.packets.push_back(std::move(packet));
}

// ---- Audit ----

void SystemState::ObjectCreated(ObjectKind kind) {
  ++objects_[static_cast<int>(kind)];
  ++references_;
}

void SystemState::ObjectDestroyed(ObjectKind kind) { --objects_[static_cast<int>(kind)]; }

Audit SystemState::TakeAudit() {
  Audit audit;
  for (int kind = 0; kind < kObjectKinds; ++kind) {
    const int live = objects_[kind].load();
    audit.objects[ObjectKindName(static_cast<ObjectKind>(kind))] = live;
    audit.total_objects += live;
  }
  audit.references = references_.load();
  audit.event_handles = OpenEventHandles();
  audit.co_task_mem = LiveCoTaskMemBlocks();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& stream : streams_) {
    if (stream->started) ++audit.started_streams;
  }
  return audit;
}

}  // namespace virtual_audio
