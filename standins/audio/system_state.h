// The shared state behind every virtual endpoint object: the device table, the initialised
// streams, injected failures, the call log, render recordings, the clock and the object audit.
//
// Threads: the engine's audio thread (through the COM objects), the clock thread, the
// notification thread (through the clients' callbacks) and the test thread all use it.
// Everything except the audit counters and the notification center is guarded by mutex();
// methods marked "locks" take it themselves, every other method expects the caller to hold it.
// The audit counters are atomics; the notification center has its own lock, always taken after
// mutex() (see notification_center.h). The clock thread never holds a COM reference, so the last
// owner of the state is never the clock thread and the destructor can join it; the notification
// thread may be the last owner (a client releasing an object in a callback), and then the
// destructor leaves that thread to end by itself.
#ifndef STANDINS_AUDIO_SYSTEM_STATE_H_
#define STANDINS_AUDIO_SYSTEM_STATE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standins/audio/notification_center.h"
#include "standins/audio/virtual_audio.h"

namespace virtual_audio {

enum class ObjectKind {
  kClassFactory,
  kEnumerator,
  kCollection,
  kDevice,
  kPropertyStore,
  kAudioClient,
  kCaptureClient,
  kRenderClient,
  kAudioClock,
};
constexpr int kObjectKinds = 9;
const char* ObjectKindName(ObjectKind kind);

// Clock times are REFERENCE_TIME (100 ns): the manual clock's time, or the time since the
// system was created for the real-time clock. Times handed to the caller (capture packets,
// IAudioClock) are performance-counter times instead: see QpcTime.
constexpr REFERENCE_TIME kNever = INT64_MAX;

struct DeviceRecord {
  DeviceConfig config;
  bool stalled = false;            // capture: the clock produces nothing for it
  bool recording_started = false;  // render: `recording` has a format
  RenderedAudio recording;         // render: every buffer released since the last reset
  int overruns = 0;                // capture packets dropped
  int underruns = 0;               // render periods short of frames
  uint64_t underrun_frames = 0;    // render: frames of silence those periods played

  // Removal. A client remembers the incarnation it was activated in; a removal starts a new
  // one, so clients from before it stay invalidated after the return.
  bool removed = false;
  uint64_t incarnation = 0;
  int64_t periods_played = 0;          // by started streams, for RemovalSchedule::after_periods
  bool period_removal_done = false;    // the after-periods removal happened
  bool timed_removal_done = false;     // the at-ms removal happened
  REFERENCE_TIME return_due = kNever;  // clock time of the scheduled return

  // DeviceConfig::arrive_at_ms not reached yet: the device is not there at all.
  bool pending_arrival = false;
  bool timed_default_done = false;  // DeviceConfig::default_at_ms happened
  uint64_t late_wake_random = 0;    // generator state for LateWakes::max_late, from its seed
  uint64_t jitter_random = 0;       // generator state for DeviceConfig::time_jitter, from its seed
  LateWakeRecord late_wakes;
};

struct CapturePacket {
  std::vector<uint8_t> data;  // frames * block align bytes
  uint32_t frames = 0;
  DWORD flags = 0;
  uint64_t position = 0;      // stream position of the first frame, frames
  REFERENCE_TIME time = 0;    // clock time at which the device captured that frame
  bool jittered = false;      // the device has DeviceConfig::time_jitter
  REFERENCE_TIME jitter = 0;  // 100 ns added to the time reported
};

// One initialised audio client.
struct StreamState {
  std::wstring device_id;
  EDataFlow flow = eCapture;
  Format format;
  bool exclusive = false;
  DWORD stream_flags = 0;
  uint32_t buffer_frames = 0;  // what GetBufferSize reports (0 for a zero-buffer device)
  uint32_t period_frames = 0;  // frames the clock moves per period
  REFERENCE_TIME period = 0;   // 100 ns, in the device's own time, rounded
  double period_length = 0.0;  // the same unrounded (engine periods need not be whole units)
  // Set by InitializeSharedAudioStream with a period other than the default: the device's
  // engine runs every shared stream at this many frames while this stream lives.
  uint32_t engine_period_hold = 0;
  HANDLE event = nullptr;  // from SetEventHandle; owned by the client's caller
  bool started = false;
  uint64_t incarnation = 0;       // of the device when the client was activated
  double clock_ppm = 0.0;         // the device clock's deviation
  bool stepped_position = false;  // shared, PositionMovement::kStepped
  bool late_start = false;        // render, DeviceConfig::position_late_start

  // The clock's schedule: period k (from 1) ends at clock_anchor + k scaled periods.
  REFERENCE_TIME clock_anchor = 0;
  uint64_t clock_periods = 0;  // periods played since the anchor
  uint64_t periods_since_start = 0;
  REFERENCE_TIME last_period_end = 0;  // clock time; the Start time before the first one
  // Frames the device has taken from the queue (render, under-run silence included) or
  // captured (lost packets included) by the last period end.
  uint64_t device_frames = 0;
  // Render: the frames taken at the last period end, heard during the period that follows.
  uint32_t playing_frames = 0;
  // Render, late start: the frames of the first pass heard after each Start, which no position
  // counts.
  uint64_t uncounted_frames = 0;
  std::vector<REFERENCE_TIME> late_signals;  // clock times of events still to be signalled

  // Capture side. Packets are only appended or popped at the front, so the data of the packet
  // handed out by GetBuffer (always the front one, never dropped while held) stays in place.
  CaptureSource source;
  std::vector<double> wav_samples;  // kWav: channel 0 of the file
  uint64_t source_frame = 0;        // frames generated so far
  std::deque<CapturePacket> packets;
  bool capture_held = false;   // between GetBuffer and ReleaseBuffer
  bool discontinuity = false;  // a packet was dropped; flag the next one

  // Render side.
  std::vector<uint8_t> render_buffer;  // internal buffer length * block align bytes
  uint32_t internal_frames = 0;        // the buffer length even when 0 is reported
  uint32_t padding = 0;                // frames written and not yet played
  bool render_held = false;
  uint32_t render_requested = 0;  // frames of the outstanding GetBuffer
};

class SystemState {
 public:
  SystemState();
  ~SystemState();
  SystemState(const SystemState&) = delete;
  SystemState& operator=(const SystemState&) = delete;

  std::mutex& mutex() { return mutex_; }

  // ---- Devices ----
  void AddDevice(const DeviceConfig& config);
  DeviceRecord* FindDevice(const std::wstring& id);
  // Removes the device at clock time `now` (scheduling its return); false when already removed
  // or not arrived yet.
  bool RemoveDevice(DeviceRecord& device, REFERENCE_TIME now);
  void ReturnDevice(DeviceRecord& device);
  // DEVICE_STATE_ACTIVE, DISABLED or NOTPRESENT.
  static DWORD StateOf(const DeviceRecord& device);
  // True when a client activated in `incarnation` may no longer use the device: it is removed,
  // or it was removed after the activation. A device that no longer exists at all (Reset)
  // leaves the decision to the caller.
  bool Invalidated(const std::wstring& device, uint64_t incarnation);
  std::vector<std::wstring> DeviceIds(EDataFlow flow, DWORD state_mask) const;
  // The chosen default while it is active and present, otherwise the first active device.
  bool DefaultDevice(EDataFlow flow, std::wstring* id) const;
  void SetDefaultDevice(EDataFlow flow, const std::wstring& id);
  // Drops the devices and everything about them, the notification registrations included.
  void Reset();

  // ---- Notifications (the center: any thread, its own lock) ----
  NotificationCenter& notifications() { return *notifications_; }

  // ---- Calls ----
  // Counts the call and answers whether a failure is injected into it (its code in `hr`).
  bool CountCall(const char* method, const std::wstring& device, HRESULT* hr);
  // Whether a call of `method` goes into the log: set-up calls while the log is kept.
  bool Logs(const char* method) const;
  void LogCall(const CallRecord& record);
  void AddFailure(const std::string& method, HRESULT hr, const FailWhen& when);
  void ClearFailures();
  std::vector<CallRecord> Calls() const;
  int CallCount(const std::string& method, const std::wstring& device) const;
  void ClearCalls();
  void SetCallLog(bool keep);

  // ---- Streams ----
  void AddStream(const std::shared_ptr<StreamState>& stream);
  void RemoveStream(const StreamState* stream);
  // Initialised streams on the device (only exclusive ones when `exclusive_only`); streams of
  // an earlier incarnation hold nothing.
  int LiveStreams(const std::wstring& device, bool exclusive_only);
  void StartStream(StreamState* stream);
  void StopStream(StreamState* stream);
  void BeginRecording(const StreamState& stream);
  // Appends released frames (or, with a null `data`, under-run silence) to the device's
  // recording, within its limit.
  void RecordRender(const StreamState& stream, const uint8_t* data, uint32_t frames, DWORD flags,
                    bool underrun = false);
  // Writes the device's recording to its output file, when it has one.
  void SaveRecording(const std::wstring& device);

  // ---- Engine periods (frames at the mix rate) ----
  static uint32_t DefaultEnginePeriod(const DeviceConfig& config);
  // The period the device's engine runs its shared streams at: a live stream's hold, another
  // program's, or the default.
  uint32_t EnginePeriod(const DeviceRecord& device);
  // Moves every live shared stream on the device to its engine period.
  void ApplyEnginePeriod(const std::wstring& device);
  // Sets a stream's period; a started one keeps its last period end and goes on from there.
  void SetStreamPeriod(StreamState& stream, uint32_t frames);

  // ---- Positions ----
  // The stream position (frames) of the frame heard or captured now, moving evenly through the
  // current period at the device's pace. Render frames are heard in the period after the one
  // that took them from the queue.
  uint64_t DevicePosition(const StreamState& stream);
  // The performance-counter time (100 ns) of a clock time: the manual clock's time itself, or
  // QueryPerformanceCounter's reading at that moment for the real-time clock.
  REFERENCE_TIME QpcTime(REFERENCE_TIME clock_time) const;
  // The time GetBuffer reports with the packet, jitter included.
  REFERENCE_TIME PacketQpc(const CapturePacket& packet) const;
  // The time GetPosition reports with a position read now, jitter included.
  REFERENCE_TIME ReadingQpc(const StreamState& stream);
  // Locks. The time a driver takes to open a stream on the device: with the manual clock the
  // clock moves on by it here, as AdvanceClock does, and 0 is left to wait; with the real-time
  // clock the caller waits it with no lock held.
  std::chrono::milliseconds TakeOpenTime(const std::wstring& device);
  // ---- Clock ----
  void SetClockMode(ClockMode mode);           // locks
  void Tick(int periods);                      // locks
  REFERENCE_TIME StepClock();                  // locks
  void AdvanceClock(REFERENCE_TIME duration);  // locks
  REFERENCE_TIME ClockNow() const;

  // ---- Audit (any thread, no lock) ----
  void ObjectCreated(ObjectKind kind);
  void ObjectDestroyed(ObjectKind kind);
  void ReferenceAdded() { ++references_; }
  void ReferenceDropped() { --references_; }
  Audit TakeAudit();  // locks

 private:
  struct FailRule {
    std::string method;
    HRESULT hr;
    FailWhen when;
    int seen = 0;  // matching calls since the rule was added
  };
  struct CallCounter {
    std::string method;
    std::wstring device;
    int count = 0;
  };

  // A started stream whose device is present in its incarnation: the clock plays it.
  bool Playing(const StreamState& stream);
  REFERENCE_TIME PeriodEnd(const StreamState& stream, uint64_t period) const;
  enum class DeviceEvent { kArrival, kReturn, kRemoval, kDefault };
  double ScaledPeriod(const StreamState& stream) const;  // 100 ns of clock time
  REFERENCE_TIME NextPeriodEnd();
  REFERENCE_TIME NextLateSignal();
  void DeliverLateSignals(REFERENCE_TIME until);
  // Signals the stream's event for the period just played, on time or late.
  void SignalPeriod(StreamState& stream, DeviceRecord* device, REFERENCE_TIME now);
  // The earliest scheduled device event, its device and kind; kNever when there is none.
  REFERENCE_TIME NextDeviceEvent(DeviceRecord** device = nullptr, DeviceEvent* kind = nullptr);
  // Applies the arrivals, removals, returns and default changes due at or before `now`.
  void ApplyDeviceEvents(REFERENCE_TIME now);
  void Notify(EndpointNotification::Kind kind, const DeviceRecord& device);
  // A draw of the device's time jitter, 100 ns.
  static REFERENCE_TIME Jitter(DeviceRecord& device);
  // The manual clock's AdvanceClock, with the lock held.
  void AdvanceManualClock(REFERENCE_TIME duration);
  // Tells the clients about each flow whose default endpoint is no longer the one last told.
  void NotifyDefaultChanges();
  // Plays, in time order, every period and device event due at or before `until`.
  void RunClockUntil(REFERENCE_TIME until);
  // One period of `stream` at clock time `now`, with its removal check.
  void PlayPeriod(StreamState& stream, REFERENCE_TIME now);
  // False when a stalled capture device produced nothing.
  bool TickStream(StreamState& stream, REFERENCE_TIME now);
  void ProduceCapturePacket(StreamState& stream, DeviceRecord& device);
  double SourceValue(const StreamState& stream, uint64_t frame) const;
  void EnsureClockThread();
  // Keeps a late wake of the clock or a watch thread beside every recording
  // (RenderedAudio::host_stalls).
  void NoteHostStall(REFERENCE_TIME late);
  // At a render stream's Start: RenderedAudio::wake_offsets.
  void NoteWakeOffset(const StreamState& render);
  void ClockLoop();
  // Under Windows, one thread pinned to each processor notes, while a stream plays on the real-time
  // clock, when the host held that processor up, as the clock thread notes it for its own.
  void WatchLoop();

  std::mutex mutex_;
  std::vector<std::unique_ptr<DeviceRecord>> devices_;  // in enumeration order
  std::wstring default_render_;
  std::wstring default_capture_;
  // The default endpoint per flow (eRender, eCapture) as the clients last learnt it; empty for
  // none.
  std::array<std::wstring, 2> told_default_;
  const std::shared_ptr<NotificationCenter> notifications_ = std::make_shared<NotificationCenter>();
  std::vector<FailRule> failures_;
  std::vector<CallRecord> calls_;
  bool keep_calls_ = true;  // SetCallLog
  std::vector<CallCounter> counters_;
  std::vector<std::shared_ptr<StreamState>> streams_;

  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
  REFERENCE_TIME qpc_at_creation_ = 0;  // QueryPerformanceCounter at `created_`, 100 ns
  ClockMode clock_mode_ = ClockMode::kRealTime;
  REFERENCE_TIME manual_time_ = 0;
  bool clock_quit_ = false;
  std::condition_variable clock_wake_;
  std::thread clock_thread_;
  std::vector<std::thread> watch_threads_;

  std::array<std::atomic<int>, kObjectKinds> objects_{};
  std::atomic<long> references_{0};
};

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_SYSTEM_STATE_H_
