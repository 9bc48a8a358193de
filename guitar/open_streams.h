// Stream set-up for one start of the audio thread: the device enumerator, the input and output
// devices, the exclusive capture stream, the render stream (exclusive when the device takes one of
// the render candidates, shared otherwise) and both service clients. Audio thread only.
#ifndef GUITAR_OPEN_STREAMS_H_
#define GUITAR_OPEN_STREAMS_H_

#include <array>
#include <cstdint>
#include <string>

#include "guitar/monitor.h"
#include "platform/win32.h"

namespace tonelark {

// 16-bit PCM: 48000 Hz mono, 48000 Hz stereo, 44100 Hz mono, 44100 Hz stereo, in that order.
std::array<WAVEFORMATEXTENSIBLE, 4> CaptureCandidates();

// At `rate` Hz (48000 when `rate` is not above 0): 16-bit stereo, 16-bit mono, packed 24-bit
// stereo, 32-bit float stereo, in that order.
std::array<WAVEFORMATEXTENSIBLE, 4> RenderCandidates(int32_t rate);

// Fills the monitor's capture_, render_, capture_client_ and render_client_, following
// `start_options_`, and puts the chosen input's name into `*name` (the monitor's device_name_
// when null) as soon as the input is found; true when both streams are initialised (not started)
// and both service clients are set. On failure whatever was opened stays in the fields for
// CloseStreams.
bool OpenStreams(Monitor& monitor, std::string* name = nullptr);

// Opens monitor.capture_ from the capture candidates; logs "exclusive capture" when none opens.
// With `low_latency`, each candidate is tried at the device's minimum period first.
bool OpenExclusiveCapture(Monitor& monitor, IMMDevice* device, bool low_latency = false);

// Opens monitor.capture_ as the start options say: exclusively, and with `shared_capture` in
// the device's mix format when exclusive mode is refused.
bool OpenCapture(Monitor& monitor, IMMDevice* device);

// Opens monitor.render_ from the render candidates at the capture rate, else in shared mode.
// With `low_latency` in the start options, each candidate is tried at the capture period first.
bool OpenRender(Monitor& monitor, IMMDevice* device);

// "Tonelark shared engine period <frames> frames" for a stream opened through IAudioClient3;
// nothing for any other.
void LogEnginePeriod(const AudioStream& stream);

// The render service client of monitor.render_; false when it cannot be had.
bool OpenRenderService(Monitor& monitor);

}  // namespace tonelark

#endif  // GUITAR_OPEN_STREAMS_H_
