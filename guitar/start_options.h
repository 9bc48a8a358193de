// What "start" may ask of the audio engine beyond the defaults. Built on the user-interface thread
// before the audio thread starts, and read by that thread during its start-up only.
#ifndef GUITAR_START_OPTIONS_H_
#define GUITAR_START_OPTIONS_H_

#include "channels/encodable_value.h"

namespace tonelark {

struct StartOptions {
  // Exclusive streams at the devices' minimum period, without the 10 ms floor.
  bool low_latency = false;
  // Capture in shared mode when the adapter refuses exclusive mode.
  bool shared_capture = false;
  // Monitoring renders in shared mode, so that other programs stay audible; with `low_latency`
  // at the device's smallest engine period.
  bool share_speakers = false;

  // From the argument of "start": a map with "lowLatency", "sharedCapture" and "shareSpeakers". An
  // absent argument, null or anything other than a map gives the defaults; so does a missing key or
  // a value that is not a bool.
  static StartOptions FromArgument(const flutter::EncodableValue* argument);
};

}  // namespace tonelark

#endif  // GUITAR_START_OPTIONS_H_
