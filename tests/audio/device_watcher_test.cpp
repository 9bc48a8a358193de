// When the audio thread gives its devices up: an invalidated device at once, failures that
// persist for half a second, and a second of silence from either side.
#include "guitar/device_watcher.h"

#include "gtest/gtest.h"
#include "guitar/period_policy.h"

namespace tonelark_test {
namespace {

using tonelark::DeviceWatcher;
using Side = DeviceWatcher::Side;

constexpr HRESULT kInvalidated = AUDCLNT_E_DEVICE_INVALIDATED;
constexpr HRESULT kBusy = AUDCLNT_E_DEVICE_IN_USE;

// A watcher whose streams started at `start`, with both sides active every 10 ms up to `now`.
// Later questions must not ask about an earlier time: the tick count only moves on.
DeviceWatcher Active(DWORD start, DWORD now) {
  DeviceWatcher watcher;
  watcher.Start(start);
  for (DWORD t = start; t - start <= now - start; t += 10) {
    watcher.OnCaptureActivity(t);
    watcher.OnRenderActivity(t);
  }
  return watcher;
}

TEST(DeviceWatcherTest, AnInvalidatedDeviceIsLostAtOnceWithItsCode) {
  for (Side side : {Side::kCapture, Side::kRender}) {
    DeviceWatcher watcher = Active(1000, 1000);
    EXPECT_FALSE(watcher.Lost(1000));
    watcher.OnCall(side, kInvalidated, 1000);
    EXPECT_TRUE(watcher.Lost(1000));
    EXPECT_EQ(watcher.LossCode(1000), kInvalidated);
    // A later success does not bring it back: only a new start does.
    watcher.OnCall(side, S_OK, 1001);
    EXPECT_TRUE(watcher.Lost(1001));
    watcher.Start(2000);
    EXPECT_FALSE(watcher.Lost(2000));
  }
}

TEST(DeviceWatcherTest, OtherFailuresCountOnlyWhenTheyLastHalfASecond) {
  DeviceWatcher watcher = Active(0, 1000);
  watcher.OnCall(Side::kRender, kBusy, 600);
  watcher.OnCall(Side::kRender, E_FAIL, 1000);
  EXPECT_FALSE(watcher.Lost(1099));
  EXPECT_TRUE(watcher.Lost(1100));
  EXPECT_EQ(watcher.LossCode(1100), E_FAIL) << "the latest failure's code";

  // A success in between starts the count again; an S_ code is a success.
  DeviceWatcher again = Active(0, 1000);
  again.OnCall(Side::kCapture, E_FAIL, 1000);
  again.OnCall(Side::kCapture, AUDCLNT_S_BUFFER_EMPTY, 1400);
  again.OnCall(Side::kCapture, E_FAIL, 1450);
  EXPECT_FALSE(again.Lost(1900));
  EXPECT_TRUE(again.Lost(1950));
  // Failures of the other side do not add up with this one's.
  DeviceWatcher sides = Active(0, 1000);
  sides.OnCall(Side::kCapture, E_FAIL, 1000);
  sides.OnCall(Side::kCapture, S_OK, 1300);
  sides.OnCall(Side::kRender, E_FAIL, 1300);
  EXPECT_FALSE(sides.Lost(1700));
}

TEST(DeviceWatcherTest, ASecondWithoutCaptureOrRenderActivityIsALoss) {
  DeviceWatcher capture_quiet;
  capture_quiet.Start(0);
  for (DWORD t = 0; t <= 990; t += 10) capture_quiet.OnRenderActivity(t);
  EXPECT_FALSE(capture_quiet.Lost(999));
  EXPECT_TRUE(capture_quiet.Lost(1000));
  EXPECT_EQ(capture_quiet.LossCode(1000), DeviceWatcher::kSilentDevice);

  DeviceWatcher render_quiet;
  render_quiet.Start(0);
  for (DWORD t = 0; t <= 990; t += 10) render_quiet.OnCaptureActivity(t);
  EXPECT_TRUE(render_quiet.Lost(1000));
}

TEST(DeviceWatcherTest, TheTickCountWrapChangesNothing) {
  const DWORD start = 0xFFFFFF00u;  // 256 ms before the wrap
  DeviceWatcher watcher = Active(start, start + 300);
  EXPECT_FALSE(watcher.Lost(start + 300));
  watcher.OnCall(Side::kCapture, E_FAIL, start + 100);
  EXPECT_FALSE(watcher.Lost(start + 599));
  EXPECT_TRUE(watcher.Lost(start + 600));
  EXPECT_FALSE(Active(start, start + 900).Lost(start + 1200));
  EXPECT_TRUE(Active(start, start + 900).Lost(start + 1900));
}

// The period rises for under-runs that go on, not for one moment: the first second after an open
// and the cushion's own answer come first, and a burst of under-run wakes is one episode.
TEST(PeriodPolicyTest, OnlyEpisodesThatGoOnAfterTheCushionGrewRaiseThePeriod) {
  tonelark::PeriodPolicy settling;
  settling.Opened(0);
  for (DWORD t = 0; t < 1000; t += 10) EXPECT_FALSE(settling.OnUnderrun(t, true)) << t;

  tonelark::PeriodPolicy cushion_first;
  cushion_first.Opened(0);
  for (DWORD t = 1000; t < 5000; t += 250) EXPECT_FALSE(cushion_first.OnUnderrun(t, false)) << t;

  tonelark::PeriodPolicy bursts;
  bursts.Opened(0);
  for (DWORD burst : {2000u, 2400u}) {
    for (DWORD t = burst; t < burst + 150; t += 3) EXPECT_FALSE(bursts.OnUnderrun(t, true)) << t;
  }
  EXPECT_TRUE(bursts.OnUnderrun(2800, true)) << "the third episode within five seconds";

  tonelark::PeriodPolicy spread;
  spread.Opened(0xFFFFFF00u);  // across the tick count's wrap
  for (DWORD t : {1500u, 4000u, 6600u, 9200u}) {
    EXPECT_FALSE(spread.OnUnderrun(0xFFFFFF00u + t, true)) << t;
  }
  spread.Opened(0xFFFFFF00u + 9300);
  EXPECT_FALSE(spread.OnUnderrun(0xFFFFFF00u + 9400, true)) << "an open starts afresh";
}

}  // namespace
}  // namespace tonelark_test
