#include "guitar/device_watcher.h"

namespace tonelark {

void DeviceWatcher::Start(DWORD now) {
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
  if (result == AUDCLNT_E_DEVICE_INVALIDATED) streak.invalidated = true;
  if (!streak.failing) {
    streak.failing = true;
    streak.since = now;
  }
  streak.code = result;
}

bool DeviceWatcher::SideLost(const Streak& streak, DWORD last_activity, DWORD now) const {
  if (streak.invalidated) return true;
  if (streak.failing && Elapsed(streak.since, now, kFailureLimitMs)) return true;
  return Elapsed(last_activity, now, kSilenceLimitMs);
}

bool DeviceWatcher::Lost(DWORD now) const { return CaptureLost(now) || RenderLost(now); }

HRESULT DeviceWatcher::LossCode(DWORD now) const {
  if (capture_.invalidated || render_.invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (capture_.failing && Elapsed(capture_.since, now, kFailureLimitMs)) return capture_.code;
  if (render_.failing && Elapsed(render_.since, now, kFailureLimitMs)) return render_.code;
  return kSilentDevice;
}

}  // namespace tonelark
