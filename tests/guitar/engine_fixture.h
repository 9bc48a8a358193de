// A test fixture that plays the user interface: an engine from the stand-in, the program's
// messenger over it, a window that receives the PCM-ready message, and the one Monitor attached
// to both through the entry points the host window uses.
#ifndef TESTS_GUITAR_ENGINE_FIXTURE_H_
#define TESTS_GUITAR_ENGINE_FIXTURE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "channels/flutter_desktop.h"
#include "gtest/gtest.h"
#include "guitar/guitar_monitor.h"
#include "guitar/monitor.h"
#include "platform/test_support.h"
#include "standins/engine/engine_control.h"
#include "tests/guitar/fake_audio_thread.h"
#include "tests/guitar/wire.h"

namespace tonelark_test {

inline constexpr char kCommands[] = "tonelark/guitar";
inline constexpr char kPcm[] = "tonelark/guitar_pcm";

class GuitarEngineTest : public ::testing::Test {
 protected:
  GuitarEngineTest();
  ~GuitarEngineTest() override;

  tonelark::Monitor& monitor() { return tonelark::Monitor::Instance(); }

  // Delivers bytes as the user interface does and returns the program's answer; nullopt when
  // nothing answered.
  std::optional<Bytes> Deliver(const std::string& channel, const Bytes& message);
  // Delivers a method call; `argument` holds the encoded argument value (empty: a null value).
  std::optional<Bytes> Call(const std::string& channel, const std::string& method,
                            const Bytes& argument = {});
  // Whether a message on channel reaches a handler of the program at all.
  bool Handled(const std::string& channel);

  // Events sent on the PCM channel since the previous call.
  std::vector<Bytes> TakePcmEvents();

  // Queues `count` chunks of 256 samples (numbered from `first`) the way the audio thread does.
  void ProduceChunks(int first, int count, int32_t rate = 48000);
  // Runs the window's message loop as the host window does, handing every message to the hook.
  // Returns how many PCM-ready messages it consumed; waits for `expected` of them, then a little
  // longer to catch any extra one.
  int PumpPcmReady(int expected, DWORD timeout_ms = 2000);

  FakeRuns runs_;
  FlutterDesktopEngineRef engine_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
  std::unique_ptr<platform_test::TestWindow> window_;

 private:
  size_t pcm_events_taken_ = 0;
};

// The 512 bytes of chunk number `index`: samples that differ between chunks and within one.
Bytes ChunkBytes(int index);
std::vector<int16_t> NumberedChunkSamples(int index);

}  // namespace tonelark_test

#endif  // TESTS_GUITAR_ENGINE_FIXTURE_H_
