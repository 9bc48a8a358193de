// The device side of the virtual endpoints: class factory, enumerator, collection, device and
// property store. Each call returns an object the caller owns (one reference).
#ifndef STANDINS_AUDIO_DEVICE_OBJECTS_H_
#define STANDINS_AUDIO_DEVICE_OBJECTS_H_

#include <memory>

#include "platform/win32.h"
#include "standins/audio/system_state.h"

namespace virtual_audio {

// The class object of CLSID_MMDeviceEnumerator; every CreateInstance gives a new enumerator.
IClassFactory* NewClassFactory(std::shared_ptr<SystemState> state);
IMMDeviceEnumerator* NewEnumerator(std::shared_ptr<SystemState> state);

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_DEVICE_OBJECTS_H_
