#include "tests/audio/clocked_engine.h"

#include "guitar/audio_loop.h"
#include "guitar/open_streams.h"
#include "guitar/render_monitor.h"

namespace tonelark_test {
namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
constexpr REFERENCE_TIME kPrefillLimit = 2500000;  // 250 ms

}  // namespace

ClockedEngine::ClockedEngine(virtual_audio::VirtualAudio& audio, tonelark::Monitor& monitor)
    : audio_(audio), monitor_(monitor) {}

ClockedEngine::~ClockedEngine() { Close(); }

bool ClockedEngine::Start(REFERENCE_TIME render_offset) {
  tonelark::Monitor& m = monitor_;
  open_ = true;
  if (!tonelark::OpenStreams(m)) return false;
  m.pcm_sample_rate_ = m.capture_.info.sample_rate;
  m.PreparePcmPool(tonelark::PcmChunkSamples(m.pcm_sample_rate_));
  tonelark::ConfigureMonitoring(m);
  m.monitoring_.Restart();
  m.glitches_.RestartCapturePositions();
  if (FAILED(m.capture_.client->Start())) return false;
  m.capture_.started = true;
  capture_start_ = audio_.ClockTime();
  while (m.monitoring_.usable() < m.monitoring_.PrimeFill() &&
         audio_.ClockTime() - capture_start_ < kPrefillLimit) {
    if (audio_.StepClock() < 0) break;
    tonelark::ProcessCapture(m);
  }
  if (render_offset > 0) audio_.AdvanceClock(render_offset);
  tonelark::ProcessCapture(m);
  tonelark::RenderMonitor(m);
  if (FAILED(m.render_.client->Start())) return false;
  m.render_.started = true;
  // The device takes its first period at the end of one and plays it in the next: the recording's
  // first frame is heard a period after the start.
  render_start_ = Now() + static_cast<double>(m.render_.period_frames) / m.render_.info.sample_rate;
  tonelark::PublishStreams(m, m.device_name_);
  m.device_watcher_.Start(static_cast<DWORD>(audio_.ClockTime() / 10000));
  return true;
}

void ClockedEngine::ServeSignalled() {
  const HANDLE events[2] = {monitor_.render_.event.Get(), monitor_.capture_.event.Get()};
  while (true) {
    const DWORD signalled = WaitForMultipleObjects(2, events, FALSE, 0);
    if (signalled != WAIT_OBJECT_0 && signalled != WAIT_OBJECT_0 + 1) return;
    // Index 0 of the audio thread's wait is its stop event.
    tonelark::ServeWake(monitor_, signalled + 1, static_cast<DWORD>(audio_.ClockTime() / 10000));
  }
}

void ClockedEngine::RunUntil(double seconds) {
  const REFERENCE_TIME end =
      capture_start_ + static_cast<REFERENCE_TIME>(seconds * kUnitsPerSecond);
  while (audio_.ClockTime() < end) {
    if (audio_.StepClock() < 0) return;
    ServeSignalled();
  }
}

void ClockedEngine::Close() {
  if (!open_) return;
  tonelark::CloseStreams(monitor_);
  open_ = false;
}

double ClockedEngine::Now() const {
  return static_cast<double>(audio_.ClockTime() - capture_start_) / kUnitsPerSecond;
}

}  // namespace tonelark_test
