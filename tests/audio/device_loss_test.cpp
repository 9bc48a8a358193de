// A pulled cable, a device that keeps failing, and one that goes silent: the audio thread gives
// its streams up, says so, looks for the adapter every half second and carries on by itself when
// it is back. Real time, through StartAudio, against the virtual endpoints.
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <variant>

#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using Clock = std::chrono::steady_clock;
using virtual_audio::CaptureSource;
using virtual_audio::ClockMode;

constexpr char kStartedLine[] = "Tonelark exclusive 48000 Hz capture, render exclusive 48000 Hz\n";

class DeviceLossTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    audio_.SetClockMode(ClockMode::kRealTime);
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.source.kind = CaptureSource::Kind::kSine;
    guitar.source.frequency_hz = 440.0;
    guitar.source.amplitude = 0.1;
    audio_.AddDevice(guitar);
    audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
    audio_.SetDefaultDevice(eRender, L"speakers");
  }
  void TearDown() override {
    monitor().StopAudio();
    AudioTest::TearDown();
  }

  // Waits up to `limit_ms` for `done`; how long it took, or -1.
  static long long WaitFor(const std::function<bool()>& done, int limit_ms) {
    const Clock::time_point start = Clock::now();
    while (!done()) {
      const auto waited = Clock::now() - start;
      if (waited > std::chrono::milliseconds(limit_ms)) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }

  // PCM chunks produced since the previous call (the queue is emptied as a drain would).
  size_t TakeChunks() {
    std::lock_guard<std::mutex> lock(monitor().pcm_mutex_);
    const size_t chunks = monitor().pcm_queue_.size();
    monitor().pcm_queue_.clear();
    monitor().pcm_posted_ = false;
    return chunks;
  }

  // The PCM samples produced since the previous call, in order; every chunk's size in `*sizes`.
  std::vector<double> TakePcm(std::vector<size_t>* sizes) {
    std::lock_guard<std::mutex> lock(monitor().pcm_mutex_);
    std::vector<double> samples;
    for (const std::vector<uint8_t>& chunk : monitor().pcm_queue_) {
      sizes->push_back(chunk.size());
      for (size_t i = 0; i + 1 < chunk.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(chunk[i] | (chunk[i + 1] << 8)) / 32767.0);
      }
    }
    monitor().pcm_queue_.clear();
    monitor().pcm_posted_ = false;
    return samples;
  }

  bool Lost() { return monitor().status_.device_lost(); }

  flutter::EncodableValue Status(const char* key) {
    const flutter::EncodableValue reply = monitor().StatusReply();
    return std::get<flutter::ValueMap>(reply).at(flutter::EncodableValue(key));
  }

  std::string Lines() { return DebugOutputSupported() ? DebugOutput() : std::string("?"); }
  std::string Expected(const std::string& lines) {
    return DebugOutputSupported() ? lines : std::string("?");
  }
};

TEST_F(DeviceLossTest, APulledAdapterIsGivenUpAndPicksUpAgainWhenItReturns) {
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_EQ(Lines(), Expected(kStartedLine));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_GT(TakeChunks(), 10u);

  audio_.RemoveDevice(L"guitar");
  const long long noticed = WaitFor([this] { return Lost(); }, 1000);
  EXPECT_GE(noticed, 0);
  EXPECT_LE(noticed, 50) << "the system tells at once";
  EXPECT_EQ(Lines(), Expected("Tonelark device lost 0x88890004\n"));
  EXPECT_EQ(Status("deviceLost"), flutter::EncodableValue(true));
  EXPECT_EQ(Status("running"), flutter::EncodableValue(true));
  EXPECT_EQ(Status("sampleRate"), flutter::EncodableValue(int32_t{0}));
  EXPECT_EQ(Status("name"), flutter::EncodableValue("Rocksmith Guitar Adapter"));
  TakeChunks();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(TakeChunks(), 0u) << "no PCM while the adapter is away";
  EXPECT_EQ(audio_.TakeAudit().started_streams, 0) << "the streams are closed";
  EXPECT_EQ(Lines(), Expected("")) << "the attempts to re-open write nothing";
  // A beat's click that comes while the adapter is away is not played late.
  monitor().click_request_ = 2;

  const size_t played_before = audio_.Rendered(L"speakers").FrameCount();
  audio_.ReturnDevice(L"guitar");
  // Told of the return, the engine opens at once and pre-fills for a period or two.
  const long long back = WaitFor([this] { return !Lost(); }, 1500);
  EXPECT_GE(back, 0);
  EXPECT_LE(back, 100);
  EXPECT_EQ(Lines(), Expected(std::string(kStartedLine) + "Tonelark device back\n"));
  EXPECT_EQ(Status("sampleRate"), flutter::EncodableValue(int32_t{48000}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(TakeChunks(), 10u) << "PCM flows again without a command";
  // The guitar reaches the speakers again after the return.
  const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
  ASSERT_GT(out.size(), 4800u);
  const size_t best = ClearestWindow(out, out.size() - 4800, out.size(), 440.0, 48000);
  EXPECT_NEAR(ToneAmplitude(out, best, best + 960, 440.0, 48000), 0.4, 0.08);
  EXPECT_LT(Peak(std::vector<double>(out.begin() + played_before, out.end()), 0, out.size()), 0.45)
      << "no accent click after the return";
}

// The start told the user interface 48000 Hz; a tuner reading the PCM events must not go sharp
// when the adapter that comes back runs at 44100 Hz.
TEST_F(DeviceLossTest, AnAdapterBackAtAnotherRateLeavesThePcmAtTheStartsRate) {
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  guitar.source.kind = CaptureSource::Kind::kSine;
  guitar.source.frequency_hz = 550.0;
  guitar.source.amplitude = 0.5;
  audio_.AddDevice(guitar);
  ASSERT_TRUE(monitor().StartAudio());
  audio_.RemoveDevice(L"guitar");
  ASSERT_GE(WaitFor([this] { return Lost(); }, 1000), 0);
  DeviceConfig other = guitar;
  other.id = L"other guitar";
  other.exclusive_formats = {Pcm(44100, 1)};
  audio_.AddDevice(other);
  ASSERT_GE(WaitFor([this] { return !Lost(); }, 1500), 0);
  EXPECT_EQ(Status("sampleRate"), flutter::EncodableValue(int32_t{44100}));
  EXPECT_EQ(Status("pcmSampleRate"), flutter::EncodableValue(int32_t{48000}));
  std::vector<size_t> sizes;
  TakePcm(&sizes);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sizes.clear();
  const std::vector<double> pcm = TakePcm(&sizes);
  ASSERT_GT(pcm.size(), 4800u);
  for (size_t size : sizes) ASSERT_EQ(size, 512u);
  // The clearest 20 ms at 48000 Hz: a loaded machine may lose a packet.
  const size_t best = ClearestWindow(pcm, 0, pcm.size(), 550.0, 48000);
  EXPECT_NEAR(ZeroCrossingFrequency(pcm, best, best + 960, 48000), 550.0, 3.0);
  EXPECT_NEAR(ToneAmplitude(pcm, best, best + 960, 550.0, 48000), 0.5, 0.05);
}

// Headphones plugged in become the default: monitoring follows them, the render side alone is
// re-opened, and the guitar goes on to the user interface without a gap.
TEST_F(DeviceLossTest, MonitoringFollowsTheDefaultSpeakers) {
  DeviceConfig headphones = RenderDevice(L"headphones", L"Headphones");
  headphones.initialize_delay_ms = 30;  // longer than the capture's two packets
  audio_.AddDevice(headphones);
  DeviceConfig microphone = CaptureDevice(L"microphone", L"Microphone", L"Webcam");
  audio_.AddDevice(microphone);
  ASSERT_TRUE(monitor().StartAudio());
  Lines();
  EXPECT_EQ(Status("renderName"), flutter::EncodableValue("Speakers"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Devices the engine does not use come and go unheeded.
  audio_.RemoveDevice(L"microphone");
  const size_t before_move = audio_.Rendered(L"speakers").FrameCount();

  audio_.SetDefaultDevice(eRender, L"headphones");
  const auto heard = [this] {
    const std::vector<double> out = audio_.Rendered(L"headphones").Channel(0);
    return out.size() >= 480 && Peak(out, out.size() - 480, out.size()) > 0.3;
  };
  const long long moved = WaitFor(heard, 1000);
  EXPECT_GE(moved, 0);
  EXPECT_LE(moved, 200) << "the guitar on the new speakers";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Lines(), Expected("Tonelark speakers now Headphones\n")) << "one move, no loss";
  EXPECT_EQ(Status("renderName"), flutter::EncodableValue("Headphones"));
  EXPECT_EQ(Status("deviceLost"), flutter::EncodableValue(false));
  // The old speakers fell silent: their stream was stopped and let go.
  const size_t after_move = audio_.Rendered(L"speakers").FrameCount();
  EXPECT_LT(after_move - before_move, 48000u / 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(audio_.Rendered(L"speakers").FrameCount(), after_move);
  const tonelark::GlitchCounts glitches = monitor().glitches_.Snapshot();
  // The PCM chunks are cut from the capture as it comes: whole capture, whole PCM.
  EXPECT_EQ(glitches.capture_discontinuities, 0) << "capture drained through the re-open";

  // The headphones unplugged while the speakers are still there: a move back, not a loss.
  audio_.RemoveDevice(L"headphones");
  EXPECT_GE(
      WaitFor([this] { return Status("renderName") == flutter::EncodableValue("Speakers"); }, 1000),
      0);
  EXPECT_EQ(Lines(), Expected("Tonelark speakers now Speakers\n"));
  EXPECT_FALSE(Lost());
}

// The iRig rule's speakers are the adapter's own: a new default does not take monitoring away.
TEST_F(DeviceLossTest, TheIrigsOwnSpeakersStay) {
  audio_.Reset();
  audio_.AddDevice(CaptureDevice(L"irig", L"iRig HD 2"));
  audio_.AddDevice(RenderDevice(L"irig out", L"iRig HD 2"));
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  audio_.SetDefaultDevice(eRender, L"speakers");
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_EQ(Status("renderName"), flutter::EncodableValue("iRig HD 2"));
  Lines();
  audio_.AddDevice(RenderDevice(L"headphones", L"Headphones"));
  audio_.SetDefaultDevice(eRender, L"headphones");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Lines(), Expected(""));
  EXPECT_EQ(Status("renderName"), flutter::EncodableValue("iRig HD 2"));
}

// The only speakers unplugged leave no default to follow: a loss, told by the system.
TEST_F(DeviceLossTest, UnpluggedSpeakersAreALossTooAndComeBack) {
  ASSERT_TRUE(monitor().StartAudio());
  Lines();
  audio_.RemoveDevice(L"speakers");
  const long long waited = WaitFor([this] { return Lost(); }, 2000);
  EXPECT_GE(waited, 0);
  EXPECT_LE(waited, 50);
  EXPECT_EQ(Lines(), Expected("Tonelark device lost 0x88890004\n"));
  audio_.ReturnDevice(L"speakers");
  EXPECT_GE(WaitFor([this] { return !Lost(); }, 1500), 0);
  EXPECT_EQ(Lines(), Expected(std::string(kStartedLine) + "Tonelark device back\n"));
}

TEST_F(DeviceLossTest, StopWhileTheAdapterIsAwayReturnsAtOnce) {
  ASSERT_TRUE(monitor().StartAudio());
  audio_.RemoveDevice(L"guitar");
  ASSERT_GE(WaitFor([this] { return Lost(); }, 1000), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the half-second wait
  const Clock::time_point start = Clock::now();
  monitor().StopAudio();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300))
      << "not after the half-second wait";
  EXPECT_FALSE(Lost());
  EXPECT_EQ(Status("running"), flutter::EncodableValue(false));
  ExpectNoLeaks();
}

// Without a word from the system, a call that answers "invalidated" is a loss at once.
TEST_F(DeviceLossTest, AnInvalidatedCallIsALoss) {
  ASSERT_TRUE(monitor().StartAudio());
  Lines();
  audio_.FailCall("IAudioCaptureClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED);
  const long long waited = WaitFor([this] { return Lost(); }, 1500);
  EXPECT_GE(waited, 0);
  EXPECT_LE(waited, 100);
  EXPECT_EQ(Lines(), Expected("Tonelark device lost 0x88890004\n"));
}

TEST_F(DeviceLossTest, AFailureThatLastsHalfASecondIsALoss) {
  ASSERT_TRUE(monitor().StartAudio());
  Lines();
  audio_.FailCall("IAudioCaptureClient::GetNextPacketSize", E_FAIL);
  const long long waited = WaitFor([this] { return Lost(); }, 1500);
  EXPECT_GE(waited, 400) << "not before the failure has lasted half a second";
  EXPECT_LE(waited, 700);
  EXPECT_EQ(Lines(), Expected("Tonelark device lost 0x80004005\n"));
  audio_.ClearFailures();
  EXPECT_GE(WaitFor([this] { return !Lost(); }, 1500), 0);
  EXPECT_EQ(Lines(), Expected(std::string(kStartedLine) + "Tonelark device back\n"));
}

TEST_F(DeviceLossTest, AnAdapterThatGoesSilentIsALossAfterASecond) {
  ASSERT_TRUE(monitor().StartAudio());
  Lines();
  audio_.SetCaptureStalled(L"guitar", true);
  const long long waited = WaitFor([this] { return Lost(); }, 2000);
  EXPECT_GE(waited, 900);
  EXPECT_LE(waited, 1200);
  EXPECT_EQ(Lines(), Expected("Tonelark device lost 0x800705b4\n"));
  audio_.SetCaptureStalled(L"guitar", false);
  EXPECT_GE(WaitFor([this] { return !Lost(); }, 1500), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Lost());
}

}  // namespace
}  // namespace tonelark_test
