// Virtual audio endpoints: our own implementation of the Core Audio COM interfaces (device
// enumerator, collection, device, property store, audio client up to IAudioClient3, capture and
// render clients, stream clock) with scriptable devices, used in place of sound hardware by tests
// and demos.
//
// A test builds a `VirtualAudio`, adds devices, registers the enumerator class and then lets the
// unchanged engine reach it through CoCreateInstance(kClsidMMDeviceEnumerator). The Windows DLL
// (virtual_audio.dll) builds the same system from the text file named by the environment
// variable TONELARK_VIRTUAL_AUDIO_CONFIG (see README.md and `ParseConfig`).
//
// Threads: every member of `VirtualAudio` may be called from any thread while the engine's
// audio thread calls the COM interfaces, the clock thread signals streams and the notification
// thread calls the registered IMMNotificationClient objects; all state lives behind one mutex
// inside the shared system, which is never held during a notification callback. Buffers handed
// out by GetBuffer stay valid until the matching ReleaseBuffer, whatever the other threads do.
#ifndef STANDINS_AUDIO_VIRTUAL_AUDIO_H_
#define STANDINS_AUDIO_VIRTUAL_AUDIO_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace virtual_audio {

class ClassRegistration;
class SystemState;

// One PCM or float sample layout. Samples of `container_bits` are stored little-endian; the
// value sits in the top `valid_bits` of the container.
struct Format {
  uint32_t rate = 48000;         // frames per second
  uint16_t channels = 2;         //
  uint16_t container_bits = 16;  // bits per sample in memory: 16, 24 (packed) or 32
  uint16_t valid_bits = 16;      // meaningful bits per sample
  bool is_float = false;         // IEEE float (container 32)

  uint32_t BlockAlign() const { return channels * (container_bits / 8u); }
  bool operator==(const Format& other) const;
  bool operator!=(const Format& other) const { return !(*this == other); }
};

// Reads a WAVEFORMATEX / WAVEFORMATEXTENSIBLE. False for a null, inconsistent or unknown format
// (block align or byte rate that do not follow from the other fields, a sub-format other than
// PCM or IEEE float, an extensible record with cbSize below 22).
bool ParseWaveFormat(const WAVEFORMATEX* wave, Format* out);
// The stricter reading of a driver (and of the endpoints' Initialize and IsFormatSupported):
// besides what ParseWaveFormat checks, an extensible record needs cbSize exactly 22, valid bits
// from 1 to the container, and a channel mask with one bit per channel; a plain PCM (16-bit) or
// IEEE float record needs cbSize 0 and at most 2 channels.
bool IsConsistentWaveFormat(const WAVEFORMATEX* wave);
// Builds the WAVEFORMATEXTENSIBLE record (tag 0xFFFE, cbSize 22) for `format`. Channel mask:
// front centre for mono, front left and right for stereo, the lowest `channels` speaker
// positions otherwise.
WAVEFORMATEXTENSIBLE MakeWaveFormat(const Format& format);

// A device text property: a string, absent (GetValue answers VT_EMPTY), or present with another
// type (GetValue answers VT_UI4).
struct DeviceText {
  enum class Kind { kString, kMissing, kNotString };
  Kind kind = Kind::kMissing;
  std::wstring text;

  static DeviceText String(std::wstring value) { return {Kind::kString, std::move(value)}; }
  static DeviceText Missing() { return {Kind::kMissing, {}}; }
  static DeviceText NotString() { return {Kind::kNotString, {}}; }
};

// What a capture device delivers. The signal goes into channel 0; every other channel carries
// the constant `other_channels` so that a reader of the wrong channel is caught.
struct CaptureSource {
  enum class Kind {
    kSilence,        // zeros
    kSine,           // amplitude * sin(2 pi frequency t), phase 0 at the stream's first frame
    kImpulse,        // `amplitude` at every `period_frames`-th frame (first at frame 0), else 0
    kWav,            // channel 0 of `wav_path`, looped, converted to the stream's layout
    kSilentFlagged,  // the sine's data but every packet flagged AUDCLNT_BUFFERFLAGS_SILENT
  };
  Kind kind = Kind::kSilence;
  double frequency_hz = 440.0;   // kSine, kSilentFlagged
  double amplitude = 0.5;        // kSine, kImpulse, kSilentFlagged; full scale is 1.0
  uint32_t period_frames = 480;  // kImpulse
  std::string wav_path;          // kWav; a Windows path in the DLL build
  double other_channels = 0.25;  // value of channels 1.. in every frame
};

// When a device leaves (as an unplugged USB adapter does) and comes back, without a test's help.
struct RemovalSchedule {
  // Removed right after it has played this many periods: every period that a started stream on
  // the device plays counts one (a stalled capture device plays none). -1: never.
  int64_t after_periods = -1;
  // Removed when the clock reaches this time (see VirtualAudio::ClockTime), ms. -1: never.
  int64_t at_ms = -1;
  // Brought back this long after any removal (scheduled or RemoveDevice), ms. -1: stays away.
  int64_t return_after_ms = -1;
};

// How a device answers for IAudioClient2 and IAudioClient3.
enum class AudioClient3Support {
  kImplemented,     // QueryInterface and Activate give them, and their methods work
  kMissing,         // QueryInterface and Activate answer E_NOINTERFACE, as before Windows 10
  kNotImplemented,  // given, but the IAudioClient3 methods answer E_NOTIMPL (Wine 8.0's drivers)
};

// Events signalled after their period's end, as when the audio thread is woken late. The device
// keeps its pace: the period is played on time and only the event comes late. Amounts outside
// 0..10 s are held at the nearer limit, with a line on standard error.
struct LateWakes {
  // Each period's event comes late by a random amount from 0 to this (100 ns); 0: on time.
  REFERENCE_TIME max_late = 0;
  uint64_t seed = 1;  // the same seed gives the same amounts in the same order
  struct Scripted {
    uint64_t period = 0;      // the nth period (from 1) of each stream since its Start
    REFERENCE_TIME late = 0;  // 100 ns; replaces the random amount for that period
  };
  std::vector<Scripted> scripted;
};

// What a device's late wakes did so far, for a test to bound what it measures.
struct LateWakeRecord {
  uint64_t late_signals = 0;   // events signalled late
  REFERENCE_TIME largest = 0;  // the largest lateness applied, 100 ns
};

// Times reported with the positions that wander as a real driver's do (interrupt latency, a
// position taken from the hardware a little before or after the counter is read): every capture
// packet's time and every IAudioClock::GetPosition time of the device's streams is off by a
// uniform random amount from -max to +max, drawn per packet as it is captured and per reading.
// Positions stay exact. A packet's time never reads below 1 (0 means "unknown" to a client), a
// reading's never below 0. A bound outside 0..10 s is held at the nearer limit, with a line on
// standard error.
struct TimeJitter {
  REFERENCE_TIME max = 0;  // 100 ns; 0: exact times
  uint64_t seed = 1;       // the same seed gives the same amounts in the same order
};

// How IAudioClock positions move within a period.
enum class PositionMovement {
  kSmooth,   // evenly through each period at the device's pace
  kStepped,  // shared streams: a whole period at each period end, none in between (exclusive
             // streams stay smooth), as many shared-mode drivers report it
};

struct DeviceConfig {
  std::wstring id;                            // endpoint id (GetId, GetDevice); unique
  EDataFlow flow = eCapture;                  // eCapture or eRender
  bool active = true;                         // inactive: DEVICE_STATE_DISABLED, Activate fails
  DeviceText friendly_name;                   // PKEY_Device_FriendlyName
  DeviceText description;                     // PKEY_Device_DeviceDesc
  std::vector<Format> exclusive_formats;      // the only formats exclusive mode accepts
  REFERENCE_TIME default_period = 100000;     // 100 ns units
  REFERENCE_TIME minimum_period = 30000;      // 100 ns units
  Format mix_format{48000, 2, 32, 32, true};  // shared-mode format (GetMixFormat)
  uint32_t shared_buffer_frames = 1056;       // shared-mode buffer length, frames
  // Exclusive buffers must be a whole multiple of this many frames (0: any length). Otherwise
  // Initialize answers AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED and GetBufferSize the next multiple.
  uint32_t buffer_alignment_frames = 0;
  bool zero_buffer = false;  // Initialize succeeds but GetBufferSize reports 0 frames
  // Another program holds it: exclusive mode and shared Initialize answer DEVICE_IN_USE.
  bool held_exclusively = false;
  // The user turned off "allow applications to take exclusive control": exclusive
  // IsFormatSupported and Initialize answer AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED.
  bool exclusive_not_allowed = false;
  CaptureSource source;         // capture devices only
  std::string output_wav_path;  // render devices: rewritten on every Stop and final Release
  // How far the device's clock runs fast (+) or slow (-), parts per million, -1000..1000: each
  // period lasts period * 1e6 / (1e6 + clock_ppm) of system time. Outside the range it is held
  // at the limit (NaN: taken as 0), with a line on standard error.
  double clock_ppm = 0.0;
  RemovalSchedule removal;
  // Not there at all (neither enumerated under any state nor found by GetDevice) until the clock
  // reaches this time, ms; then it arrives (OnDeviceAdded). -1: there from the start.
  int64_t arrive_at_ms = -1;
  // Becomes its flow's default endpoint when the clock reaches this time, ms, as by
  // SetDefaultDevice. -1: never.
  int64_t default_at_ms = -1;
  // Render devices: the recording keeps only its first this many frames and counts the rest
  // (RenderedAudio::unrecorded_frames); `no_recording` keeps none. Under-runs are counted either
  // way, and the output WAV holds what was kept.
  static constexpr uint64_t kRecordAll = UINT64_MAX;
  uint64_t record_frames_limit = kRecordAll;
  bool no_recording = false;

  // Shared-mode engine periods (IAudioClient3), frames at the mix rate. The default engine
  // period is `default_period` in frames; a period asked of InitializeSharedAudioStream must be a
  // multiple of the fundamental from the minimum to the maximum (0: the default period).
  uint32_t engine_fundamental_frames = 32;
  uint32_t engine_minimum_frames = 128;
  uint32_t engine_maximum_frames = 0;
  // Another program holds the engine at this period (frames; 0: none): every shared stream runs
  // at it and InitializeSharedAudioStream with another period answers
  // AUDCLNT_E_ENGINE_PERIODICITY_LOCKED.
  uint32_t engine_period_held_frames = 0;
  AudioClient3Support audio_client3 = AudioClient3Support::kImplemented;
  LateWakes late_wakes;
  TimeJitter time_jitter;
  PositionMovement position_movement = PositionMovement::kSmooth;
  // Render streams: the first pass heard after each Start is counted by no position, as on a
  // device whose output starts a pass after the stream does. The position reads a period less
  // than the frames heard from then on: the recording's frame p is heard while it reads p less
  // the frames of the uncounted passes.
  bool position_late_start = false;
  // IAudioClient::Initialize and IAudioClient3::InitializeSharedAudioStream take this long before
  // they answer, whatever they answer, ms (held at 10 s): the real-time clock sleeps, the manual
  // clock moves on by as much and plays what falls due meanwhile.
  uint32_t initialize_delay_ms = 0;
};

// One call the engine made, for asserting the set-up sequence. Streaming calls (capture
// GetNextPacketSize/GetBuffer/ReleaseBuffer, render GetBuffer/ReleaseBuffer,
// IAudioClient::GetCurrentPadding, IAudioClock::GetPosition) are only counted, not logged (see
// `CallCount`).
struct CallRecord {
  std::string method;   // "IAudioClient::Initialize"
  std::wstring device;  // device id; empty for enumerator calls
  HRESULT result = S_OK;
  int share_mode = -1;             // Initialize, IsFormatSupported; -1 for other calls
  DWORD stream_flags = 0;          // Initialize
  REFERENCE_TIME duration = 0;     // Initialize: buffer duration, 100 ns
  REFERENCE_TIME periodicity = 0;  // Initialize: periodicity, 100 ns
  UINT32 period_frames = 0;        // InitializeSharedAudioStream: the period asked for
  bool has_format = false;         // Initialize, IsFormatSupported with a readable format
  Format format;
  int flow = -1;  // EnumAudioEndpoints, GetDefaultAudioEndpoint
  // The record as passed to Initialize or IsFormatSupported (all 0 for a null one); valid bits
  // and channel mask only from an extensible record with cbSize of at least 22.
  bool has_record = false;
  WORD format_tag = 0;
  WORD cb_size = 0;
  WORD valid_bits = 0;
  DWORD channel_mask = 0;
};

// Where and how often an injected failure strikes.
struct FailWhen {
  std::wstring device;  // only calls on this device id; empty: any device (and the enumerator)
  int nth = 0;          // only the nth matching call (1-based) after FailCall; 0: every call
};

// Every buffer a render device was given, in order.
struct RenderedBuffer {
  uint32_t frames = 0;
  DWORD flags = 0;         // as passed to ReleaseBuffer
  size_t byte_offset = 0;  // where its frames start in `RenderedAudio::bytes`
  // Not written by the program: the silence (zero bytes) the device played when a period found
  // fewer frames queued than it takes, at the moment of that period, after the frames it did play.
  bool underrun = false;
};

// Snapshot of a render sink: everything written to one render device since its last reset,
// with the silence of under-runs where the device played it, so the recording keeps real time.
// A stream opened in another format than the recorded one starts a new recording.
struct RenderedAudio {
  Format format;
  bool exclusive = false;      // the recording stream's share mode
  std::vector<uint8_t> bytes;  // frames exactly as written, concatenated
  std::vector<RenderedBuffer> buffers;
  uint64_t underrun_frames = 0;    // silence played for lack of frames (kept or not)
  uint64_t unrecorded_frames = 0;  // frames past DeviceConfig::record_frames_limit, not kept
  // Moments when the real-time clock itself woke late (the host held the process up): the
  // recording's length then, and by how much (100 ns). A real device's clock never stops, so
  // what the engine did around these moments says more about the host than about the engine.
  struct HostStall {
    uint64_t frame = 0;
    REFERENCE_TIME late = 0;
  };
  std::vector<HostStall> host_stalls;
  // At each Start of a stream that records here, while a capture stream plays: the recording's
  // length then, and how long after each of the capture stream's period ends this stream's own
  // periods end (100 ns, the latest started capture stream). A packet captured at one waits this
  // long for the render wake that takes it.
  struct WakeOffset {
    uint64_t frame = 0;
    REFERENCE_TIME offset = 0;
  };
  std::vector<WakeOffset> wake_offsets;

  size_t FrameCount() const;
  // Channel `channel` as doubles in -1..1 (integers scaled by 2^-(bits-1)); buffers flagged
  // AUDCLNT_BUFFERFLAGS_SILENT read as zeros. Empty for a channel out of range.
  std::vector<double> Channel(int channel) const;
  // Writes a RIFF WAVE file: in the recorded format (16-bit, 24-bit, 32-bit integer or 32-bit
  // float) or, with `as_float`, converted to 32-bit float. Silent buffers are written as zeros.
  // False (with a line on standard error) when the file cannot be written.
  bool WriteWav(const std::string& path, bool as_float = false) const;
  // `host_stalls` as text, one "<frame> <ms late>" line each; false when it cannot be written.
  bool WriteHostStalls(const std::string& path) const;
  // `wake_offsets` likewise, one "<frame> <ms>" line each.
  bool WriteWakeOffsets(const std::string& path) const;
};

// Live objects and resources, for showing that a start/stop cycle leaks nothing. While
// registered, the class table's IClassFactory counts as one object with one reference.
struct Audit {
  std::map<std::string, int> objects;  // live COM objects by interface name, e.g. "IAudioClient"
  int total_objects = 0;
  long references = 0;  // outstanding references held on all live objects
  // Open event handles in the process (natively); under Windows every open handle of the
  // process (GetProcessHandleCount), so compare two audits rather than read one. -1: unknown.
  long event_handles = -1;
  long co_task_mem = -1;    // live CoTaskMemAlloc blocks; -1 when unknown
  int started_streams = 0;  // streams between Start and Stop
  // Endpoint notification callbacks that would hang or break on Windows, since the system was
  // created: Register/UnregisterEndpointNotificationCallback called inside a callback, the last
  // reference to one of the system's objects released inside one, a callback that took longer
  // than 5 ms (15 under the sanitizers). One description per misuse, e.g. "OnDeviceAdded took 12 ms
  // (limit 5 ms)".
  int notification_misuse = 0;
  std::vector<std::string> notification_misuse_log;
};

enum class ClockMode {
  // A clock thread signals each started stream once per period of wall time; endpoint
  // notifications are delivered as soon as their changes happen.
  kRealTime,
  // Nothing happens until `Tick`, `StepClock` or `AdvanceClock`; endpoint notifications wait for
  // `DeliverNotifications`.
  kManual,
};

class VirtualAudio {
 public:
  VirtualAudio();
  // Unregisters the class and stops the clock and the notification thread (waiting for a
  // callback under way): no notification follows. COM objects still held stay usable.
  ~VirtualAudio();
  VirtualAudio(const VirtualAudio&) = delete;
  VirtualAudio& operator=(const VirtualAudio&) = delete;

  // Adds or replaces the device with `config.id`. Streams already open keep their settings. A
  // new device sends OnDeviceAdded (at its arrival when it has `arrive_at_ms`); a replaced one
  // whose state changed, OnDeviceStateChanged.
  void AddDevice(const DeviceConfig& config);
  // Takes the device away at once, as when it is unplugged: it is no longer active (state
  // DEVICE_STATE_NOTPRESENT, not a default endpoint), its streams stop, and every call on an
  // audio, capture or render client activated before, and IMMDevice::Activate, answers
  // AUDCLNT_E_DEVICE_INVALIDATED. Those clients stay invalidated after the device returns.
  // Sends OnDeviceStateChanged(id, DEVICE_STATE_NOTPRESENT). False for an unknown id.
  bool RemoveDevice(const std::wstring& id);
  // Brings a removed device back; clients activated from now on work. Sends
  // OnDeviceStateChanged with its state again. False for an unknown id.
  bool ReturnDevice(const std::wstring& id);
  // The device GetDefaultAudioEndpoint answers for its flow while it is active and present;
  // otherwise (and by default) the first active one. Whatever changes the device that
  // GetDefaultAudioEndpoint answers sends OnDefaultDeviceChanged once per role.
  void SetDefaultDevice(EDataFlow flow, const std::wstring& id);
  // Removes devices, failures, call log, recordings, stall flags, notification registrations
  // and undelivered notifications, and waits for a callback under way; the clock mode and the
  // audit's misuse record stay.
  void Reset();
  // Builds the system from the configuration text (see README.md). False with one line on
  // standard error per bad line; good lines still apply.
  bool ParseConfig(const std::string& text);
  bool LoadConfigFile(const std::string& path);

  // Makes CoCreateInstance(kClsidMMDeviceEnumerator) reach this system (CoRegisterClassObject,
  // multiple use, in-process) until Unregister or destruction; S_FALSE when already registered.
  // Host build: call on a thread where COM is initialised. Windows: any thread (a helper thread
  // in the multithreaded apartment holds the registration, where the engine's audio thread sees
  // it). Register and Unregister on one thread.
  HRESULT Register();
  void Unregister();
  // A new enumerator on this system without COM registration (caller owns the reference).
  IMMDeviceEnumerator* CreateEnumerator();

  // Injects `hr` into the call named "Interface::Method", e.g. "IAudioClient::Initialize",
  // "IMMDeviceEnumerator::EnumAudioEndpoints", "IAudioCaptureClient::GetBuffer". Output
  // parameters are nulled or zeroed as a failing call does.
  void FailCall(const std::string& method, HRESULT hr, const FailWhen& when = {});
  void ClearFailures();

  std::vector<CallRecord> Calls() const;
  // Calls of `method` (streaming calls included), on `device` or on any when empty.
  int CallCount(const std::string& method, const std::wstring& device = {}) const;
  void ClearCalls();
  // Keeps the set-up calls for Calls() (on by default). Off, Calls() stays empty and a long run
  // of starts and stops does not grow by its log; CallCount counts either way.
  void SetCallLog(bool keep);

  void SetClockMode(ClockMode mode);
  // Advances every started stream by `periods` periods: a capture stream queues one packet of
  // a period and signals its event; a render stream consumes one period of queued frames and
  // signals. Each stream moves one period per step whatever its length; the clock time stays.
  // Only in manual mode (ignored otherwise).
  void Tick(int periods = 1);
  // Manual mode, by time: moves the clock to the earliest end of a started stream's period or
  // late event (DeviceConfig::late_wakes), plays every period that ends (or signals every late
  // event due) at that instant, and returns the new clock time (100 ns).
  // -1, and the clock stays, when no stream is started (or in real-time mode).
  REFERENCE_TIME StepClock();
  // Manual mode: plays everything due within `duration` (100 ns) in time order and ends exactly
  // at the current time + `duration`. Ignored in real-time mode.
  void AdvanceClock(REFERENCE_TIME duration);
  // 100 ns units: the manual clock's time, or the time since the system was created.
  REFERENCE_TIME ClockTime() const;
  // Delivers every endpoint notification queued so far on the notification thread, in order,
  // and returns once their callbacks have returned, with the number of callbacks made. The way
  // to deliver with the manual clock: Tick, StepClock and AdvanceClock only queue the
  // notifications of the device events they play. With the real-time clock it waits for the
  // ones queued so far. 0 when called inside a callback.
  int DeliverNotifications();
  // A stalled capture device queues nothing and signals nothing until un-stalled.
  void SetCaptureStalled(const std::wstring& id, bool stalled);

  RenderedAudio Rendered(const std::wstring& id) const;
  void ClearRendered(const std::wstring& id);
  // Capture packets dropped because the reader fell behind (an exclusive stream holds 2 packets,
  // a shared one as many as fit in its buffer).
  int CaptureOverruns(const std::wstring& id) const;
  // Render periods that found fewer frames queued than a period.
  int RenderUnderruns(const std::wstring& id) const;
  // Frames of silence those periods played in place of the missing ones.
  uint64_t RenderUnderrunFrames(const std::wstring& id) const;
  // The late wakes applied to the device's streams so far.
  LateWakeRecord LateWakesApplied(const std::wstring& id) const;

  Audit TakeAudit() const;

  std::shared_ptr<SystemState> state() const { return state_; }

 private:
  std::shared_ptr<SystemState> state_;
  std::unique_ptr<ClassRegistration> registration_;
};

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_VIRTUAL_AUDIO_H_
