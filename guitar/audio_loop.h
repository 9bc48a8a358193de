// The audio thread: set-up, start, the capture/render loop and teardown.
//
// Threads: AudioLoop is the body of the thread that Monitor::StartAudio starts; ProcessCapture
// and CloseStreams run on that thread only (tests call them directly with no audio thread
// running). The thread shares with the user-interface thread only the monitor's atomics
// (`started_`, `speaker_`, `volume_`, `click_request_`, `hwnd_`), the events, and the PCM queue
// under `pcm_mutex_` (through Monitor::ProducePcmChunks).
#ifndef GUITAR_AUDIO_LOOP_H_
#define GUITAR_AUDIO_LOOP_H_

#include "guitar/monitor.h"

namespace tonelark {

// Opens and starts the streams, reports through `started_` and `ready_event_`, then serves the
// capture and render events until `stop_event_` is set, and tears everything down.
void AudioLoop(Monitor& monitor);

// Drains every capture packet available now into the monitoring ring and the PCM chunks.
void ProcessCapture(Monitor& monitor);

// Stops both clients and releases every stream object and event of the monitor.
void CloseStreams(Monitor& monitor);

}  // namespace tonelark

#endif  // GUITAR_AUDIO_LOOP_H_
