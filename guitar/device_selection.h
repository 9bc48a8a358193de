// Picks the guitar input adapter among the active capture endpoints by name, and the output
// endpoint that carries the monitoring signal. Runs on the audio thread, once per start.
#ifndef GUITAR_DEVICE_SELECTION_H_
#define GUITAR_DEVICE_SELECTION_H_

#include <string>

#include "platform/com_ptr.h"
#include "platform/win32.h"

namespace tonelark {

struct InputDevice {
  platform::ComPtr<IMMDevice> device;  // null when no endpoint matched
  std::string name;                    // display name, UTF-8; empty when nothing matched
  bool is_irig = false;                // chosen only through the "irig" pattern
};

// Returns the display name (the friendly name, or the description when that is empty) and sets
// `search_text` to "<friendly name> <description>" in lower case. When the property store cannot
// be opened the name is empty and `search_text` is left untouched.
std::wstring ReadDeviceNames(IMMDevice* device, std::wstring* search_text);

// The earliest capture endpoint naming a guitar adapter; an "irig" endpoint only when no adapter
// matched.
InputDevice FindInputDevice(IMMDeviceEnumerator* enumerator);

// For an iRig input, the first render endpoint naming "irig"; otherwise, or when there is none,
// the default console render endpoint. Null when neither can be had. `*is_default` (when given)
// tells whether the default was taken.
platform::ComPtr<IMMDevice> FindOutputDevice(IMMDeviceEnumerator* enumerator, bool is_irig,
                                             bool* is_default = nullptr);

// The default console render endpoint; null when there is none.
platform::ComPtr<IMMDevice> DefaultOutputDevice(IMMDeviceEnumerator* enumerator);

// The endpoint's id (empty when it cannot be read) and display name in UTF-8.
std::wstring EndpointId(IMMDevice* device);
std::string DisplayName(IMMDevice* device);

}  // namespace tonelark

#endif  // GUITAR_DEVICE_SELECTION_H_
