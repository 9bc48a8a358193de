// Shared set-up for the audio path tests: virtual endpoints registered as the system's device
// enumerator, a fresh Monitor (not the process-wide one), the debugger output, and a leak audit
// after every test. Also small signal-analysis helpers, so tests look at rendered audio as a
// signal (onset, pitch, envelope) rather than comparing it to a copy of the algorithm.
#ifndef TESTS_AUDIO_AUDIO_FIXTURE_H_
#define TESTS_AUDIO_AUDIO_FIXTURE_H_

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "guitar/monitor.h"
#include "platform/com_ptr.h"
#include "platform/test_support.h"
#include "platform/win32.h"
#include "standins/audio/virtual_audio.h"

namespace tonelark_test {

using virtual_audio::DeviceConfig;
using virtual_audio::DeviceText;
using virtual_audio::Format;

inline Format Pcm(uint32_t rate, uint16_t channels, uint16_t bits = 16) {
  return Format{rate, channels, bits, bits, false};
}
inline Format Float32(uint32_t rate, uint16_t channels) {
  return Format{rate, channels, 32, 32, true};
}

// A capture endpoint named `friendly` / `description` taking 48000 Hz mono 16-bit.
DeviceConfig CaptureDevice(const std::wstring& id, const std::wstring& friendly,
                           const std::wstring& description = L"USB Audio Device");
// A render endpoint taking 48000 Hz stereo 16-bit exclusively (mix: 48000 Hz stereo float).
DeviceConfig RenderDevice(const std::wstring& id, const std::wstring& friendly);

class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  tonelark::Monitor& monitor() { return *monitor_; }

  // The usual pair: "Rocksmith Guitar Adapter" (id L"guitar") and "Speakers" (id L"speakers",
  // the default render endpoint).
  void AddGuitarAndSpeakers();

  platform::ComPtr<IMMDeviceEnumerator> Enumerator();
  platform::ComPtr<IMMDevice> Device(const std::wstring& id);

  // Lines written with OutputDebugStringA since the previous call; skips the current test's line
  // checks where the build cannot observe them.
  std::string DebugOutput() { return debug_.Take(); }
  bool DebugOutputSupported() const { return platform_test::DebugOutputCapture::Supported(); }

  // The calls of `method` (in order) from the call log.
  std::vector<virtual_audio::CallRecord> CallsOf(const std::string& method,
                                                 const std::wstring& device = {}) const;

  virtual_audio::VirtualAudio audio_;
  platform_test::DebugOutputCapture debug_;
  std::unique_ptr<tonelark::Monitor> monitor_;
  // No engine COM object alive, no stream started, and (where the build counts them) no event
  // handle beyond the monitor's own two. For use between the steps of a test.
  void ExpectNoLeaks();

  // Checked by TearDown; tests that keep objects on purpose clear it.
  bool expect_no_leaks_ = true;

 private:
  int event_handles_before_ = -1;   // before the monitor was made
  int event_handles_monitor_ = -1;  // with the monitor's two events
  int task_memory_before_ = -1;     // live CoTaskMemAlloc blocks
};

// ---- Signal analysis ----

// Index of the first sample whose magnitude reaches `threshold`; -1 when none does.
long Onset(const std::vector<double>& samples, double threshold, size_t from = 0);
// Every sample whose magnitude reaches `threshold` after one that did not: a sample held for
// several frames by a rate conversion counts once.
std::vector<long> Onsets(const std::vector<double>& samples, double threshold);
// Frequency in Hz from the rising zero crossings of samples[from, to).
double ZeroCrossingFrequency(const std::vector<double>& samples, size_t from, size_t to,
                             double rate);
// Magnitude of the `frequency` component of samples[from, to) (Goertzel), scaled so that a sine
// of amplitude A answers about A.
double ToneAmplitude(const std::vector<double>& samples, size_t from, size_t to, double frequency,
                     double rate);
// The clearest `window` samples of [from, to) for `frequency`: where ToneAmplitude is largest.
// Real-time tests judge the signal there, since a loaded machine may make the speakers play a
// missed period as silence.
size_t ClearestWindow(const std::vector<double>& samples, size_t from, size_t to, double frequency,
                      double rate, size_t window = 960);
// Largest magnitude in samples[from, to).
double Peak(const std::vector<double>& samples, size_t from, size_t to);

}  // namespace tonelark_test

#endif  // TESTS_AUDIO_AUDIO_FIXTURE_H_
