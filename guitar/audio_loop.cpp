#include "guitar/audio_loop.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "guitar/device_selection.h"
#include "guitar/engine_log.h"
#include "guitar/open_streams.h"
#include "guitar/render_monitor.h"
#include "platform/audio_guids.h"
#include "platform/thread_name.h"

namespace tonelark {
namespace {

constexpr DWORD kPrefillDeadlineMs = 250;
constexpr DWORD kPrefillWaitMs = 15;
constexpr DWORD kLoopWaitMs = 200;
constexpr DWORD kMoveDrainWaitMs = 2;
constexpr DWORD kUnderrunWindowMs = 5000;
constexpr uint32_t kCaptureBlock = 512;  // capture samples converted at a time

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

// The first channel of `frames` frames as floats. kNone reads every frame as silence and does not
// touch `data`.
template <SampleLayout kLayout>
void ConvertFrames(const BYTE* data, uint32_t frames, size_t block_align, float* out) {
  for (uint32_t i = 0; i < frames; ++i) {
    if constexpr (kLayout == SampleLayout::kNone) {
      out[i] = 0.0f;
    } else {
      out[i] = ReadSample<kLayout>(data + i * block_align);
    }
  }
}

void ConvertFrames(SampleLayout layout, const BYTE* data, uint32_t frames, size_t block_align,
                   float* out) {
  switch (layout) {
    case SampleLayout::kFloat32:
      return ConvertFrames<SampleLayout::kFloat32>(data, frames, block_align, out);
    case SampleLayout::kInt16:
      return ConvertFrames<SampleLayout::kInt16>(data, frames, block_align, out);
    case SampleLayout::kInt24:
      return ConvertFrames<SampleLayout::kInt24>(data, frames, block_align, out);
    case SampleLayout::kInt32:
      return ConvertFrames<SampleLayout::kInt32>(data, frames, block_align, out);
    case SampleLayout::kNone:
      return ConvertFrames<SampleLayout::kNone>(data, frames, block_align, out);
  }
}

void AppendPcm16(Monitor& monitor, const float* samples, size_t count) {
  std::vector<int16_t>& pending = monitor.pending_;
  const size_t first = pending.size();
  pending.resize(first + count);
  for (size_t i = 0; i < count; ++i) pending[first + i] = ToPcm16(samples[i]);
}

// The PCM events' share of a block: at the rate the start reported, converted when a re-open
// found the adapter at another rate.
void AppendPcm(Monitor& monitor, const float* samples, uint32_t count) {
  const int32_t pcm_rate = monitor.pcm_sample_rate_;
  const int32_t capture_rate = monitor.capture_.info.sample_rate;
  if (pcm_rate <= 0 || pcm_rate == capture_rate || capture_rate <= 0) {
    AppendPcm16(monitor, samples, count);
    return;
  }
  float converted[2 * kCaptureBlock];
  // Pieces small enough that their output fits, at any ratio.
  const double outputs_per_input = static_cast<double>(pcm_rate) / capture_rate;
  const uint32_t piece =
      std::max<uint32_t>(1, static_cast<uint32_t>((2 * kCaptureBlock - 4) / outputs_per_input));
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(piece, count - done);
    const size_t made =
        monitor.pcm_resampler_.Process(samples + done, n, converted, 2 * kCaptureBlock);
    AppendPcm16(monitor, converted, made);
    done += n;
  }
}

// One packet into the monitoring path and the PCM chunks, a block at a time. `captured` is when
// its first frame was captured (100 ns on the performance counter; 0 when unknown).
void AppendPacket(Monitor& monitor, SampleLayout layout, const BYTE* data, UINT32 frames,
                  size_t block_align, UINT64 captured) {
  float block[kCaptureBlock];
  const int32_t rate = monitor.capture_.info.sample_rate;
  for (UINT32 done = 0; done < frames;) {
    const uint32_t n = std::min<uint32_t>(kCaptureBlock, frames - done);
    ConvertFrames(layout, layout == SampleLayout::kNone ? nullptr : data + done * block_align, n,
                  block_align, block);
    const int64_t block_time =
        captured > 0 && rate > 0
            ? static_cast<int64_t>(captured) + static_cast<int64_t>(done) * 10000000 / rate
            : 0;
    const int64_t dropped = monitor.monitoring_.Write(block, n, block_time);
    if (dropped > 0) monitor.glitches_.AddRingDropped(dropped);
    AppendPcm(monitor, block, n);
    done += n;
  }
}

// Fills the ring with what the monitoring path primes with before the render stream starts, for
// at most 250 ms.
void Prefill(Monitor& monitor) {
  const int64_t target = std::max<int64_t>(monitor.monitoring_.PrimeFill(), 1);
  const DWORD deadline = GetTickCount() + kPrefillDeadlineMs;
  while (monitor.monitoring_.usable() < target) {
    // Signed difference: "at or past" must hold across the 49.7-day wrap of the tick count.
    if (static_cast<int32_t>(GetTickCount() - deadline) >= 0) break;
    if (IsSignalled(monitor.stop_event_.Get())) break;
    WaitForSingleObject(monitor.capture_.event.Get(), kPrefillWaitMs);
    ProcessCapture(monitor);
  }
}

// What was captured for streams that are gone: the ring, the converters' state and the samples
// not yet cut into a chunk.
void DropCaptured(Monitor& monitor) {
  monitor.monitoring_.Restart();
  monitor.pcm_resampler_.Reset();
  monitor.pending_.clear();
}

double Milliseconds(UINT32 frames, int32_t rate) { return rate > 0 ? 1000.0 * frames / rate : 0.0; }

// The delay from the string to the speakers, as the streams and the cushion now stand, where the
// streams cannot tell it: a sample waits in the monitoring path (its packet in flight, the cushion
// and the converter's lookahead), then in the render buffer behind what is queued.
double EstimatedLatencyMs(const Monitor& monitor) {
  const AudioStream& capture = monitor.capture_;
  const AudioStream& render = monitor.render_;
  const int32_t capture_rate = capture.info.sample_rate;
  const int32_t render_rate = render.info.sample_rate;
  const UINT32 render_queue =
      render.info.exclusive
          ? render.buffer_frames
          : render.period_frames + SharedMarginFrames(render_rate, render.period_frames);
  const double path_samples = monitor.monitoring_.WaitSamples(render_queue);
  return (capture_rate > 0 ? 1000.0 * path_samples / capture_rate : 0.0) +
         Milliseconds(render_queue, render_rate);
}

// "cushionMs" and "engineDelayMs": what the engine adds beyond the devices' periods.
void PublishCushion(Monitor& monitor) {
  const int32_t capture_rate = monitor.capture_.info.sample_rate;
  const int32_t render_rate = monitor.render_.info.sample_rate;
  if (capture_rate <= 0 || render_rate <= 0) return;
  const MonitoringPath& path = monitor.monitoring_;
  const double cushion = 1000.0 * path.steering().cushion_samples() / capture_rate;
  const double converter = 1000.0 * path.converter_delay_samples() / capture_rate;
  const AudioStream& render = monitor.render_;
  const double margin =
      render.info.exclusive
          ? 0.0
          : Milliseconds(SharedMarginFrames(render_rate, render.period_frames), render_rate);
  monitor.status_.SetCushion(cushion, cushion + converter + margin);
}

// "latencyMs": the median of the delays measured over the last second where the streams give
// their times, else the estimate (which follows the cushion as it grows).
void PublishLatency(Monitor& monitor) {
  PublishCushion(monitor);
  double measured = 0.0;
  uint32_t frames = 0;
  const int32_t render_rate = monitor.render_.info.sample_rate;
  if (monitor.monitoring_.TakeMeasurement(&measured, &frames) && render_rate > 0) {
    if (monitor.delay_median_.Add(measured, static_cast<double>(frames) / render_rate)) {
      monitor.status_.SetLatency(monitor.delay_median_.median_ms());
    }
    return;
  }
  // The steering has gone back to the fill: a median of times no longer believed would freeze.
  if (monitor.monitoring_.MeasurementsStopped()) monitor.delay_median_.Clear();
  if (!monitor.delay_median_.measuring()) monitor.status_.SetLatency(EstimatedLatencyMs(monitor));
}

// Closes the streams of lost devices and says so.
void LoseStreams(Monitor& monitor, HRESULT code) {
  CloseStreams(monitor);
  DropCaptured(monitor);
  monitor.click_remaining_ = 0;
  // The line goes out before the status changes: whoever sees "deviceLost" can find the line.
  char line[64];
  std::snprintf(line, sizeof(line), "Tonelark device lost 0x%08lx\n",
                static_cast<unsigned long>(static_cast<uint32_t>(code)));
  EngineLog::Write(line);
  monitor.status_.MarkLost();
}

// Opens and starts the streams again with the selection rules of a start, the input's name into
// `*name`; false, with everything closed, when that fails. Failed steps are not logged: a search
// for a lost device repeats every half second for as long as it is away.
bool StartStreamsQuietly(Monitor& monitor, std::string* name) {
  bool started;
  {
    QuietFailures quiet;
    started = StartStreams(monitor, name);
  }
  if (!started) {
    CloseStreams(monitor);
    DropCaptured(monitor);
    return false;
  }
  monitor.device_watcher_.Start(GetTickCount());
  return true;
}

// One attempt to find and start the devices again.
bool ReopenStreams(Monitor& monitor) {
  // A click belongs to its beat: one asked for while the speakers were away would sound late.
  monitor.click_request_.exchange(0);
  std::string name;
  if (!StartStreamsQuietly(monitor, &name)) return false;
  EngineLog::Write("Tonelark device back\n");
  PublishStreams(monitor, name);
  return true;
}

// The enumerator for the whole run, and the endpoint listener registered with it. Without either
// the engine still runs: loss and return are then found by the streams' failures, their silence
// and the half-second search.
void ListenToEndpoints(Monitor& monitor) {
  const HRESULT created = CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                           platform::kIidIMMDeviceEnumerator,
                                           monitor.enumerator_.ReleaseAndGetVoidAddress());
  // OpenStreams makes its own attempt, and reports it.
  if (FAILED(created) || !monitor.enumerator_) {
    monitor.enumerator_.Reset();
    return;
  }
  const HRESULT registered = monitor.endpoints_.Start(monitor.enumerator_.Get());
  if (FAILED(registered)) LogFailure("endpoint notifications", registered);
}

void StopListening(Monitor& monitor) {
  monitor.endpoints_.Stop();
  monitor.enumerator_.Reset();
}

// What the endpoint notifications taken at one wake ask of the streams.
struct EndpointNews {
  bool capture_gone = false;  // our adapter left
  bool render_gone = false;   // our speakers left
  bool arrival = false;       // a device came (back); a lost engine looks again at once
  // The default console speakers changed since the last look: to none, to others, back to ours.
  enum class Default { kUnchanged, kNone, kOther, kOurs } default_render = Default::kUnchanged;
  bool overflow = false;  // some were lost: look at the devices afresh
};

EndpointNews TakeEndpointNews(Monitor& monitor) {
  EndpointNews news;
  EndpointListener::Notification notification;
  while (monitor.endpoints_.Take(&notification)) {
    switch (notification.kind) {
      case EndpointListener::Kind::kStateChanged:
      case EndpointListener::Kind::kRemoved:
        if (notification.kind == EndpointListener::Kind::kStateChanged &&
            notification.state == DEVICE_STATE_ACTIVE) {
          news.arrival = true;
          break;
        }
        if (notification.Names(monitor.capture_id_)) news.capture_gone = true;
        if (notification.Names(monitor.render_id_)) news.render_gone = true;
        break;
      case EndpointListener::Kind::kAdded:
        news.arrival = true;
        break;
      case EndpointListener::Kind::kDefaultChanged:
        // The console role is the one device selection uses: one change, one re-open.
        if (notification.flow != eRender || notification.role != eConsole) break;
        news.arrival = true;
        if (!notification.has_id) {
          news.default_render = EndpointNews::Default::kNone;
        } else if (notification.Names(monitor.render_id_)) {
          news.default_render = EndpointNews::Default::kOurs;
        } else {
          news.default_render = EndpointNews::Default::kOther;
        }
        break;
    }
  }
  news.overflow = monitor.endpoints_.TakeOverflow();
  return news;
}

// Runs `work` (render stream calls only) on a thread of its own while this thread keeps draining
// the capture: a driver may take tens of milliseconds over one Initialize, and an exclusive
// capture stream holds only two packets. Failed steps are not logged. Where no thread can be
// started, the work runs here.
template <typename Work>
bool WhileDrainingCapture(Monitor& monitor, Work work) {
  std::atomic<bool> done{false};
  bool result = false;
  const auto run = [&] {
    QuietFailures quiet;
    result = work();
  };
  std::thread worker;
  try {
    worker = std::thread([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      run();
      CoUninitialize();
      done.store(true, std::memory_order_release);
    });
  } catch (const std::system_error&) {
    run();
    return result;
  }
  while (!done.load(std::memory_order_acquire)) {
    WaitForSingleObject(monitor.capture_.event.Get(), kMoveDrainWaitMs);
    ProcessCapture(monitor);
  }
  worker.join();
  return result;
}

// Re-opens the render side alone on `device`, while capture runs on without a gap.
bool MoveSpeakers(Monitor& monitor, IMMDevice* device) {
  ProcessCapture(monitor);
  const bool opened = WhileDrainingCapture(monitor, [&monitor, device] {
    AudioStream& render = monitor.render_;
    if (render.client) render.client->Stop();
    monitor.render_client_.Reset();
    render.Close();
    return OpenRender(monitor, device) && OpenRenderService(monitor);
  });
  if (!opened) return false;
  ConfigureMonitoring(monitor);
  monitor.monitoring_.Reprime();
  monitor.render_trust_.Reset();
  ProcessCapture(monitor);
  RenderMonitor(monitor);
  if (FAILED(monitor.render_.client->Start())) return false;
  monitor.render_.started = true;
  ProcessCapture(monitor);
  // The watcher and the period policy judge the new stream from its own start.
  monitor.device_watcher_.Start(GetTickCount());
  monitor.period_policy_.Opened(GetTickCount());
  monitor.render_id_ = EndpointId(device);
  monitor.render_name_ = DisplayName(device);
  EngineLog::Write(("Tonelark speakers now " + monitor.render_name_ + "\n").c_str());
  LogEnginePeriod(monitor.render_);
  PublishStreams(monitor, monitor.capture_name_);
  return true;
}

// Monitoring plays on the default console speakers: follows them to a new default. False when
// there is none, or they cannot be opened.
bool FollowDefaultSpeakers(Monitor& monitor) {
  if (!monitor.enumerator_) return false;
  platform::ComPtr<IMMDevice> speakers = DefaultOutputDevice(monitor.enumerator_.Get());
  if (!speakers) return false;
  if (EndpointId(speakers.Get()) == monitor.render_id_) return false;
  return MoveSpeakers(monitor, speakers.Get());
}

// Acts on the notifications while streaming; true when the streams were lost.
bool ServeEndpointNews(Monitor& monitor) {
  const EndpointNews news = TakeEndpointNews(monitor);
  bool lose = news.capture_gone;
  if (!lose && monitor.render_follows_default_) {
    const bool move =
        news.render_gone || news.overflow || news.default_render == EndpointNews::Default::kOther;
    if (news.default_render == EndpointNews::Default::kNone) {
      lose = true;
    } else if (move && !FollowDefaultSpeakers(monitor)) {
      // Other speakers could not be had: only a loss if ours are gone.
      lose = news.render_gone || news.default_render == EndpointNews::Default::kOther;
    }
  } else if (!lose) {
    lose = news.render_gone;
  }
  if (!lose) return false;
  LoseStreams(monitor, AUDCLNT_E_DEVICE_INVALIDATED);
  return true;
}

// Low latency that keeps under-running at the device, after the cushion has grown to answer it, is
// more than this machine keeps up with: true when the period should be raised.
bool PeriodMustRise(Monitor& monitor, DWORD now) {
  if (!monitor.device_underrun_) return false;
  monitor.device_underrun_ = false;
  if (!monitor.start_options_.low_latency) return false;
  const bool cushion_grown = monitor.monitoring_.steering().margin_samples() >=
                             static_cast<int32_t>(monitor.capture_.period_frames);
  return monitor.period_policy_.OnUnderrun(now, cushion_grown);
}

// Re-opens both streams as after a return from a loss, at twice the capture period and at most
// the adapter's default one. False when they were at the default already or cannot be re-opened
// (`*lost` then tells whether the streams are gone).
bool RaisePeriod(Monitor& monitor, bool* lost) {
  *lost = false;
  const AudioStream& capture = monitor.capture_;
  if (capture.info.sample_rate <= 0 || !capture.client) return false;
  REFERENCE_TIME default_period = 0;
  REFERENCE_TIME minimum_period = 0;
  if (FAILED(capture.client->GetDevicePeriod(&default_period, &minimum_period))) return false;
  const REFERENCE_TIME current = static_cast<REFERENCE_TIME>(
      static_cast<double>(capture.period_frames) * 1e7 / capture.info.sample_rate + 0.5);
  if (default_period <= 0 || current >= default_period) return false;
  monitor.period_floor_ = std::min(2 * current, default_period);
  CloseStreams(monitor);
  DropCaptured(monitor);
  std::string name;
  if (!StartStreamsQuietly(monitor, &name)) {
    *lost = true;
    return false;
  }
  char line[64];
  std::snprintf(line, sizeof(line), "Tonelark period raised to %.2f ms\n",
                Milliseconds(monitor.capture_.period_frames, monitor.capture_.info.sample_rate));
  EngineLog::Write(line);
  PublishStreams(monitor, name);
  return true;
}

// Serves the streams until the stop request. While the devices are lost, looks for them again
// every half second, and at once when a device arrives.
void ServeUntilStopped(Monitor& monitor) {
  const HANDLE stop = monitor.stop_event_.Get();
  const HANDLE endpoints = monitor.endpoints_.event();
  const DWORD handle_count = monitor.endpoints_.started() ? 4 : 3;
  DeviceWatcher& watcher = monitor.device_watcher_;
  watcher.Start(GetTickCount());
  bool lost = false;
  DWORD next_search = 0;
  while (!IsSignalled(stop)) {
    if (lost) {
      const HANDLE waits[2] = {stop, endpoints};
      const DWORD left = next_search - GetTickCount();
      const DWORD wait = static_cast<int32_t>(left) > 0 ? left : 0;
      const DWORD woken = WaitForMultipleObjects(handle_count == 4 ? 2 : 1, waits, FALSE, wait);
      if (woken == WAIT_OBJECT_0) break;
      if (woken == WAIT_OBJECT_0 + 1) {
        const EndpointNews news = TakeEndpointNews(monitor);
        if (!news.arrival && !news.overflow) continue;
      }
      lost = !ReopenStreams(monitor);
      next_search = GetTickCount() + DeviceWatcher::kRetryIntervalMs;
      continue;
    }
    const HANDLE handles[4] = {stop, monitor.render_.event.Get(), monitor.capture_.event.Get(),
                               endpoints};
    const DWORD woken = WaitForMultipleObjects(handle_count, handles, FALSE, kLoopWaitMs);
    if (IsSignalled(stop)) break;
    DWORD now = GetTickCount();
    if (woken == WAIT_OBJECT_0 + 3) {
      if (ServeEndpointNews(monitor)) {
        lost = true;
        next_search = now + DeviceWatcher::kRetryIntervalMs;
        continue;
      }
      // A move may have taken a while.
      now = GetTickCount();
    }
    ServeWake(monitor, woken, now);
    if (PeriodMustRise(monitor, now)) {
      bool gone = false;
      RaisePeriod(monitor, &gone);
      if (gone) {
        LoseStreams(monitor, AUDCLNT_E_DEVICE_INVALIDATED);
        lost = true;
        next_search = GetTickCount() + DeviceWatcher::kRetryIntervalMs;
      }
      continue;
    }
    if (!watcher.Lost(now)) continue;
    // Speakers that failed while another default exists are left for those.
    if (monitor.render_follows_default_ && watcher.RenderOnly(now) &&
        FollowDefaultSpeakers(monitor)) {
      continue;
    }
    LoseStreams(monitor, watcher.LossCode(now));
    lost = true;
    now = GetTickCount();
    next_search = now + DeviceWatcher::kRetryIntervalMs;
  }
}

}  // namespace

void PublishStreams(Monitor& monitor, const std::string& name) {
  const AudioStream& capture = monitor.capture_;
  const AudioStream& render = monitor.render_;
  StreamSummary summary;
  summary.name = name;
  summary.sample_rate = capture.info.sample_rate;
  summary.capture_exclusive = capture.info.exclusive;
  summary.render_sample_rate = render.info.sample_rate;
  summary.render_exclusive = render.info.exclusive;
  summary.render_name = monitor.render_name_;
  summary.pcm_sample_rate = monitor.pcm_sample_rate_;
  summary.capture_period_ms = Milliseconds(capture.period_frames, capture.info.sample_rate);
  summary.render_period_ms = Milliseconds(render.period_frames, render.info.sample_rate);
  summary.latency_ms = EstimatedLatencyMs(monitor);
  monitor.delay_median_.Clear();
  monitor.status_.Publish(summary);
  PublishCushion(monitor);
}

bool StartStreams(Monitor& monitor, std::string* name) {
  if (!OpenStreams(monitor, name)) return false;
  const int32_t capture_rate = monitor.capture_.info.sample_rate;
  // A start's PCM rate is its capture rate; a re-open keeps the one the start reported.
  if (monitor.pcm_sample_rate_ <= 0) monitor.pcm_sample_rate_ = capture_rate;
  const int32_t pcm_rate = monitor.pcm_sample_rate_;
  if (pcm_rate != capture_rate) monitor.pcm_resampler_.Configure(capture_rate, pcm_rate);
  monitor.pcm_resampler_.Reset();
  const size_t chunk = PcmChunkSamples(pcm_rate);
  monitor.PreparePcmPool(chunk);
  // Reserved once per start, so that appending a packet does not grow pending_ while streaming.
  const double pcm_per_capture =
      capture_rate > 0 ? std::max(1.0, static_cast<double>(pcm_rate) / capture_rate) : 1.0;
  monitor.pending_.reserve(monitor.pending_.size() + 2 * chunk + 4 * kCaptureBlock +
                           static_cast<size_t>(monitor.capture_.buffer_frames * pcm_per_capture));
  ConfigureMonitoring(monitor);
  monitor.monitoring_.Restart();
  monitor.glitches_.RestartCapturePositions();
  monitor.capture_trust_.Reset();
  monitor.render_trust_.Reset();
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
  monitor.period_policy_.Opened(GetTickCount());
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
    PublishLatency(monitor);
  }
}

void AudioLoop(Monitor& monitor) {
  platform::NameCurrentThread(L"Tonelark audio");
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DWORD task_index = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
  ListenToEndpoints(monitor);

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
    StopListening(monitor);
    StreamSummary chosen;
    chosen.name = monitor.device_name_;
    monitor.status_.Publish(chosen);
  }
  monitor.started_.store(started);
  if (monitor.on_report_) monitor.on_report_(monitor);
  SetEvent(monitor.ready_event_.Get());

  if (started) {
    ServeUntilStopped(monitor);
    StopListening(monitor);
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
    UINT64 captured = 0;
    outcome.result = capture->GetBuffer(&data, &frames, &flags, &position, &captured);
    if (FAILED(outcome.result)) return outcome;
    monitor.monitoring_.OnCaptureLoss(monitor.glitches_.OnCapturePacket(flags, position, frames));
    if (!monitor.capture_trust_.Observe(static_cast<int64_t>(captured),
                                        static_cast<double>(position),
                                        monitor.capture_.info.sample_rate)) {
      captured = 0;
    }
    // A packet without a buffer is read as silence rather than dereferenced.
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
    AppendPacket(monitor, silent ? SampleLayout::kNone : layout, silent ? nullptr : data, frames,
                 block_align, captured);
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
  monitor.render_.clock.Reset();
  monitor.render_.client.Reset();
  monitor.render_.event.Reset();
}

}  // namespace tonelark
