#include "tests/audio/audio_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/audio_guids.h"

namespace tonelark_test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Engine-side objects alive now; the registered class factory is the fixture's own.
int LiveEngineObjects(const virtual_audio::Audit& audit) {
  const auto factory = audit.objects.find("IClassFactory");
  return audit.total_objects - (factory == audit.objects.end() ? 0 : factory->second);
}

}  // namespace

DeviceConfig CaptureDevice(const std::wstring& id, const std::wstring& friendly,
                           const std::wstring& description) {
  DeviceConfig config;
  config.id = id;
  config.flow = eCapture;
  config.friendly_name = DeviceText::String(friendly);
  config.description = DeviceText::String(description);
  config.exclusive_formats = {Pcm(48000, 1)};
  return config;
}

DeviceConfig RenderDevice(const std::wstring& id, const std::wstring& friendly) {
  DeviceConfig config;
  config.id = id;
  config.flow = eRender;
  config.friendly_name = DeviceText::String(friendly);
  config.description = DeviceText::String(L"High Definition Audio Device");
  config.exclusive_formats = {Pcm(48000, 2)};
  return config;
}

void AudioTest::SetUp() {
  static const bool noted = [] {
    if (!platform_test::DebugOutputCapture::Supported()) {
      std::printf("[   NOTE   ] debugger output cannot be observed here; line checks skipped\n");
    }
    return true;
  }();
  (void)noted;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  audio_.SetClockMode(virtual_audio::ClockMode::kManual);
  ASSERT_TRUE(SUCCEEDED(audio_.Register()));
  event_handles_before_ = platform_test::OpenHandleCount();
  task_memory_before_ = platform_test::LiveCoTaskMemCount();
  monitor_ = std::make_unique<tonelark::Monitor>();
  event_handles_monitor_ = platform_test::OpenHandleCount();
}

void AudioTest::ExpectNoLeaks() {
  const virtual_audio::Audit audit = audio_.TakeAudit();
  EXPECT_EQ(LiveEngineObjects(audit), 0) << "COM objects left alive";
  EXPECT_EQ(audit.started_streams, 0);
  EXPECT_EQ(audit.notification_misuse, 0) << testing::PrintToString(audit.notification_misuse_log);
  if (event_handles_monitor_ >= 0) {
    EXPECT_EQ(platform_test::OpenHandleCount(), event_handles_monitor_) << "event handles leaked";
  }
  if (task_memory_before_ >= 0) {
    EXPECT_EQ(platform_test::LiveCoTaskMemCount(), task_memory_before_) << "task memory leaked";
  }
}

void AudioTest::TearDown() {
  monitor_.reset();
  if (expect_no_leaks_) {
    const virtual_audio::Audit audit = audio_.TakeAudit();
    EXPECT_EQ(LiveEngineObjects(audit), 0) << "COM objects left alive";
    EXPECT_EQ(audit.started_streams, 0);
    if (event_handles_before_ >= 0) {
      EXPECT_EQ(platform_test::OpenHandleCount(), event_handles_before_) << "event handles leaked";
    }
    if (task_memory_before_ >= 0) {
      EXPECT_EQ(platform_test::LiveCoTaskMemCount(), task_memory_before_) << "task memory leaked";
    }
  }
  // Misuse of the endpoint notifications breaks on Windows whatever else the test keeps.
  const virtual_audio::Audit audit = audio_.TakeAudit();
  EXPECT_EQ(audit.notification_misuse, 0) << testing::PrintToString(audit.notification_misuse_log);
  audio_.Unregister();
  CoUninitialize();
}

void AudioTest::AddGuitarAndSpeakers() {
  audio_.AddDevice(CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter"));
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  audio_.SetDefaultDevice(eRender, L"speakers");
}

platform::ComPtr<IMMDeviceEnumerator> AudioTest::Enumerator() {
  return platform::ComPtr<IMMDeviceEnumerator>(audio_.CreateEnumerator());
}

platform::ComPtr<IMMDevice> AudioTest::Device(const std::wstring& id) {
  platform::ComPtr<IMMDevice> device;
  Enumerator()->GetDevice(id.c_str(), device.ReleaseAndGetAddressOf());
  return device;
}

std::vector<virtual_audio::CallRecord> AudioTest::CallsOf(const std::string& method,
                                                          const std::wstring& device) const {
  std::vector<virtual_audio::CallRecord> calls;
  for (const virtual_audio::CallRecord& call : audio_.Calls()) {
    if (call.method == method && (device.empty() || call.device == device)) calls.push_back(call);
  }
  return calls;
}

long Onset(const std::vector<double>& samples, double threshold, size_t from) {
  for (size_t i = from; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) >= threshold) return static_cast<long>(i);
  }
  return -1;
}

std::vector<long> Onsets(const std::vector<double>& samples, double threshold) {
  std::vector<long> onsets;
  bool above = false;
  for (size_t i = 0; i < samples.size(); ++i) {
    const bool now_above = std::fabs(samples[i]) >= threshold;
    if (now_above && !above) onsets.push_back(static_cast<long>(i));
    above = now_above;
  }
  return onsets;
}

double ZeroCrossingFrequency(const std::vector<double>& samples, size_t from, size_t to,
                             double rate) {
  // Interpolated crossing instants, so a few periods give a precise figure.
  double first = -1.0;
  double last = -1.0;
  int crossings = 0;
  for (size_t i = from + 1; i < to && i < samples.size(); ++i) {
    if (samples[i - 1] < 0.0 && samples[i] >= 0.0) {
      const double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
      if (first < 0.0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * rate / (last - first);
}

double ToneAmplitude(const std::vector<double>& samples, size_t from, size_t to, double frequency,
                     double rate) {
  const double coefficient = 2.0 * std::cos(2.0 * kPi * frequency / rate);
  double s1 = 0.0;
  double s2 = 0.0;
  size_t count = 0;
  for (size_t i = from; i < to && i < samples.size(); ++i, ++count) {
    const double s0 = samples[i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  if (count == 0) return 0.0;
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(count);
}

size_t ClearestWindow(const std::vector<double>& samples, size_t from, size_t to, double frequency,
                      double rate, size_t window) {
  size_t best = from;
  double best_amplitude = -1.0;
  for (size_t at = from; at + window <= to && at + window <= samples.size(); at += window / 2) {
    const double amplitude = ToneAmplitude(samples, at, at + window, frequency, rate);
    if (amplitude > best_amplitude) {
      best_amplitude = amplitude;
      best = at;
    }
  }
  return best;
}

double Peak(const std::vector<double>& samples, size_t from, size_t to) {
  double peak = 0.0;
  for (size_t i = from; i < to && i < samples.size(); ++i)
    peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

}  // namespace tonelark_test
