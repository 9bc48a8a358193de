// The audio thread end to end through Monitor::StartAudio: start-up, streaming, the reported
// outcome and lines for every injected set-up failure, streaming faults, and what is left behind.
#include "guitar/audio_loop.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_guids.h"
#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using Clock = std::chrono::steady_clock;
using virtual_audio::CaptureSource;
using virtual_audio::ClockMode;

constexpr char kExclusiveLine[] =
    "Tonelark exclusive 48000 Hz capture, render exclusive 48000 Hz\n";

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class AudioLoopTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    audio_.SetClockMode(ClockMode::kRealTime);
  }
  void TearDown() override {
    monitor().StopAudio();
    AudioTest::TearDown();
  }

  // A guitar playing a 440 Hz sine at 0.1 (48000 or 44100 Hz mono) and exclusive speakers.
  void AddDevices() {
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.exclusive_formats = {Pcm(48000, 1), Pcm(44100, 1)};
    guitar.source.kind = CaptureSource::Kind::kSine;
    guitar.source.frequency_hz = 440.0;
    guitar.source.amplitude = 0.1;
    audio_.AddDevice(guitar);
    DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
    speakers.exclusive_formats = {Pcm(48000, 2), Pcm(44100, 2)};
    audio_.AddDevice(speakers);
    audio_.SetDefaultDevice(eRender, L"speakers");
  }

  // Stops the audio thread and answers how long that took, in milliseconds.
  long long TimedStop() {
    const Clock::time_point start = Clock::now();
    monitor().StopAudio();
    return MillisecondsSince(start);
  }

  std::string Lines() { return DebugOutputSupported() ? DebugOutput() : std::string("?"); }
  std::string Expected(const std::string& lines) {
    return DebugOutputSupported() ? lines : std::string("?");
  }
};

TEST_F(AudioLoopTest, StartedStreamsMonitorTheGuitarAndPlayClicks) {
  AddDevices();
  monitor().speaker_ = false;  // a start switches monitoring back on
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_TRUE(monitor().started_);
  EXPECT_TRUE(monitor().speaker_);
  EXPECT_EQ(monitor().sample_rate_, 48000);
  EXPECT_TRUE(monitor().render_exclusive_);
  EXPECT_EQ(monitor().device_name_, "Rocksmith Guitar Adapter");
  EXPECT_EQ(Lines(), Expected(kExclusiveLine));

  SleepMs(300);
  monitor().click_request_ = 2;
  SleepMs(200);
  EXPECT_EQ(monitor().click_request_.load(), 0) << "the audio thread took the click";
  EXPECT_LT(TimedStop(), 1000);

  const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
  ASSERT_GT(out.size(), 9600u) << "at least 200 ms were played";
  // The guitar at 4 x 0.1 in the monitoring signal. On a loaded machine the thread may miss a
  // period, which the speakers play as silence: judge the clearest 20 ms.
  const size_t best = ClearestWindow(out, 2400, 9600, 440.0, 48000);
  EXPECT_NEAR(ZeroCrossingFrequency(out, best, best + 960, 48000), 440.0, 15.0);
  EXPECT_NEAR(ToneAmplitude(out, best, best + 960, 440.0, 48000), 0.4, 0.08);
  // The accent somewhere after the request.
  bool accent = false;
  for (size_t at = 9600; at + 1440 <= out.size() && !accent; at += 480) {
    accent = ToneAmplitude(out, at, at + 1440, 1568.0, 48000) > 0.05;
  }
  EXPECT_TRUE(accent);

  // The PCM stream carries the same guitar.
  ASSERT_FALSE(monitor().pcm_queue_.empty());
  EXPECT_LE(monitor().pcm_queue_.size(), tonelark::kMaxPcmChunks);
  EXPECT_LT(monitor().pending_.size(), 256u);
  std::vector<double> pcm;
  for (const auto& chunk : monitor().pcm_queue_) {
    ASSERT_EQ(chunk.size(), 512u);
    for (size_t i = 0; i < chunk.size(); i += 2) {
      pcm.push_back(static_cast<int16_t>(chunk[i] | (chunk[i + 1] << 8)) / 32767.0);
    }
  }
  EXPECT_NEAR(ToneAmplitude(pcm, 0, pcm.size(), 440.0, 48000), 0.1, 0.01);
}

TEST_F(AudioLoopTest, ASharedRenderStreamIsFilledOnEveryWake) {
  AddDevices();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats.clear();
  audio_.AddDevice(speakers);
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_FALSE(monitor().render_exclusive_);
  EXPECT_EQ(Lines(), Expected("Tonelark exclusive 48000 Hz capture, render shared 48000 Hz\n"));
  // Every wake asks for the next packet once, and once more after each packet it takes; every
  // wake also tops up the shared stream, which asks for its padding once.
  const auto wakes = [this] {
    return audio_.CallCount("IAudioCaptureClient::GetNextPacketSize", L"guitar") -
           audio_.CallCount("IAudioCaptureClient::GetBuffer", L"guitar");
  };
  const auto top_ups = [this] {
    return audio_.CallCount("IAudioClient::GetCurrentPadding", L"speakers");
  };
  SleepMs(50);
  const int wakes_before = wakes();
  const int top_ups_before = top_ups();
  SleepMs(300);
  const int woke = wakes() - wakes_before;
  const int topped_up = top_ups() - top_ups_before;
  EXPECT_LT(TimedStop(), 1000);
  EXPECT_GT(woke, 30) << "capture and render events, about 60 in 300 ms";
  EXPECT_NEAR(topped_up, woke, 2) << "the wake in progress at either count may differ";
  const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
  ASSERT_GT(out.size(), 2000u);
  EXPECT_GT(Peak(out, 0, out.size()), 0.2);
}

TEST_F(AudioLoopTest, ACaptureDeviceThatDeliversNothingStartsAfterThePrefillDeadline) {
  AddDevices();
  audio_.SetClockMode(ClockMode::kManual);  // nothing is ever captured
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(monitor().StartAudio());
  const long long waited = MillisecondsSince(start);
  EXPECT_GE(waited, 220);
  EXPECT_LT(waited, 2000);
  const virtual_audio::RenderedAudio primed = audio_.Rendered(L"speakers");
  ASSERT_EQ(primed.buffers.size(), 1u) << "one period primed before the start";
  EXPECT_EQ(primed.buffers[0].frames, 480u);
  EXPECT_EQ(Peak(primed.Channel(0), 0, 480), 0.0);
  EXPECT_LT(TimedStop(), 500);
}

TEST_F(AudioLoopTest, EverySetUpFailureEndsAsDesignedAndLeavesNothingBehind) {
  struct Case {
    const char* method;
    std::wstring device;
    int nth;  // 0: every call
    HRESULT hr;
    bool started;
    int32_t rate;  // capture rate after a start
    bool exclusive_render;
    std::string lines;
  };
  const std::string ok = kExclusiveLine;
  const std::string shared = "Tonelark exclusive 48000 Hz capture, render shared 48000 Hz\n";
  const std::string no_capture = "Tonelark exclusive capture failed 0x80004005\n";
  const HRESULT kInUse = AUDCLNT_E_DEVICE_IN_USE;
  const Case cases[] = {
      {"IMMDeviceEnumerator::EnumAudioEndpoints", L"", 0, E_FAIL, false, 0, false, ""},
      {"IMMDeviceCollection::GetCount", L"", 0, E_FAIL, false, 0, false, ""},
      {"IMMDeviceCollection::Item", L"", 0, E_FAIL, false, 0, false, ""},
      {"IMMDevice::OpenPropertyStore", L"guitar", 0, E_FAIL, false, 0, false, ""},
      {"IPropertyStore::GetValue", L"", 0, E_FAIL, false, 0, false, ""},
      // Capture: next duration, next candidate, or the one failure line.
      {"IMMDevice::Activate", L"guitar", 1, E_FAIL, true, 44100, true,
       "Tonelark exclusive 44100 Hz capture, render exclusive 44100 Hz\n"},
      {"IMMDevice::Activate", L"guitar", 0, E_FAIL, false, 0, false, no_capture},
      {"IAudioClient::IsFormatSupported", L"guitar", 1, kInUse, true, 44100, true,
       "Tonelark exclusive 44100 Hz capture, render exclusive 44100 Hz\n"},
      {"IAudioClient::IsFormatSupported", L"guitar", 0, kInUse, false, 0, false, no_capture},
      {"IAudioClient::GetDevicePeriod", L"guitar", 0, E_FAIL, true, 48000, true, ok},
      {"IAudioClient::Initialize", L"guitar", 1, kInUse, true, 48000, true, ok},
      {"IAudioClient::Initialize", L"guitar", 0, kInUse, false, 0, false, no_capture},
      {"IAudioClient::SetEventHandle", L"guitar", 1, E_FAIL, true, 48000, true, ok},
      {"IAudioClient::SetEventHandle", L"guitar", 0, E_FAIL, false, 0, false, no_capture},
      {"IAudioClient::GetBufferSize", L"guitar", 0, E_FAIL, false, 0, false, no_capture},
      {"IAudioClient::GetService", L"guitar", 0, E_NOINTERFACE, false, 0, false, ""},
      {"IAudioClient::Start", L"guitar", 0, AUDCLNT_E_DEVICE_INVALIDATED, false, 0, false,
       ok + "Tonelark capture start failed 0x88890004\n"},
      // Render: next duration, shared mode, or a failed start.
      {"IMMDeviceEnumerator::GetDefaultAudioEndpoint", L"", 0, E_FAIL, false, 0, false, ""},
      {"IAudioClient::Initialize", L"speakers", 1, kInUse, true, 48000, true, ok},
      {"IAudioClient::IsFormatSupported", L"speakers", 0, kInUse, true, 48000, false, shared},
      {"IAudioClient::Initialize", L"speakers", 0, kInUse, false, 0, false,
       "Tonelark shared init failed 0x8889000a\n"},
      {"IMMDevice::Activate", L"speakers", 0, E_FAIL, false, 0, false, ""},
      {"IAudioClient::GetService", L"speakers", 0, E_NOINTERFACE, false, 0, false, ""},
      {"IAudioClient::Start", L"speakers", 0, AUDCLNT_E_DEVICE_INVALIDATED, false, 0, false,
       ok + "Tonelark render start failed 0x88890004\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << " on " << (c.device.empty() ? "any" : "one")
                                    << " device, call " << c.nth);
    audio_.Reset();
    AddDevices();
    audio_.FailCall(c.method, c.hr, {c.device, c.nth});
    DebugOutput();
    const bool started = monitor().StartAudio();
    EXPECT_EQ(started, c.started);
    EXPECT_EQ(monitor().started_.load(), c.started);
    EXPECT_EQ(monitor().sample_rate_, c.rate);
    EXPECT_EQ(monitor().render_exclusive_, c.exclusive_render);
    if (started) SleepMs(30);
    EXPECT_LT(TimedStop(), 1000);
    EXPECT_EQ(Lines(), Expected(c.lines));
    ExpectNoLeaks();
  }
}

TEST_F(AudioLoopTest, StreamingFaultsNeverBlockTheThreadOrTheStop) {
  struct Case {
    const char* method;
    HRESULT hr;
    bool shared;
  };
  const Case cases[] = {
      {"IAudioCaptureClient::GetNextPacketSize", AUDCLNT_E_DEVICE_INVALIDATED, false},
      {"IAudioCaptureClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED, false},
      {"IAudioCaptureClient::GetBuffer", AUDCLNT_S_BUFFER_EMPTY, false},  // a packet of nothing
      {"IAudioRenderClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED, false},
      {"IAudioClient::GetCurrentPadding", AUDCLNT_E_DEVICE_INVALIDATED, true},
      {"IAudioClient::Stop", AUDCLNT_E_DEVICE_INVALIDATED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    audio_.Reset();
    AddDevices();
    if (c.shared) {
      DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
      speakers.exclusive_formats.clear();
      audio_.AddDevice(speakers);
    }
    ASSERT_TRUE(monitor().StartAudio());
    audio_.FailCall(c.method, c.hr);
    SleepMs(100);
    EXPECT_LT(TimedStop(), 1000);
    ExpectNoLeaks();
  }

  // A device that stops delivering while streaming.
  audio_.Reset();
  AddDevices();
  ASSERT_TRUE(monitor().StartAudio());
  audio_.SetCaptureStalled(L"guitar", true);
  SleepMs(300);  // longer than the loop's 200 ms wait
  EXPECT_LT(TimedStop(), 1000);
  ExpectNoLeaks();
}

// The thread switches monitoring on before it reports: a "setSpeaker false" sent as soon as
// "start" answers must not be undone.
TEST_F(AudioLoopTest, MonitoringIsOnWhenTheStartIsReported) {
  AddDevices();
  monitor().speaker_ = false;
  bool on_at_report = false;
  monitor().on_report_ = [&on_at_report](tonelark::Monitor& m) { on_at_report = m.speaker_; };
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_TRUE(on_at_report);
}

// A start that fails after its pre-fill leaves the guitar of that moment in the ring. The next
// start, whose adapter now plays silence, must not let the speakers hear it.
TEST_F(AudioLoopTest, AFailedStartLeavesNoStaleGuitarForTheNextStart) {
  AddDevices();
  audio_.FailCall("IAudioClient::Start", E_FAIL, {L"speakers", 1});
  EXPECT_FALSE(monitor().StartAudio());
  audio_.ClearRendered(L"speakers");
  DeviceConfig silent = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  silent.exclusive_formats = {Pcm(48000, 1), Pcm(44100, 1)};
  audio_.AddDevice(silent);
  ASSERT_TRUE(monitor().StartAudio());
  SleepMs(60);
  monitor().StopAudio();
  const std::vector<double> out = audio_.Rendered(L"speakers").Channel(0);
  ASSERT_GE(out.size(), 480u);
  EXPECT_EQ(Peak(out, 0, out.size()), 0.0);
}

// What the audio thread asks of the system for itself: the multithreaded COM apartment, and the
// multimedia class scheduler's "Pro Audio" task for as long as it runs.
TEST_F(AudioLoopTest, TheAudioThreadIsAProAudioTaskInTheMultithreadedApartment) {
  AddDevices();
  // A class object in front of the endpoints that notes the apartment of the thread creating
  // the enumerator.
  class ApartmentWitness final : public IClassFactory {
   public:
    explicit ApartmentWitness(virtual_audio::VirtualAudio* audio) : audio_(audio) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
      if (riid != platform::kIidIClassFactory && riid != platform::kIidIUnknown) {
        *object = nullptr;
        return E_NOINTERFACE;
      }
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** object) override {
      APTTYPE type = APTTYPE_CURRENT;
      APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
      apartment = CoGetApartmentType(&type, &qualifier);
      explicit_mta =
          SUCCEEDED(apartment) && type == APTTYPE_MTA && qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA;
      platform::ComPtr<IMMDeviceEnumerator> enumerator(audio_->CreateEnumerator());
      return enumerator->QueryInterface(riid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    HRESULT apartment = E_FAIL;
    bool explicit_mta = false;

   private:
    virtual_audio::VirtualAudio* audio_;
    ULONG references_ = 1;
  };
  ApartmentWitness witness(&audio_);
  audio_.Unregister();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(platform::kClsidMMDeviceEnumerator, &witness,
                                  CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  const int tasks_before = platform_test::LiveMmTaskCount();
  ASSERT_TRUE(monitor().StartAudio());
  const int tasks_running = platform_test::LiveMmTaskCount();
  monitor().StopAudio();
  const int tasks_after = platform_test::LiveMmTaskCount();
  CoRevokeClassObject(cookie);
  EXPECT_EQ(witness.apartment, S_OK);
  EXPECT_TRUE(witness.explicit_mta) << "joined, not merely borrowed";
  if (tasks_before >= 0) {
    EXPECT_EQ(tasks_running, tasks_before + 1) << "registered under a task Windows knows";
    EXPECT_EQ(tasks_after, tasks_before) << "and reverted";
  }
}

// Stalls of the adapter grow the cushion, and "latencyMs" says so at once; the next start begins
// from the base cushion again instead of keeping the delay the last session learnt. Each start is
// read as soon as it answers, while the ring still primes: a busy machine's late wakes may grow
// the cushion of a running session, never of one that has not played yet.
TEST_F(AudioLoopTest, TheCushionGrownByStallsIsForgottenAtTheNextStart) {
  AddDevices();
  const auto field = [this](const char* name) {
    const flutter::EncodableValue status = monitor().StatusReply();
    return std::get<double>(std::get<flutter::ValueMap>(status).at(flutter::EncodableValue(name)));
  };
  ASSERT_TRUE(monitor().StartAudio());
  const double base_cushion = field("cushionMs");
  const double base_latency = field("latencyMs");
  SleepMs(100);
  for (int stall = 0; stall < 3; ++stall) {
    audio_.SetCaptureStalled(L"guitar", true);
    SleepMs(120);
    audio_.SetCaptureStalled(L"guitar", false);
    SleepMs(200);
  }
  SleepMs(1000);  // the median's second, all of it after the stalls
  const double grown_cushion = field("cushionMs");
  const double grown_latency = field("latencyMs");
  EXPECT_GE(grown_cushion, base_cushion + 2.0);
  EXPECT_GE(grown_latency, base_latency + 2.0) << "the delay follows the cushion while it runs";
  monitor().StopAudio();
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_EQ(field("cushionMs"), base_cushion) << "grown to " << grown_cushion;
  EXPECT_LT(field("latencyMs"), base_latency + 1.0) << "grown to " << grown_latency;
}

// Low latency on a machine that wakes the audio thread too late for the speakers: once the
// cushion has grown by a period and three more under-runs come within five seconds, the streams
// re-open at twice the period, up to the default one.
TEST_F(AudioLoopTest, LowLatencyThatKeepsUnderRunningRaisesItsPeriod) {
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  guitar.minimum_period = 30000;
  audio_.AddDevice(guitar);
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.minimum_period = 30000;
  // Render events 10 ms late, after the first second and more than 200 ms apart, at every period
  // the streams run: the first grows the cushion past a period, the next three raise it.
  for (uint64_t period : {400u, 470u, 540u, 610u, 680u, 750u}) {
    speakers.late_wakes.scripted.push_back({period, 100000});
  }
  audio_.AddDevice(speakers);
  audio_.SetDefaultDevice(eRender, L"speakers");
  tonelark::StartOptions options;
  options.low_latency = true;
  ASSERT_TRUE(monitor().StartAudio(options));
  std::string lines;
  for (int waited = 0; waited < 9000 && lines.find("10.00 ms") == std::string::npos; waited += 50) {
    SleepMs(50);
    lines += DebugOutput();
  }
  if (DebugOutputSupported()) {
    EXPECT_NE(lines.find("Tonelark period raised to 6.00 ms\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("Tonelark period raised to 10.00 ms\n"), std::string::npos) << lines;
  }
  const flutter::EncodableValue status = monitor().StatusReply();
  const flutter::ValueMap& map = std::get<flutter::ValueMap>(status);
  EXPECT_EQ(map.at(flutter::EncodableValue("capturePeriodMs")), flutter::EncodableValue(10.0));
  EXPECT_EQ(map.at(flutter::EncodableValue("renderPeriodMs")), flutter::EncodableValue(10.0));
  EXPECT_EQ(map.at(flutter::EncodableValue("deviceLost")), flutter::EncodableValue(false));
}

TEST_F(AudioLoopTest, ARestartReopensEverythingAndLeaksNothing) {
  AddDevices();
  ASSERT_TRUE(monitor().StartAudio());
  SleepMs(50);
  ASSERT_TRUE(monitor().StartAudio());
  EXPECT_EQ(audio_.CallCount("IAudioClient::Start", L"guitar"), 2);
  SleepMs(50);
  monitor().StopAudio();
  ExpectNoLeaks();
  if (DebugOutputSupported()) {
    EXPECT_EQ(DebugOutput(), std::string(kExclusiveLine) + kExclusiveLine);
  }
}

}  // namespace
}  // namespace tonelark_test
