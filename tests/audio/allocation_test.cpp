// The audio thread's steady path allocates nothing: ten seconds of streaming with clicks and
// volume changes, counted by this test program's own operator new. The virtual speakers keep no
// recording and the endpoints no call log, since those allocate on the engine's calls. Nor does
// the audio thread make a file call (counted where the platform can), yet its lines are logged.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>

#include "gmock/gmock.h"
#include "guitar/engine_log.h"
#include "tests/audio/audio_fixture.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> audio_thread_allocations{0};
std::atomic<long> audio_thread_file_calls{0};
thread_local bool on_audio_thread = false;

void CountFileCall() {
  if (on_audio_thread) audio_thread_file_calls.fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
  if (on_audio_thread && counting.load(std::memory_order_relaxed)) {
    audio_thread_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  void* memory = Allocate(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace tonelark_test {
namespace {

using virtual_audio::CaptureSource;

class AllocationTest : public AudioTest {};

TEST_F(AllocationTest, TenSecondsOfStreamingAllocateNothingOnTheAudioThread) {
  audio_.SetClockMode(virtual_audio::ClockMode::kRealTime);
  audio_.SetCallLog(false);
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  guitar.exclusive_formats = {Pcm(44100, 1)};
  guitar.source.kind = CaptureSource::Kind::kSine;
  guitar.source.amplitude = 0.3;  // clipped at full volume
  audio_.AddDevice(guitar);
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats.clear();  // shared, at 48000 Hz: the converter works
  speakers.no_recording = true;
  audio_.AddDevice(speakers);
  audio_.SetDefaultDevice(eRender, L"speakers");
  monitor().thread_starter_ = [](std::function<void()> body) {
    return std::thread([body] {
      on_audio_thread = true;
      body();
    });
  };
  const auto folder = std::filesystem::temp_directory_path() / "tonelark-allocation-test-log";
  std::filesystem::remove_all(folder);
  const bool file_calls_seen = platform_test::ObserveFileCalls(CountFileCall);
  auto log = std::make_unique<tonelark::EngineLog>(folder.wstring(), "test");
  ASSERT_TRUE(monitor().StartAudio());
  // Past the first waits, whose bookkeeping the host build's events grow once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  counting = true;
  for (int beat = 0; beat < 20; ++beat) {
    monitor().click_request_ = beat % 4 == 0 ? 2 : 1;
    monitor().volume_ = beat % 2 == 0 ? 4.0f : 1.0f;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  counting = false;
  const tonelark::GlitchCounts glitches = monitor().glitches_.Snapshot();
  monitor().StopAudio();
  log.reset();
  platform_test::ObserveFileCalls(nullptr);
  EXPECT_EQ(audio_thread_allocations.load(), 0);
  EXPECT_EQ(file_calls_seen ? audio_thread_file_calls.load() : 0, 0);
  std::stringstream text;
  text << std::ifstream(folder / "tonelark.log", std::ios::binary).rdbuf();
  std::filesystem::remove_all(folder);
  EXPECT_THAT(text.str(), testing::EndsWith(" Tonelark exclusive 44100 Hz capture, render shared "
                                            "48000 Hz\r\n"));
  EXPECT_GT(glitches.pcm_chunks_dropped, 0) << "the queue was full and its chunks recycled";
  EXPECT_GT(glitches.output_clipped_samples, 0);
}

}  // namespace
}  // namespace tonelark_test
