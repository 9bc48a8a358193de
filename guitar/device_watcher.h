// Decides when the audio devices are gone and when to look for them again.
//
// A device counts as lost when a streaming call answers AUDCLNT_E_DEVICE_INVALIDATED, when the
// capture side or the render side has failed every streaming call for 500 ms, or when no capture
// event or packet (or no render event) has arrived for 1 s: a device that vanished stops
// signalling, and an exclusive render stream is only called on its events. The audio thread then
// closes its streams and looks for the input again every 500 ms.
//
// Audio thread only. Times are GetTickCount milliseconds; differences are taken in 32-bit unsigned
// arithmetic, so the tick count's wrap does no harm.
#ifndef GUITAR_DEVICE_WATCHER_H_
#define GUITAR_DEVICE_WATCHER_H_

#include "platform/win32.h"

namespace tonelark {

class DeviceWatcher {
 public:
  static constexpr DWORD kFailureLimitMs = 500;
  static constexpr DWORD kSilenceLimitMs = 1000;
  static constexpr DWORD kRetryIntervalMs = 500;
  // The code reported for a device that went silent without a failing call: ERROR_TIMEOUT as an
  // HRESULT.
  static constexpr HRESULT kSilentDevice = static_cast<HRESULT>(0x800705B4u);

  enum class Side { kCapture, kRender };

  // Streams have just started: no failure, and the capture side counts as active now.
  void Start(DWORD now);
  // The outcome of one streaming call on `side`. Success (S_OK or an S_ code) ends that side's
  // failure streak.
  void OnCall(Side side, HRESULT result, DWORD now);
  // A capture event or a capture packet arrived.
  void OnCaptureActivity(DWORD now) { last_capture_ = now; }
  // A render event arrived.
  void OnRenderActivity(DWORD now) { last_render_ = now; }

  // Whether the devices must be treated as lost at `now`.
  bool Lost(DWORD now) const;
  // Whether only the render side is to blame: capture is well.
  bool RenderOnly(DWORD now) const { return RenderLost(now) && !CaptureLost(now); }
  // Why, as an HRESULT: the invalidating or last failing call's code, or kSilentDevice.
  HRESULT LossCode(DWORD now) const;

 private:
  struct Streak {
    bool failing = false;
    DWORD since = 0;
    HRESULT code = S_OK;
    bool invalidated = false;  // AUDCLNT_E_DEVICE_INVALIDATED seen
  };
  static bool Elapsed(DWORD since, DWORD now, DWORD limit) { return now - since >= limit; }
  bool SideLost(const Streak& streak, DWORD last_activity, DWORD now) const;
  bool CaptureLost(DWORD now) const { return SideLost(capture_, last_capture_, now); }
  bool RenderLost(DWORD now) const { return SideLost(render_, last_render_, now); }

  Streak capture_;
  Streak render_;
  DWORD last_capture_ = 0;
  DWORD last_render_ = 0;
};

}  // namespace tonelark

#endif  // GUITAR_DEVICE_WATCHER_H_
