// One opened Core Audio stream: its audio client, the event the client signals once per period,
// its format and its buffer length. Used only on the audio thread (and by the monitor's teardown
// after that thread has been joined).
#ifndef GUITAR_AUDIO_STREAM_H_
#define GUITAR_AUDIO_STREAM_H_

#include <cstdint>

#include "guitar/heard_clock.h"
#include "platform/com_ptr.h"
#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace tonelark {

// The buffer durations an exclusive stream is tried with, in order (100 ns units).
struct ExclusiveDurations {
  REFERENCE_TIME values[5] = {};
  int count = 0;
};

// From the device's default and minimum periods (either may be 0 when unknown). Normally the
// minimum with a 10 ms floor, the default, then the minimum. With `low_latency` the minimum
// without the floor comes first, preceded by `preferred` when it is above 0 (the capture period,
// which the render side follows when the device allows it: never below the minimum); the normal
// list follows as the fallback.
ExclusiveDurations ExclusiveDurationsFor(REFERENCE_TIME default_period,
                                         REFERENCE_TIME minimum_period, bool low_latency,
                                         REFERENCE_TIME preferred = 0);

struct StreamInfo {
  int32_t sample_rate = 0;  // frames per second
  int32_t channels = 0;
  int32_t block_align = 0;  // bytes per frame, all channels
  bool is_float = false;    // samples are 32-bit IEEE floats
  bool exclusive = false;   // opened in exclusive mode
};

class AudioStream {
 public:
  AudioStream() = default;
  AudioStream(const AudioStream&) = delete;
  AudioStream& operator=(const AudioStream&) = delete;

  // One exclusive initialisation attempt with `duration` (100 ns units) as buffer duration and
  // periodicity, realigned once when the device asks for it.
  bool OpenExclusive(IMMDevice* device, const WAVEFORMATEXTENSIBLE& format,
                     REFERENCE_TIME duration);
  // Probes one exclusive format and tries the durations the device's periods give; logs nothing.
  // `low_latency` and `preferred` as for ExclusiveDurationsFor.
  bool TryExclusive(IMMDevice* device, const WAVEFORMATEXTENSIBLE& format, bool low_latency = false,
                    REFERENCE_TIME preferred = 0);
  // Shared mode in the device's mix format. A failed Initialize is logged under `step`. The period
  // is the engine's current one where the device tells it (a smaller one another stream holds).
  bool OpenShared(IMMDevice* device, const char* step = "shared init");
  // Shared mode at the device's smallest engine period (IAudioClient3), or the period another
  // program holds the engine at, and at least `floor_frames`; false, logging nothing, where the
  // device lacks the interface or refuses.
  bool OpenSharedLowLatency(IMMDevice* device, UINT32 floor_frames = 0);
  // Creates and registers the stream's event, reads the buffer size and takes the client. A
  // client that reports no buffer is released instead (it would keep the device busy) and the
  // call fails.
  bool Attach(platform::ComPtr<IAudioClient> new_client, const StreamInfo& new_info);
  // Releases the client and closes the event.
  void Close();

  platform::ComPtr<IAudioClient> client;
  platform::ScopedHandle event;  // auto-reset, registered with `client`
  StreamInfo info;
  UINT32 buffer_frames = 0;  // the client's buffer length in frames
  // Frames the device moves per period: the whole buffer in exclusive mode, the engine's default
  // period in shared mode.
  UINT32 period_frames = 0;
  bool started = false;  // Start succeeded and Stop has not run
  // The stream's clock, where the device has one: the position of the frame heard now (in
  // `clock_frequency` units per second) and the performance-counter time of that reading.
  platform::ComPtr<IAudioClock> clock;
  UINT64 clock_frequency = 0;
  // Render: the stream position the next frame written will be heard at, frames.
  UINT64 next_frame = 0;
  // Render: the last call wrote frames, so the device should find some queued.
  bool fed = false;
  // Render: when frame 0 was heard, from the clock's readings.
  HeardClock heard_clock;
  // The engine period asked for through IAudioClient3, frames; 0 for any other stream.
  UINT32 engine_period = 0;
};

// How one channel's sample of a frame is stored.
enum class SampleLayout { kNone, kFloat32, kInt16, kInt24, kInt32 };

// From the bytes per sample (block align / channels) and the float flag; kNone for any layout
// the engine does not convert, including a stream without channels.
SampleLayout LayoutOf(const StreamInfo& info);

// True for WAVE_FORMAT_IEEE_FLOAT and for an extensible format with the float sub-format.
bool IsFloatFormat(const WAVEFORMATEX& format);

// Writes "Tonelark <step> failed 0x%08lx\n" to the debugger output, unless a QuietFailures
// scope is open on this thread.
void LogFailure(const char* step, HRESULT code);

// While one lives, LogFailure writes nothing on its thread: the audio thread's repeated attempts
// to re-open lost devices would otherwise write the same lines every half second.
class QuietFailures {
 public:
  QuietFailures();
  ~QuietFailures();
  QuietFailures(const QuietFailures&) = delete;
  QuietFailures& operator=(const QuietFailures&) = delete;

 private:
  bool was_quiet_;
};

}  // namespace tonelark

#endif  // GUITAR_AUDIO_STREAM_H_
