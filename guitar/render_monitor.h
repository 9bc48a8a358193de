// Monitoring output: the captured guitar from the monitoring ring, scaled by the monitoring
// volume and resampled to the render rate, mixed with the metronome click.
//
// Audio thread only. Reads `speaker_` and `volume_` and takes `click_request_` (atomics written
// by the user-interface thread); every other field it touches belongs to the audio thread.
#ifndef GUITAR_RENDER_MONITOR_H_
#define GUITAR_RENDER_MONITOR_H_

#include "guitar/monitor.h"

namespace tonelark {

// Fills the render buffer once: a whole period for an exclusive stream; for a shared one, a top-up
// to one device period plus a small margin of queued audio (the system mixer takes a whole period
// on each pass). The guitar comes from the monitoring path, which primes after it started afresh.
// Allocates nothing and takes no lock. Returns the failing call's
// result, S_OK otherwise (also when nothing was due).
HRESULT RenderMonitor(Monitor& monitor);

// Points the monitoring path at the streams now open (a capture packet is one capture period, a
// render call one render period, plus the shared margin in shared mode) and sizes the render
// call's scratch. Allocates only when the streams differ from the last ones.
void ConfigureMonitoring(Monitor& monitor);

// Frames a shared render stream keeps queued beyond one device period.
UINT32 SharedMarginFrames(int32_t render_rate, UINT32 period_frames);

}  // namespace tonelark

#endif  // GUITAR_RENDER_MONITOR_H_
