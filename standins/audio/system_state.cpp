#include "standins/audio/system_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>

#include "platform/thread_name.h"
#include "standins/audio/resource_counts.h"
#include "standins/audio/sample_format.h"

namespace virtual_audio {

namespace {

// An exclusive capture stream has the hardware's buffer: the packet being filled and one more.
constexpr size_t kExclusiveCapturePackets = 2;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kMaxClockPpm = 1000.0;
constexpr REFERENCE_TIME kUnitsPerMs = 10000;
// A real-time clock that fell this many periods behind (a debugger stop, a loaded machine)
// starts afresh instead of firing a burst of catch-up periods.
constexpr int kMaxCatchUpPeriods = 4;
constexpr REFERENCE_TIME kFallbackPeriod = 100000;  // 10 ms, 100 ns units
constexpr REFERENCE_TIME kMaxLateWake = 100000000;  // 10 s, 100 ns units
constexpr REFERENCE_TIME kMaxJitter = 100000000;    // 10 s, 100 ns units
constexpr uint32_t kMaxInitializeDelayMs = 10000;
// While anything is due, the clock sleeps in short precise steps rather than in a condition
// variable's timed wait: under Wine that lands 1-7 ms late (it waits in whole milliseconds through
// the server), more than a 128-frame period, and a device's interrupt is not that late. A step
// also bounds how long a new stream waits for its first period.
constexpr REFERENCE_TIME kLongestSleep = 10000;  // 1 ms, 100 ns units
// A precise sleep ends within 0.4 ms here (99th percentile); later than this, the host held the
// clock thread up.
constexpr REFERENCE_TIME kHostStall = 10000;  // 1 ms, 100 ns units
constexpr uint32_t kReservedRecordingSeconds = 120;
constexpr uint64_t kShortestPeriodFrames = 32;
constexpr unsigned kMostWatchedProcessors = 64;
constexpr uint32_t kSleepsBetweenWatchLooks = 100;

uint32_t DurationFrames(REFERENCE_TIME duration, uint32_t rate) {
  if (duration <= 0) return 0;
  return static_cast<uint32_t>(std::llround(static_cast<double>(duration) * rate / 1e7));
}

// splitmix64: small, and the same on every compiler, so a seed repeats a run everywhere.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Streaming calls happen every few milliseconds for as long as a stream runs: they are counted
// but kept out of the log.
bool IsStreamingCall(const char* method) {
  for (const char* streaming :
       {"IAudioCaptureClient::GetNextPacketSize", "IAudioCaptureClient::GetBuffer",
        "IAudioCaptureClient::ReleaseBuffer", "IAudioRenderClient::GetBuffer",
        "IAudioRenderClient::ReleaseBuffer", "IAudioClient::GetCurrentPadding",
        "IAudioClock::GetPosition"}) {
    if (std::strcmp(method, streaming) == 0) return true;
  }
  return false;
}

// Returns how much later than asked it woke, 100 ns units.
REFERENCE_TIME SleepPrecisely(REFERENCE_TIME units) {
  const auto aimed = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
#ifdef _WIN32
  // NtDelayExecution takes 100 ns units where Sleep takes whole milliseconds.
  using DelayExecution = LONG(WINAPI*)(BOOLEAN, PLARGE_INTEGER);
  static const auto delay = reinterpret_cast<DelayExecution>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
  if (delay != nullptr) {
    LARGE_INTEGER relative;
    relative.QuadPart = -units;
    delay(FALSE, &relative);
  } else {
    std::this_thread::sleep_until(aimed);
  }
#else
  std::this_thread::sleep_until(aimed);
#endif
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              aimed)
             .count() /
         100;
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
    case ObjectKind::kAudioClock:
      return "IAudioClock";
  }
  return "?";
}

SystemState::SystemState() {
  LARGE_INTEGER count, frequency;
  if (QueryPerformanceCounter(&count) && QueryPerformanceFrequency(&frequency) &&
      frequency.QuadPart > 0) {
    const LONGLONG hz = frequency.QuadPart;
    const REFERENCE_TIME now =
        (count.QuadPart / hz) * 10000000 + (count.QuadPart % hz) * 10000000 / hz;
    qpc_at_creation_ = now - ClockNow();
  }
}

SystemState::~SystemState() {
  notifications_->Close();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_quit_ = true;
  }
  clock_wake_.notify_all();
  if (clock_thread_.joinable()) clock_thread_.join();
  for (std::thread& watch : watch_threads_) watch.join();
}

// ---- Devices ----

void SystemState::AddDevice(const DeviceConfig& config) {
  DeviceRecord* device = FindDevice(config.id);
  const bool is_new = device == nullptr;
  const DWORD old_state = is_new ? 0 : StateOf(*device);
  if (is_new) {
    devices_.push_back(std::make_unique<DeviceRecord>());
    device = devices_.back().get();
    device->pending_arrival =
        config.arrive_at_ms >= 0 && config.arrive_at_ms * kUnitsPerMs > ClockNow();
  }
  device->config = config;
  double& ppm = device->config.clock_ppm;
  if (std::isnan(ppm)) {
    std::cerr << "virtual_audio: clock-ppm is not a number, taken as 0" << std::endl;
    ppm = 0.0;
  } else if (std::fabs(ppm) > kMaxClockPpm) {
    std::cerr << "virtual_audio: clock-ppm " << ppm << " out of range, held at "
              << (ppm > 0 ? kMaxClockPpm : -kMaxClockPpm) << std::endl;
    ppm = ppm > 0 ? kMaxClockPpm : -kMaxClockPpm;
  }
  LateWakes& wakes = device->config.late_wakes;
  std::vector<REFERENCE_TIME*> lateness = {&wakes.max_late};
  for (LateWakes::Scripted& scripted : wakes.scripted) lateness.push_back(&scripted.late);
  for (REFERENCE_TIME* late : lateness) {
    if (*late < 0 || *late > kMaxLateWake) {
      std::cerr << "virtual_audio: late wake " << *late << " out of range, held at 0..10 s"
                << std::endl;
      *late = std::min(std::max<REFERENCE_TIME>(*late, 0), kMaxLateWake);
    }
  }
  device->late_wake_random = wakes.seed;
  TimeJitter& jitter = device->config.time_jitter;
  if (jitter.max < 0 || jitter.max > kMaxJitter) {
    std::cerr << "virtual_audio: time jitter " << jitter.max << " out of range, held at 0..10 s"
              << std::endl;
    jitter.max = std::min(std::max<REFERENCE_TIME>(jitter.max, 0), kMaxJitter);
  }
  device->jitter_random = jitter.seed;
  uint32_t& delay = device->config.initialize_delay_ms;
  if (delay > kMaxInitializeDelayMs) {
    std::cerr << "virtual_audio: initialize delay " << delay << " ms out of range, held at "
              << kMaxInitializeDelayMs << std::endl;
    delay = kMaxInitializeDelayMs;
  }
  if (is_new && !device->pending_arrival) {
    Notify(EndpointNotification::Kind::kAdded, *device);
  } else if (!is_new && StateOf(*device) != old_state) {
    Notify(EndpointNotification::Kind::kStateChanged, *device);
  }
  NotifyDefaultChanges();
  // Timed events need the real-time clock running even before any stream starts.
  const bool timed =
      config.removal.at_ms >= 0 || config.arrive_at_ms >= 0 || config.default_at_ms >= 0;
  if (timed && clock_mode_ == ClockMode::kRealTime) {
    EnsureClockThread();
    clock_wake_.notify_all();
  }
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
    if (device->pending_arrival || (flow != eAll && config.flow != flow)) continue;
    if ((StateOf(*device) & state_mask) != 0) ids.push_back(config.id);
  }
  return ids;
}

DWORD SystemState::StateOf(const DeviceRecord& device) {
  return device.removed         ? DEVICE_STATE_NOTPRESENT
         : device.config.active ? DEVICE_STATE_ACTIVE
                                : DEVICE_STATE_DISABLED;
}

bool SystemState::DefaultDevice(EDataFlow flow, std::wstring* id) const {
  const std::wstring& chosen = flow == eRender ? default_render_ : default_capture_;
  const DeviceRecord* first = nullptr;
  for (const auto& device : devices_) {
    if (device->config.flow != flow || StateOf(*device) != DEVICE_STATE_ACTIVE ||
        device->pending_arrival) {
      continue;
    }
    if (device->config.id == chosen) {
      *id = chosen;
      return true;
    }
    if (first == nullptr) first = device.get();
  }
  if (first == nullptr) return false;
  *id = first->config.id;
  return true;
}

bool SystemState::RemoveDevice(DeviceRecord& device, REFERENCE_TIME now) {
  if (device.removed || device.pending_arrival) return false;
  device.removed = true;
  ++device.incarnation;
  const int64_t back = device.config.removal.return_after_ms;
  device.return_due = back >= 0 ? now + back * kUnitsPerMs : kNever;
  if (device.return_due != kNever && clock_mode_ == ClockMode::kRealTime) {
    EnsureClockThread();
    clock_wake_.notify_all();
  }
  Notify(EndpointNotification::Kind::kStateChanged, device);
  NotifyDefaultChanges();
  return true;
}

void SystemState::ReturnDevice(DeviceRecord& device) {
  const bool was_removed = device.removed;
  device.removed = false;
  device.return_due = kNever;
  if (!was_removed) return;
  Notify(EndpointNotification::Kind::kStateChanged, device);
  NotifyDefaultChanges();
}

bool SystemState::Invalidated(const std::wstring& id, uint64_t incarnation) {
  const DeviceRecord* device = FindDevice(id);
  return device != nullptr && (device->removed || device->incarnation != incarnation);
}

void SystemState::SetDefaultDevice(EDataFlow flow, const std::wstring& id) {
  (flow == eRender ? default_render_ : default_capture_) = id;
  NotifyDefaultChanges();
}

void SystemState::Notify(EndpointNotification::Kind kind, const DeviceRecord& device) {
  EndpointNotification notification;
  notification.kind = kind;
  notification.device_id = device.config.id;
  notification.state = StateOf(device);
  notifications_->Enqueue(notification);
}

void SystemState::NotifyDefaultChanges() {
  for (const EDataFlow flow : {eRender, eCapture}) {
    std::wstring id;
    const bool any = DefaultDevice(flow, &id);
    if (id == told_default_[flow]) continue;
    told_default_[flow] = id;
    EndpointNotification notification;
    notification.kind = EndpointNotification::Kind::kDefaultChanged;
    notification.device_id = id;
    notification.no_device = !any;
    notification.flow = flow;
    // Windows tells each role apart, even when one device serves them all.
    for (const ERole role : {eConsole, eMultimedia, eCommunications}) {
      notification.role = role;
      notifications_->Enqueue(notification);
    }
  }
}

void SystemState::Reset() {
  notifications_->Clear();
  devices_.clear();
  default_render_.clear();
  default_capture_.clear();
  failures_.clear();
  calls_.clear();
  keep_calls_ = true;
  counters_.clear();
  NotifyDefaultChanges();
}

// ---- Calls ----

bool SystemState::CountCall(const char* method, const std::wstring& device, HRESULT* hr) {
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

bool SystemState::Logs(const char* method) const { return keep_calls_ && !IsStreamingCall(method); }

void SystemState::LogCall(const CallRecord& record) { calls_.push_back(record); }

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

void SystemState::SetCallLog(bool keep) { keep_calls_ = keep; }

void SystemState::ClearCalls() {
  calls_.clear();
  counters_.clear();
}

// ---- Streams ----

void SystemState::AddStream(const std::shared_ptr<StreamState>& stream) {
  streams_.push_back(stream);
}

void SystemState::RemoveStream(const StreamState* stream) {
  const bool held = stream->engine_period_hold != 0;
  const std::wstring device = stream->device_id;
  streams_.erase(
      std::remove_if(streams_.begin(), streams_.end(),
                     [&](const std::shared_ptr<StreamState>& s) { return s.get() == stream; }),
      streams_.end());
  if (held) ApplyEnginePeriod(device);
}

int SystemState::LiveStreams(const std::wstring& device, bool exclusive_only) {
  int count = 0;
  for (const auto& stream : streams_) {
    if (stream->device_id != device || (exclusive_only && !stream->exclusive)) continue;
    if (!Invalidated(device, stream->incarnation)) ++count;
  }
  return count;
}

void SystemState::StartStream(StreamState* stream) {
  stream->started = true;
  stream->clock_anchor = ClockNow();
  stream->clock_periods = 0;
  stream->periods_since_start = 0;
  stream->last_period_end = stream->clock_anchor;
  stream->playing_frames = 0;
  stream->late_signals.clear();
  if (stream->flow == eRender) NoteWakeOffset(*stream);
  if (clock_mode_ == ClockMode::kRealTime) {
    EnsureClockThread();
    clock_wake_.notify_all();
  }
}

void SystemState::NoteWakeOffset(const StreamState& render) {
  DeviceRecord* device = FindDevice(render.device_id);
  if (device == nullptr || !device->recording_started) return;
  const StreamState* capture = nullptr;
  for (const auto& stream : streams_) {
    if (stream->flow != eCapture || !Playing(*stream)) continue;
    if (capture == nullptr || stream->clock_anchor > capture->clock_anchor) capture = stream.get();
  }
  if (capture == nullptr) return;
  const double length = ScaledPeriod(*capture);
  const double since =
      std::fmod(static_cast<double>(render.clock_anchor - capture->clock_anchor), length);
  device->recording.wake_offsets.push_back(
      {device->recording.FrameCount(), static_cast<REFERENCE_TIME>(std::llround(since))});
}

void SystemState::StopStream(StreamState* stream) {
  stream->started = false;
  stream->late_signals.clear();
}

void SystemState::BeginRecording(const StreamState& stream) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (device == nullptr) return;
  if (!device->recording_started || device->recording.format != stream.format) {
    device->recording = RenderedAudio{};
    device->recording.format = stream.format;
    device->recording_started = true;
    // Growing a recording of seconds copies megabytes under the lock that the clock thread
    // needs: reserved up front (untouched pages cost nothing), the clock is never held up by it.
    const uint64_t frames =
        std::min<uint64_t>(device->config.no_recording ? 0 : device->config.record_frames_limit,
                           uint64_t{stream.format.rate} * kReservedRecordingSeconds);
    device->recording.bytes.reserve(static_cast<size_t>(frames) * stream.format.BlockAlign());
    device->recording.buffers.reserve(static_cast<size_t>(frames / kShortestPeriodFrames));
  }
  device->recording.exclusive = stream.exclusive;
}

void SystemState::RecordRender(const StreamState& stream, const uint8_t* data, uint32_t frames,
                               DWORD flags, bool underrun) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (device == nullptr || !device->recording_started ||
      device->recording.format != stream.format) {
    return;
  }
  RenderedAudio& recording = device->recording;
  if (underrun) recording.underrun_frames += frames;
  const DeviceConfig& config = device->config;
  const uint64_t limit = config.no_recording ? 0 : config.record_frames_limit;
  const uint64_t kept = recording.FrameCount();
  const uint32_t keep =
      static_cast<uint32_t>(std::min<uint64_t>(frames, kept >= limit ? 0 : limit - kept));
  recording.unrecorded_frames += frames - keep;
  if (keep == 0) return;
  RenderedBuffer buffer;
  buffer.frames = keep;
  buffer.flags = flags;
  buffer.byte_offset = recording.bytes.size();
  buffer.underrun = underrun;
  recording.buffers.push_back(buffer);
  const size_t bytes = static_cast<size_t>(keep) * stream.format.BlockAlign();
  if (data == nullptr) {
    recording.bytes.resize(recording.bytes.size() + bytes, 0);
  } else {
    recording.bytes.insert(recording.bytes.end(), data, data + bytes);
  }
}

void SystemState::SaveRecording(const std::wstring& id) {
  DeviceRecord* device = FindDevice(id);
  if (device == nullptr || !device->recording_started) return;
  if (device->config.output_wav_path.empty()) return;
  device->recording.WriteWav(device->config.output_wav_path);
  device->recording.WriteHostStalls(device->config.output_wav_path + ".stalls");
  device->recording.WriteWakeOffsets(device->config.output_wav_path + ".wakes");
}

// ---- Engine periods ----

uint32_t SystemState::DefaultEnginePeriod(const DeviceConfig& config) {
  const REFERENCE_TIME period = config.default_period > 0 ? config.default_period : kFallbackPeriod;
  return std::max<uint32_t>(1, DurationFrames(period, config.mix_format.rate));
}

uint32_t SystemState::EnginePeriod(const DeviceRecord& device) {
  const DeviceConfig& config = device.config;
  for (const auto& stream : streams_) {
    if (stream->device_id == config.id && stream->engine_period_hold != 0 &&
        !Invalidated(config.id, stream->incarnation)) {
      return stream->engine_period_hold;
    }
  }
  if (config.engine_period_held_frames != 0) return config.engine_period_held_frames;
  return DefaultEnginePeriod(config);
}

void SystemState::ApplyEnginePeriod(const std::wstring& id) {
  DeviceRecord* device = FindDevice(id);
  if (device == nullptr) return;
  const uint32_t frames = EnginePeriod(*device);
  for (auto& stream : streams_) {
    if (stream->device_id != id || stream->exclusive || stream->period_frames == frames) continue;
    if (!Invalidated(id, stream->incarnation)) SetStreamPeriod(*stream, frames);
  }
}

void SystemState::SetStreamPeriod(StreamState& stream, uint32_t frames) {
  if (stream.started) {
    stream.clock_anchor = PeriodEnd(stream, stream.clock_periods);
    stream.clock_periods = 0;
  }
  const DeviceRecord* device = FindDevice(stream.device_id);
  stream.period_frames = frames;
  if (device != nullptr && device->config.default_period > 0 &&
      frames == DefaultEnginePeriod(device->config)) {
    // The default period keeps its exact length even where it is no whole number of frames.
    stream.period_length = static_cast<double>(device->config.default_period);
  } else {
    stream.period_length = static_cast<double>(frames) * 1e7 / stream.format.rate;
  }
  stream.period = std::llround(stream.period_length);
}

// ---- Positions ----

uint64_t SystemState::DevicePosition(const StreamState& stream) {
  const bool render = stream.flow == eRender;
  const uint64_t frames =
      stream.device_frames - (render ? stream.playing_frames : 0) - stream.uncounted_frames;
  if (!Playing(stream) || stream.period_frames == 0 || stream.stepped_position) return frames;
  // The first pass heard after the Start is the one a late-starting device does not count.
  if (stream.late_start && stream.periods_since_start == 1) return frames;
  const DeviceRecord* device = FindDevice(stream.device_id);
  if (device != nullptr && device->stalled && stream.flow == eCapture) return frames;
  const double elapsed = static_cast<double>(ClockNow() - stream.last_period_end);
  if (elapsed <= 0) return frames;
  // The clock thread may not have played a period that is due: the position waits for it.
  const double fraction = std::min(1.0, elapsed / ScaledPeriod(stream));
  return frames +
         static_cast<uint64_t>(fraction * (render ? stream.playing_frames : stream.period_frames));
}

REFERENCE_TIME SystemState::QpcTime(REFERENCE_TIME clock_time) const {
  return clock_mode_ == ClockMode::kManual ? clock_time : qpc_at_creation_ + clock_time;
}

REFERENCE_TIME SystemState::PacketQpc(const CapturePacket& packet) const {
  const REFERENCE_TIME qpc = QpcTime(packet.time);
  return packet.jittered ? std::max<REFERENCE_TIME>(1, qpc + packet.jitter) : qpc;
}

REFERENCE_TIME SystemState::ReadingQpc(const StreamState& stream) {
  const REFERENCE_TIME qpc = QpcTime(ClockNow());
  DeviceRecord* device = FindDevice(stream.device_id);
  if (device == nullptr || device->config.time_jitter.max == 0) return qpc;
  return std::max<REFERENCE_TIME>(0, qpc + Jitter(*device));
}

REFERENCE_TIME SystemState::Jitter(DeviceRecord& device) {
  const REFERENCE_TIME max = device.config.time_jitter.max;
  const uint64_t span = static_cast<uint64_t>(2 * max + 1);
  return static_cast<REFERENCE_TIME>(NextRandom(&device.jitter_random) % span) - max;
}

std::chrono::milliseconds SystemState::TakeOpenTime(const std::wstring& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const DeviceRecord* device = FindDevice(id);
  const uint32_t delay = device == nullptr ? 0 : device->config.initialize_delay_ms;
  if (delay == 0 || clock_mode_ == ClockMode::kRealTime) return std::chrono::milliseconds(delay);
  // Safe from any thread, the engine's included: the caller holds none of our locks, and
  // playing the periods only signals events and queues notifications (which wait for
  // DeliverNotifications), so nothing here waits for another thread.
  AdvanceManualClock(delay * kUnitsPerMs);
  return std::chrono::milliseconds(0);
}

// ---- Clock ----

REFERENCE_TIME SystemState::ClockNow() const {
  if (clock_mode_ == ClockMode::kManual) return manual_time_;
  const auto elapsed = std::chrono::steady_clock::now() - created_;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void SystemState::SetClockMode(ClockMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_mode_ = mode;
  notifications_->SetAutomatic(mode == ClockMode::kRealTime);
  const REFERENCE_TIME now = ClockNow();
  for (auto& stream : streams_) {
    stream->clock_anchor = now;
    stream->clock_periods = 0;
  }
  if (mode == ClockMode::kRealTime) EnsureClockThread();
  clock_wake_.notify_all();
}

void SystemState::Tick(int periods) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clock_mode_ != ClockMode::kManual) return;
  ApplyDeviceEvents(manual_time_);
  for (int i = 0; i < periods; ++i) {
    for (auto& stream : streams_) {
      if (Playing(*stream)) PlayPeriod(*stream, manual_time_);
    }
  }
}

REFERENCE_TIME SystemState::StepClock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clock_mode_ != ClockMode::kManual) return -1;
  const REFERENCE_TIME next = std::min(NextPeriodEnd(), NextLateSignal());
  if (next == kNever) return -1;
  RunClockUntil(next);
  manual_time_ = next;
  return next;
}

void SystemState::AdvanceClock(REFERENCE_TIME duration) {
  std::lock_guard<std::mutex> lock(mutex_);
  AdvanceManualClock(duration);
}

void SystemState::AdvanceManualClock(REFERENCE_TIME duration) {
  if (clock_mode_ != ClockMode::kManual || duration < 0) return;
  const REFERENCE_TIME end = manual_time_ + duration;
  RunClockUntil(end);
  manual_time_ = end;
}

bool SystemState::Playing(const StreamState& stream) {
  return stream.started && stream.period > 0 && !Invalidated(stream.device_id, stream.incarnation);
}

double SystemState::ScaledPeriod(const StreamState& stream) const {
  const double length =
      stream.period_length > 0 ? stream.period_length : static_cast<double>(stream.period);
  return length * 1e6 / (1e6 + stream.clock_ppm);
}

REFERENCE_TIME SystemState::PeriodEnd(const StreamState& stream, uint64_t period) const {
  // From the anchor rather than by adding rounded lengths, so that hours of periods do not drift.
  return stream.clock_anchor + std::llround(static_cast<double>(period) * ScaledPeriod(stream));
}

REFERENCE_TIME SystemState::NextPeriodEnd() {
  REFERENCE_TIME earliest = kNever;
  for (const auto& stream : streams_) {
    if (Playing(*stream)) {
      earliest = std::min(earliest, PeriodEnd(*stream, stream->clock_periods + 1));
    }
  }
  return earliest;
}

REFERENCE_TIME SystemState::NextLateSignal() {
  REFERENCE_TIME earliest = kNever;
  for (const auto& stream : streams_) {
    if (!Playing(*stream)) continue;
    for (const REFERENCE_TIME due : stream->late_signals) earliest = std::min(earliest, due);
  }
  return earliest;
}

void SystemState::DeliverLateSignals(REFERENCE_TIME until) {
  for (auto& stream : streams_) {
    if (!Playing(*stream)) continue;
    std::vector<REFERENCE_TIME>& due = stream->late_signals;
    const auto kept =
        std::remove_if(due.begin(), due.end(), [&](REFERENCE_TIME when) { return when <= until; });
    if (kept != due.end() && stream->event != nullptr) SetEvent(stream->event);
    due.erase(kept, due.end());
  }
}

void SystemState::SignalPeriod(StreamState& stream, DeviceRecord* device, REFERENCE_TIME now) {
  ++stream.periods_since_start;
  REFERENCE_TIME late = 0;
  if (device != nullptr) {
    LateWakes& wakes = device->config.late_wakes;
    const auto scripted = std::find_if(
        wakes.scripted.begin(), wakes.scripted.end(),
        [&](const LateWakes::Scripted& s) { return s.period == stream.periods_since_start; });
    if (scripted != wakes.scripted.end()) {
      late = scripted->late;
    } else if (wakes.max_late > 0) {
      late = static_cast<REFERENCE_TIME>(NextRandom(&device->late_wake_random) %
                                         static_cast<uint64_t>(wakes.max_late + 1));
    }
    if (late > 0) {
      ++device->late_wakes.late_signals;
      device->late_wakes.largest = std::max(device->late_wakes.largest, late);
    }
  }
  if (stream.event == nullptr) return;
  if (late > 0) {
    stream.late_signals.push_back(now + late);
  } else {
    SetEvent(stream.event);
  }
}

REFERENCE_TIME SystemState::NextDeviceEvent(DeviceRecord** device, DeviceEvent* kind) {
  REFERENCE_TIME earliest = kNever;
  // At the same instant: devices in enumeration order, and for one device in the order below
  // (so a device arrives before it becomes the default).
  const auto consider = [&](DeviceRecord& record, REFERENCE_TIME when, DeviceEvent event) {
    if (when >= earliest) return;
    earliest = when;
    if (device != nullptr) *device = &record;
    if (kind != nullptr) *kind = event;
  };
  for (auto& record : devices_) {
    const DeviceConfig& config = record->config;
    if (record->pending_arrival) {
      consider(*record, config.arrive_at_ms * kUnitsPerMs, DeviceEvent::kArrival);
    } else {
      if (record->removed) consider(*record, record->return_due, DeviceEvent::kReturn);
      if (config.removal.at_ms >= 0 && !record->timed_removal_done) {
        consider(*record, config.removal.at_ms * kUnitsPerMs, DeviceEvent::kRemoval);
      }
    }
    if (config.default_at_ms >= 0 && !record->timed_default_done) {
      consider(*record, config.default_at_ms * kUnitsPerMs, DeviceEvent::kDefault);
    }
  }
  return earliest;
}

void SystemState::ApplyDeviceEvents(REFERENCE_TIME now) {
  // One event at a time in time order: a device may leave and come back within `now`.
  for (;;) {
    DeviceRecord* next = nullptr;
    DeviceEvent kind = DeviceEvent::kArrival;
    const REFERENCE_TIME when = NextDeviceEvent(&next, &kind);
    if (next == nullptr || when > now) return;
    switch (kind) {
      case DeviceEvent::kArrival:
        next->pending_arrival = false;
        Notify(EndpointNotification::Kind::kAdded, *next);
        NotifyDefaultChanges();
        break;
      case DeviceEvent::kReturn:
        ReturnDevice(*next);
        break;
      case DeviceEvent::kRemoval:
        next->timed_removal_done = true;
        RemoveDevice(*next, when);
        break;
      case DeviceEvent::kDefault:
        next->timed_default_done = true;
        SetDefaultDevice(next->config.flow, next->config.id);
        break;
    }
  }
}

void SystemState::RunClockUntil(REFERENCE_TIME until) {
  for (;;) {
    const REFERENCE_TIME period_end = NextPeriodEnd();
    const REFERENCE_TIME event = NextDeviceEvent();
    const REFERENCE_TIME signal = NextLateSignal();
    // A device event at the same instant as a period end comes first.
    if (event <= until && event <= period_end && event <= signal) {
      if (clock_mode_ == ClockMode::kManual) manual_time_ = std::max(manual_time_, event);
      ApplyDeviceEvents(event);
      continue;
    }
    if (signal <= until && signal < period_end) {
      if (clock_mode_ == ClockMode::kManual) manual_time_ = std::max(manual_time_, signal);
      DeliverLateSignals(signal);
      continue;
    }
    if (period_end > until) return;
    if (clock_mode_ == ClockMode::kManual) manual_time_ = period_end;
    for (auto& stream : streams_) {
      if (!Playing(*stream) || PeriodEnd(*stream, stream->clock_periods + 1) != period_end) {
        continue;
      }
      ++stream->clock_periods;
      PlayPeriod(*stream, period_end);
    }
  }
}

void SystemState::PlayPeriod(StreamState& stream, REFERENCE_TIME now) {
  DeviceRecord* device = FindDevice(stream.device_id);
  const bool played = TickStream(stream, now);
  if (device == nullptr || !played) return;
  ++device->periods_played;
  const int64_t limit = device->config.removal.after_periods;
  if (limit >= 0 && !device->period_removal_done && device->periods_played >= limit) {
    device->period_removal_done = true;
    RemoveDevice(*device, now);
  }
}

void SystemState::NoteHostStall(REFERENCE_TIME late) {
  if (late < kHostStall) return;
  for (auto& device : devices_) {
    if (!device->recording_started) continue;
    device->recording.host_stalls.push_back({device->recording.FrameCount(), late});
  }
}

void SystemState::EnsureClockThread() {
  if (clock_thread_.joinable()) return;
  clock_thread_ = std::thread([this] {
    // The name lets a test harness give the device's clock a device's priority.
    platform::NameCurrentThread(L"vaudio clock");
    ClockLoop();
  });
#ifdef _WIN32
  // The engine's thread may run on a processor that the clock's thread is not on.
  const unsigned processors = std::min(std::thread::hardware_concurrency(), kMostWatchedProcessors);
  for (unsigned processor = 0; processor < processors; ++processor) {
    watch_threads_.emplace_back([this, processor] {
      SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << processor);
      platform::NameCurrentThread(L"vaudio watch");
      WatchLoop();
    });
  }
#endif
}

void SystemState::WatchLoop() {
  for (uint32_t sleeps = 0;; ++sleeps) {
    REFERENCE_TIME late = 0;
    // The lock only now and then, so that the watchers never hold up the clock.
    if (sleeps % kSleepsBetweenWatchLooks != 0) {
      late = SleepPrecisely(kLongestSleep);
      if (late < kHostStall) continue;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (clock_mode_ == ClockMode::kRealTime) NoteHostStall(late);
    // With nothing playing on the real-time clock, a stall harms no recording.
    clock_wake_.wait(lock, [this] {
      return clock_quit_ || (clock_mode_ == ClockMode::kRealTime && NextPeriodEnd() != kNever);
    });
    if (clock_quit_) return;
  }
}

void SystemState::ClockLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!clock_quit_) {
    if (clock_mode_ != ClockMode::kRealTime) {
      clock_wake_.wait(lock);
      continue;
    }
    const REFERENCE_TIME now = ClockNow();
    for (auto& stream : streams_) {
      if (!Playing(*stream)) continue;
      const REFERENCE_TIME length = PeriodEnd(*stream, 1) - stream->clock_anchor;
      if (now - PeriodEnd(*stream, stream->clock_periods + 1) > length * kMaxCatchUpPeriods) {
        // Afresh: the next period ends now.
        stream->clock_anchor = now - length;
        stream->clock_periods = 0;
      }
    }
    RunClockUntil(now);
    // Signalling a period's event is a call into the host (the wineserver, under Wine): a clock
    // held up there is as late as one that overslept, and nothing else would note it.
    NoteHostStall(ClockNow() - now);
    const REFERENCE_TIME next =
        std::min(std::min(NextPeriodEnd(), NextDeviceEvent()), NextLateSignal());
    if (next == kNever) {
      clock_wake_.wait(lock);
      continue;
    }
    const REFERENCE_TIME awake = ClockNow();
    const REFERENCE_TIME left = std::min(next - awake, kLongestSleep);
    if (left > 0) {
      lock.unlock();
      SleepPrecisely(left);
      lock.lock();
      // Measured once the lock is back: a device clock held up waiting for it is late too.
      NoteHostStall(ClockNow() - (awake + left));
    }
  }
}

bool SystemState::TickStream(StreamState& stream, REFERENCE_TIME now) {
  DeviceRecord* device = FindDevice(stream.device_id);
  if (stream.flow == eCapture) {
    if (device != nullptr && device->stalled) return false;
    if (device != nullptr) ProduceCapturePacket(stream, *device);
  } else if (stream.padding < stream.period_frames) {
    // The device plays what there is, then silence for the rest of the period.
    const uint32_t missing = stream.period_frames - stream.padding;
    if (device != nullptr) {
      ++device->underruns;
      device->underrun_frames += missing;
    }
    RecordRender(stream, nullptr, missing, 0, /*underrun=*/true);
    stream.padding = 0;
  } else {
    stream.padding -= stream.period_frames;
  }
  if (stream.late_start && stream.periods_since_start == 1) {
    stream.uncounted_frames += stream.playing_frames;
  }
  stream.device_frames += stream.period_frames;
  stream.playing_frames = stream.period_frames;
  stream.last_period_end = now;
  SignalPeriod(stream, device, now);
  return true;
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
  // A shared stream's queue is its buffer; an exclusive one has the hardware's two periods.
  const size_t capacity = stream.exclusive
                              ? kExclusiveCapturePackets
                              : std::max<size_t>(1, stream.internal_frames / stream.period_frames);
  if (stream.packets.size() >= capacity) {
    ++device.overruns;
    // The front packet may be in the reader's hands; then the new one is the one lost, and the
    // packet after it follows the gap.
    if (stream.capture_held) {
      stream.source_frame += stream.period_frames;
      stream.discontinuity = true;
      return;
    }
    // Otherwise the oldest is lost and the reader's next packet follows the gap.
    stream.packets.pop_front();
    if (stream.packets.empty()) {
      stream.discontinuity = true;
    } else {
      stream.packets.front().flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    }
  }
  const Format& format = stream.format;
  const uint32_t block = format.BlockAlign();
  const uint32_t sample_bytes = format.container_bits / 8u;
  CapturePacket packet;
  packet.frames = stream.period_frames;
  packet.position = stream.source_frame;
  packet.time = stream.last_period_end;
  if (device.config.time_jitter.max > 0) {
    packet.jittered = true;
    packet.jitter = Jitter(device);
  }
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
  audit.notification_misuse_log = notifications_->Misuse();
  audit.notification_misuse = static_cast<int>(audit.notification_misuse_log.size());
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& stream : streams_) {
    if (stream->started) ++audit.started_streams;
  }
  return audit;
}

}  // namespace virtual_audio
