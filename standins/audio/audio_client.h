// The stream side of the virtual endpoints: IAudioClient and the capture and render clients it
// hands out (capture, render, clock). They keep their audio client (and so the stream) alive.
#ifndef STANDINS_AUDIO_AUDIO_CLIENT_H_
#define STANDINS_AUDIO_AUDIO_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win32.h"
#include "standins/audio/system_state.h"

namespace virtual_audio {

// True when an audio client of the device answers for `iid`: IAudioClient always, IAudioClient2
// and IAudioClient3 unless the device lacks them.
bool AudioClientAnswers(const DeviceConfig& config, REFIID iid);

// A new, uninitialised audio client on the device `device_id` in its `incarnation` (one
// reference, the caller's). A removal of the device invalidates it for good.
IAudioClient* NewAudioClient(std::shared_ptr<SystemState> state, const std::wstring& device_id,
                             uint64_t incarnation);

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_AUDIO_CLIENT_H_
