// Audio thread bodies and thread starters that stand in for the real audio path, so that tests
// can drive StartAudio through every outcome: success, failure, a report that never comes, and a
// thread that cannot be created.
#ifndef TESTS_GUITAR_FAKE_AUDIO_THREAD_H_
#define TESTS_GUITAR_FAKE_AUDIO_THREAD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "guitar/monitor.h"
#include "platform/win32.h"

namespace tonelark_test {

// What one fake audio thread run did; shared between the test and the thread.
struct FakeRuns {
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  bool Idle() const { return started.load() == finished.load(); }
};

// Reports the given outcome the way the audio thread does, then (on success) streams until asked
// to stop. `stream` runs on each pass of the loop.
inline std::function<void(tonelark::Monitor&)> ReportingBody(
    FakeRuns* runs, bool ok, int32_t rate, bool exclusive, const std::string& name,
    std::function<void(tonelark::Monitor&)> stream = {}) {
  return [=](tonelark::Monitor& monitor) {
    ++runs->started;
    monitor.device_name_ = name;
    monitor.sample_rate_ = ok ? rate : 0;
    monitor.render_exclusive_ = ok && exclusive;
    monitor.capture_.info.sample_rate = rate;
    monitor.started_ = ok;
    SetEvent(monitor.ready_event_.Get());
    if (ok) {
      monitor.speaker_.exchange(true);
      while (WaitForSingleObject(monitor.stop_event_.Get(), stream ? 0 : INFINITE) ==
             WAIT_TIMEOUT) {
        stream(monitor);
      }
    }
    ++runs->finished;
  };
}

// Sits silent until the stop request, then claims a successful start-up: a thread that missed
// the deadline and finished its start-up only afterwards.
inline std::function<void(tonelark::Monitor&)> LateBody(FakeRuns* runs) {
  return [runs](tonelark::Monitor& monitor) {
    ++runs->started;
    WaitForSingleObject(monitor.stop_event_.Get(), INFINITE);
    monitor.device_name_ = "Late Adapter";
    monitor.sample_rate_ = 48000;
    monitor.render_exclusive_ = true;
    monitor.started_ = true;
    SetEvent(monitor.ready_event_.Get());
    ++runs->finished;
  };
}

inline std::thread ThrowingStarter(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

inline std::thread EmptyStarter(std::function<void()>) { return std::thread(); }

}  // namespace tonelark_test

#endif  // TESTS_GUITAR_FAKE_AUDIO_THREAD_H_
