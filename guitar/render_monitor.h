// Monitoring output: the captured guitar from the monitoring ring, scaled by the monitoring
// volume and resampled to the render rate, mixed with the metronome click.
//
// Audio thread only. Reads `speaker_` and `volume_` and takes `click_request_` (atomics written
// by the user-interface thread); every other field it touches belongs to the audio thread.
#ifndef GUITAR_RENDER_MONITOR_H_
#define GUITAR_RENDER_MONITOR_H_

#include "guitar/monitor.h"

namespace tonelark {

// Fills the render buffer once: a whole period for an exclusive stream, a top-up to 6 ms of
// queued audio for a shared one. Allocates nothing and takes no lock.
void RenderMonitor(Monitor& monitor);

}  // namespace tonelark

#endif  // GUITAR_RENDER_MONITOR_H_
