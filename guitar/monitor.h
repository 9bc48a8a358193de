// The guitar audio engine's one object: the audio thread, the two platform channels and all
// state shared between the user-interface thread and the audio thread.
//
// Threads:
// - User-interface thread: Attach, Detach, HandleMethodCall (StartAudio, StopAudio), DrainPcm,
//   OnListen, OnCancel. `sink_` and the channels are touched only there.
// - Audio thread (one per start): AudioLoop and what it calls (ProcessCapture, RenderMonitor,
//   the PCM producer step). It owns the monitoring state, the stream records and the clients
//   while it runs; StopAudioLocked and the destructor touch them only after the join.
// Shared:
// - `mutex_` (control lock) orders Attach, Detach, StartAudio and StopAudio; the audio thread
//   never takes it.
// - `pcm_mutex_` (hand-off lock) guards `pcm_queue_` and `pcm_posted_` only. The two locks are
//   never held together.
// - `hwnd_`, `started_`, `speaker_`, `volume_`, `click_request_` are atomics.
// - `sample_rate_`, `render_exclusive_`, `device_name_` are written by the audio thread before it
//   sets `ready_event_` and read by StartAudio's caller after the wait (or after the join). A
//   re-open after a device loss does not touch them; it publishes to `status_` instead.
// - `start_options_` is written by the user-interface thread before the audio thread starts.
// - `glitches_` and `status_` are shared as their own headers say; `monitoring_`,
//   `pcm_resampler_`, `render_scratch_`, `device_watcher_`, `delay_median_`, the clock trusts, the
//   enumerator, the endpoint ids and names belong to the audio thread while it runs; `endpoints_`
//   hands over from the system's notification thread as its header says.
// - `pcm_pool_` (chunks ready for the producer) is guarded by `pcm_mutex_` like the queue.
#ifndef GUITAR_MONITOR_H_
#define GUITAR_MONITOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/encodable_value.h"
#include "channels/event_channel.h"
#include "channels/event_sink.h"
#include "channels/method_call.h"
#include "channels/method_channel.h"
#include "channels/method_result.h"
#include "channels/stream_handler_error.h"
#include "guitar/audio_stream.h"
#include "guitar/clock_trust.h"
#include "guitar/delay_median.h"
#include "guitar/device_watcher.h"
#include "guitar/endpoint_listener.h"
#include "guitar/engine_status.h"
#include "guitar/glitch_counters.h"
#include "guitar/monitoring_path.h"
#include "guitar/period_policy.h"
#include "guitar/start_options.h"
#include "guitar/stream_resampler.h"
#include "platform/com_ptr.h"
#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace tonelark {

// Window message posted to the host window when PCM chunks are waiting (WM_APP + 7).
constexpr UINT kPcmReadyMessage = 0x8007;

constexpr size_t kMaxPcmChunks = 32;  // PCM chunks kept for the user-interface thread
// Chunks made before streaming: the queue's, as many again in the hands of a drain, and the one
// being filled, so the producer always finds one in the pool.
constexpr size_t kPcmPoolChunks = 2 * kMaxPcmChunks + 1;
constexpr DWORD kStartTimeoutMs = 3000;  // how long "start" waits for the audio thread

// Samples in one PCM chunk at a capture rate in Hz: 1/200 s, and at least 256.
size_t PcmChunkSamples(int32_t sample_rate);

class Monitor {
 public:
  using Value = flutter::EncodableValue;

  static Monitor& Instance();

  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // (Re)starts the audio thread; true when capture and monitoring run. `options` reach the
  // audio thread's start-up.
  bool StartAudio(const StartOptions& options = {});
  void StopAudio();
  // The stop sequence; the caller holds `mutex_`.
  void StopAudioLocked();

  void Attach(HWND hwnd, flutter::BinaryMessenger* messenger);
  void Detach();

  void HandleMethodCall(const flutter::MethodCall<Value>& call,
                        std::unique_ptr<flutter::MethodResult<Value>> result);
  // The reply of "status": the engine's state, streams and glitch counters.
  Value StatusReply() const;

  // User-interface half of the PCM hand-off.
  void DrainPcm();
  // Audio-thread half: cuts every whole chunk out of `pending_` and queues it.
  void ProducePcmChunks();
  // Audio thread, before streaming: enough pooled chunks for `samples` each.
  void PreparePcmPool(size_t samples);

  std::unique_ptr<flutter::StreamHandlerError<Value>> OnListen(
      const Value* arguments, std::unique_ptr<flutter::EventSink<Value>>&& events);
  std::unique_ptr<flutter::StreamHandlerError<Value>> OnCancel(const Value* arguments);

  // Fields, in the documented order. Public so that the engine's free functions (AudioLoop,
  // ProcessCapture, RenderMonitor, OpenStreams) and the tests can reach them.
  std::mutex mutex_;      // control lock
  std::mutex pcm_mutex_;  // hand-off lock
  std::atomic<HWND> hwnd_{nullptr};
  std::unique_ptr<flutter::MethodChannel<Value>> method_channel_;
  std::unique_ptr<flutter::EventChannel<Value>> event_channel_;
  std::unique_ptr<flutter::EventSink<Value>> sink_;
  std::vector<std::vector<uint8_t>> pcm_queue_;  // oldest first, at most kMaxPcmChunks
  bool pcm_posted_ = false;
  platform::ScopedHandle stop_event_;   // manual-reset
  platform::ScopedHandle ready_event_;  // manual-reset
  std::thread audio_thread_;
  std::atomic<bool> started_{false};
  int32_t sample_rate_ = 0;  // capture rate, Hz
  bool render_exclusive_ = false;
  std::string device_name_;  // UTF-8
  std::atomic<bool> speaker_{true};
  std::atomic<float> volume_{4.0f};        // 4 x volume in 0..1
  std::atomic<int32_t> click_request_{0};  // 0 none, 1 normal, 2 accent
  int32_t click_remaining_ = 0;            // render frames
  int32_t click_length_ = 1;               // render frames
  float click_phase_ = 0.0f;               // radians
  float click_step_ = 0.0f;                // radians per render frame
  AudioStream capture_;
  AudioStream render_;
  platform::ComPtr<IAudioCaptureClient> capture_client_;
  platform::ComPtr<IAudioRenderClient> render_client_;
  MonitoringPath monitoring_;  // the ring, its converter and its rate control
  std::vector<int16_t> pending_;
  // The PCM events keep the rate the start reported, whatever device a re-open finds: Hz, and the
  // converter from the capture rate when the two differ.
  int32_t pcm_sample_rate_ = 0;
  StreamResampler pcm_resampler_;
  std::vector<float> render_scratch_;  // one render call of guitar samples, sized at stream open
  std::vector<std::vector<uint8_t>> pcm_pool_;  // under `pcm_mutex_`
  size_t pcm_chunks_made_ = 0;                  // under `pcm_mutex_`; never freed
  std::atomic<size_t> pcm_chunk_bytes_{0};      // of the chunks the producer makes now

  // The audio thread's view of the system's endpoints, from its start to its end: the enumerator
  // (kept while the listener is registered with it), the listener, and the endpoints the streams
  // run on. `render_follows_default_`: monitoring plays on the default console endpoint (not on
  // one the iRig rule chose) and moves with it.
  platform::ComPtr<IMMDeviceEnumerator> enumerator_;
  EndpointListener endpoints_;
  std::wstring capture_id_;
  std::string capture_name_;  // UTF-8
  std::wstring render_id_;
  std::string render_name_;  // UTF-8
  bool render_follows_default_ = false;
  // Low latency that under-ran too often re-opens at twice the period: the least period streams
  // may open at from then on (100 ns; 0: the devices' minimum). Reset at each start.
  REFERENCE_TIME period_floor_ = 0;
  // The render step saw the device play what was not written (set by RenderMonitor, taken by
  // the streaming loop), and whether such under-runs mean the period must rise.
  bool device_underrun_ = false;
  PeriodPolicy period_policy_;

  StartOptions start_options_;    // of the current start
  GlitchCounters glitches_;       // since the current start
  DeviceWatcher device_watcher_;  // loss of the streams' devices
  DelayMedian delay_median_;      // the measured delay, for "status"
  ClockTrust capture_trust_;      // whether the capture packets' times hold together
  ClockTrust render_trust_;       // whether the render clock's do
  EngineStatus status_;           // what "status" reports about the streams

  // Test seams: what the started thread runs (AudioLoop by default) and how it is started, so
  // tests can model an audio thread that never reports or a thread that cannot be created; and
  // a callable the audio thread runs just before it sets `ready_event_`, so tests can see the
  // state the report is made in.
  std::function<void(Monitor&)> audio_thread_body_;
  std::function<std::thread(std::function<void()>)> thread_starter_;
  std::function<void(Monitor&)> on_report_;

 private:
  // Starts the audio thread into `audio_thread_`; false (and `audio_thread_` empty) when the
  // thread cannot be created.
  bool LaunchAudioThread();
  // The monitoring ring and the converter start afresh, as after a stop.
  void ResetRing();
  // A chunk for the producer from the pool; a new one (allocated when filled) should the pool be
  // empty, which only a producer whose pool was never prepared meets.
  std::vector<uint8_t> TakePcmChunk();
};

// "setVolume" argument to monitoring gain: clamp(value, 0, 1) x 4; 1.0 for any other shape.
float VolumeFromArgument(const flutter::EncodableValue* argument);

}  // namespace tonelark

#endif  // GUITAR_MONITOR_H_
