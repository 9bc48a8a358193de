#include "guitar/monitor.h"

#include <exception>
#include <utility>

#include "channels/standard_method_codec.h"
#include "channels/stream_handler_functions.h"
#include "guitar/audio_loop.h"

namespace tonelark {

namespace {

constexpr char kMethodChannelName[] = "tonelark/guitar";
constexpr char kEventChannelName[] = "tonelark/guitar_pcm";

std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

Monitor& Monitor::Instance() {
  static Monitor monitor;
  return monitor;
}

Monitor::Monitor()
    : stop_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      ready_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      audio_thread_body_(AudioLoop),
      thread_starter_(StartThread) {
  // The producer then never grows the queue or the pool while it holds the hand-off lock.
  pcm_queue_.reserve(kMaxPcmChunks);
  pcm_pool_.reserve(kPcmPoolChunks);
}

Monitor::~Monitor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    StopAudioLocked();
  }
  stop_event_.Reset();
  ready_event_.Reset();
  // The channels are deleted with the fields and not unregistered: Detach has normally run, and
  // at process exit the messenger may already be gone.
}

bool Monitor::StartAudio(const StartOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  StopAudioLocked();
  ResetEvent(stop_event_.Get());
  ResetEvent(ready_event_.Get());
  started_ = false;
  device_name_.clear();
  start_options_ = options;
  glitches_.Reset();
  status_.Reset();
  // Each start begins from the base cushion, whatever the last one learnt, and its PCM events
  // take the rate of the adapter it finds.
  monitoring_.Reset();
  pcm_sample_rate_ = 0;
  period_floor_ = 0;
  device_underrun_ = false;
  period_policy_ = PeriodPolicy();

  if (!LaunchAudioThread()) {
    sample_rate_ = 0;
    render_exclusive_ = false;
    return false;
  }

  // Only `started_` counts: a wait that timed out and a thread that reported failure end alike.
  WaitForSingleObject(ready_event_.Get(), kStartTimeoutMs);
  if (started_.load()) return true;

  SetEvent(stop_event_.Get());
  audio_thread_.join();
  // A thread that missed the deadline may still have finished its start-up before it saw the
  // stop request; what it wrote then describes streams that are closed again.
  started_ = false;
  sample_rate_ = 0;
  render_exclusive_ = false;
  status_.ClearStreams();
  // A start that failed after its pre-fill left guitar in the ring; the next start must not play
  // that stale audio.
  ResetRing();
  return false;
}

bool Monitor::LaunchAudioThread() {
  try {
    std::function<void(Monitor&)> body = audio_thread_body_;
    if (!body) body = AudioLoop;
    std::function<void()> run = [this, body] { body(*this); };
    audio_thread_ = thread_starter_ ? thread_starter_(std::move(run)) : StartThread(std::move(run));
  } catch (const std::exception&) {
    audio_thread_ = std::thread();
  }
  if (audio_thread_.joinable()) return true;
  LogFailure("audio thread start", E_FAIL);
  return false;
}

void Monitor::StopAudio() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopAudioLocked();
}

void Monitor::StopAudioLocked() {
  if (!audio_thread_.joinable()) return;
  SetEvent(stop_event_.Get());
  audio_thread_.join();
  speaker_ = true;
  ResetRing();
  status_.ClearStreams();
}

void Monitor::ResetRing() { monitoring_.Restart(); }

void Monitor::Attach(HWND hwnd, flutter::BinaryMessenger* messenger) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hwnd_ = hwnd;
    // The listener of earlier channels is not a listener of the new ones, which start with no
    // stream open; its sink may also point at a messenger that is gone.
    sink_.reset();
    method_channel_.reset();
    event_channel_.reset();
    if (messenger != nullptr) {
      const flutter::StandardMethodCodec& codec =
          flutter::StandardMethodCodec::ForSerializer(nullptr);
      method_channel_ =
          std::make_unique<flutter::MethodChannel<Value>>(messenger, kMethodChannelName, &codec);
      event_channel_ =
          std::make_unique<flutter::EventChannel<Value>>(messenger, kEventChannelName, &codec);
      method_channel_->SetMethodCallHandler(
          [this](const flutter::MethodCall<Value>& call,
                 std::unique_ptr<flutter::MethodResult<Value>> result) {
            HandleMethodCall(call, std::move(result));
          });
      event_channel_->SetStreamHandler(std::make_unique<flutter::StreamHandlerFunctions<Value>>(
          [this](const Value* arguments, std::unique_ptr<flutter::EventSink<Value>>&& events) {
            return OnListen(arguments, std::move(events));
          },
          [this](const Value* arguments) { return OnCancel(arguments); }));
    }
  }
  // A PCM-ready message posted to an earlier window dies with that window, and pcm_posted_ would
  // then block every later post. Chunks queued for that window had no listener on these new
  // channels, so they are dropped rather than delivered late. Taken after the control lock is
  // released: the two locks are never held together.
  std::lock_guard<std::mutex> pcm_lock(pcm_mutex_);
  for (std::vector<uint8_t>& chunk : pcm_queue_) pcm_pool_.push_back(std::move(chunk));
  pcm_queue_.clear();
  pcm_posted_ = false;
}

void Monitor::Detach() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    StopAudioLocked();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  hwnd_ = nullptr;
  sink_.reset();
  if (method_channel_) method_channel_->SetMethodCallHandler(nullptr);
  if (event_channel_) event_channel_->SetStreamHandler(nullptr);
  method_channel_.reset();
  event_channel_.reset();
}

}  // namespace tonelark
