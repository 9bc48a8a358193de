// Entry points through which the host window reaches the guitar audio engine. All run on the
// user-interface thread.
#ifndef GUITAR_GUITAR_MONITOR_H_
#define GUITAR_GUITAR_MONITOR_H_

#include "channels/binary_messenger.h"
#include "guitar/monitor.h"
#include "platform/win32.h"

// Binds the engine to `hwnd` (target of tonelark::kPcmReadyMessage) and registers "tonelark/guitar"
// and "tonelark/guitar_pcm" on `messenger`.
void GuitarMonitorAttach(HWND hwnd, flutter::BinaryMessenger* messenger);
// Stops the audio thread and unregisters both channels; harmless when not attached.
void GuitarMonitorDetach();
// Drains the PCM queue and returns true for tonelark::kPcmReadyMessage; false for any other
// message.
bool GuitarMonitorHandleMessage(UINT message);

#endif  // GUITAR_GUITAR_MONITOR_H_
