#include "guitar/device_watcher.h"

namespace tonelark {

void DeviceWatcher::Start(DWORD now) {
  invalidated_ = S_OK;
  capture_ = Streak{};
  render_ = Streak{};
  last_capture_ = now;
  last_render_ = now;
}

void DeviceWatcher::OnCall(Side side, HRESULT result, DWORD now) {
  Streak& streak = side == Side::kCapture ? capture_ : render_;
  if (SUCCEEDED(result)) {
    streak.failing = false;
    return;
  }
  if (result == AUDCLNT_E_DEVICE_INVALIDATED) invalidated_ = result;
  if (!streak.failing) {
    streak.failing = true;
    streak.since = now;
  }
  streak.code = result;
}

bool DeviceWatcher::Lost(DWORD now) const {
  if (FAILED(invalidated_)) return true;
  if (capture_.failing && Elapsed(capture_.since, now, kFailureLimitMs)) return true;
  if (render_.failing && Elapsed(render_.since, now, kFailureLimitMs)) return true;
  return Elapsed(last_capture_, now, kSilenceLimitMs) ||
         Elapsed(last_render_, now, kSilenceLimitMs);
}

HRESULT DeviceWatcher::LossCode(DWORD now) const {
  if (FAILED(invalidated_)) return invalidated_;
  if (capture_.failing && Elapsed(capture_.since, now, kFailureLimitMs)) return capture_.code;
  if (render_.failing && Elapsed(render_.since, now, kFailureLimitMs)) return render_.code;
  return kSilentDevice;
}

}  // namespace tonelark
