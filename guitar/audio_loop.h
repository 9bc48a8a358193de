// The audio thread: set-up, start, the capture/render loop and teardown.
//
// Threads: AudioLoop is the body of the thread that Monitor::StartAudio starts; ProcessCapture
// and CloseStreams run on that thread only (tests call them directly with no audio thread
// running). The thread shares with the user-interface thread only the monitor's atomics
// (`started_`, `speaker_`, `volume_`, `click_request_`, `hwnd_`), the events, and the PCM queue
// under `pcm_mutex_` (through Monitor::ProducePcmChunks).
#ifndef GUITAR_AUDIO_LOOP_H_
#define GUITAR_AUDIO_LOOP_H_

#include <string>

#include "guitar/monitor.h"

namespace tonelark {

// Opens and starts the streams, reports through `started_` and `ready_event_`, then serves the
// capture and render events until `stop_event_` is set, and tears everything down. When the
// devices are lost it closes the streams, looks for the input every 500 ms and carries on once
// it is back.
void AudioLoop(Monitor& monitor);

// What one ProcessCapture pass got.
struct CaptureOutcome {
  HRESULT result = S_OK;  // the failing call's result, S_OK otherwise
  UINT32 frames = 0;      // frames taken from the device
};

// Drains every capture packet available now into the monitoring ring and the PCM chunks.
CaptureOutcome ProcessCapture(Monitor& monitor);

// One wake of the streaming loop, `woken` being what the wait on {stop, render event, capture
// event} returned: drains the capture, fills the render buffer when it is due (every wake for a
// shared render stream, render events only for an exclusive one), and tells the device watcher
// what happened at `now` (GetTickCount milliseconds).
void ServeWake(Monitor& monitor, DWORD woken, DWORD now);

// Opens the streams, pre-fills the ring and starts both streams; false (the failing start
// logged) otherwise, with what was opened left for CloseStreams. The chosen input's name goes to
// `*name` (the monitor's device_name_ when null).
bool StartStreams(Monitor& monitor, std::string* name = nullptr);

// Tells "status" about the streams now running, `name` being the input's.
void PublishStreams(Monitor& monitor, const std::string& name);

// Stops both clients and releases every stream object and event of the monitor.
void CloseStreams(Monitor& monitor);

}  // namespace tonelark

#endif  // GUITAR_AUDIO_LOOP_H_
