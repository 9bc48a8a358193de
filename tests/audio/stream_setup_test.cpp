// Opening the streams: formats tried, durations, realignment, zero buffers, shared fall-back,
// and the debugger lines that go with them.
#include <string>
#include <vector>

#include "guitar/audio_loop.h"
#include "guitar/audio_stream.h"
#include "guitar/open_streams.h"
#include "platform/audio_guids.h"
#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using tonelark::AudioStream;
using tonelark::OpenStreams;

std::vector<REFERENCE_TIME> Durations(const std::vector<virtual_audio::CallRecord>& calls) {
  std::vector<REFERENCE_TIME> durations;
  for (const auto& call : calls) {
    EXPECT_EQ(call.duration, call.periodicity) << "exclusive periodicity follows the duration";
    durations.push_back(call.duration);
  }
  return durations;
}

class StreamSetupTest : public AudioTest {
 protected:
  void ExpectLine(const std::string& expected) {
    if (DebugOutputSupported()) {
      EXPECT_EQ(DebugOutput(), expected);
    }
  }
};

TEST_F(StreamSetupTest, OpensExclusiveCaptureAndRenderWithoutStartingThem) {
  AddGuitarAndSpeakers();
  ASSERT_TRUE(OpenStreams(monitor()));
  ExpectLine("Tonelark exclusive 48000 Hz capture, render exclusive 48000 Hz\n");
  EXPECT_EQ(monitor().device_name_, "Rocksmith Guitar Adapter");

  const tonelark::StreamInfo& capture = monitor().capture_.info;
  EXPECT_EQ(capture.sample_rate, 48000);
  EXPECT_EQ(capture.channels, 1);
  EXPECT_EQ(capture.block_align, 2);
  EXPECT_FALSE(capture.is_float);
  EXPECT_TRUE(capture.exclusive);
  EXPECT_EQ(monitor().capture_.buffer_frames, 480u) << "10 ms at 48000 Hz";
  const tonelark::StreamInfo& render = monitor().render_.info;
  EXPECT_EQ(render.channels, 2);
  EXPECT_EQ(render.block_align, 4);
  EXPECT_TRUE(render.exclusive);
  EXPECT_TRUE(monitor().capture_.event);
  EXPECT_TRUE(monitor().render_.event);
  EXPECT_NE(monitor().capture_.event.Get(), monitor().render_.event.Get());
  EXPECT_TRUE(monitor().capture_client_);
  EXPECT_TRUE(monitor().render_client_);
  EXPECT_EQ(audio_.TakeAudit().started_streams, 0);

  for (const auto& call : CallsOf("IAudioClient::Initialize")) {
    EXPECT_EQ(call.stream_flags, AUDCLNT_STREAMFLAGS_EVENTCALLBACK);
    EXPECT_EQ(call.share_mode, AUDCLNT_SHAREMODE_EXCLUSIVE);
  }
  tonelark::CloseStreams(monitor());
  EXPECT_FALSE(monitor().capture_client_);
  EXPECT_FALSE(monitor().render_.event);
}

TEST_F(StreamSetupTest, ADeviceTakingOnly44100HzStereoIsOpenedWithTheLastCandidate) {
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Real Tone Cable");
  guitar.exclusive_formats = {Pcm(44100, 2)};
  audio_.AddDevice(guitar);
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats = {Pcm(44100, 1)};
  audio_.AddDevice(speakers);

  ASSERT_TRUE(OpenStreams(monitor()));
  ExpectLine("Tonelark exclusive 44100 Hz capture, render exclusive 44100 Hz\n");

  std::vector<std::pair<uint32_t, int>> probed;
  for (const auto& call : CallsOf("IAudioClient::IsFormatSupported", L"guitar")) {
    EXPECT_EQ(call.share_mode, AUDCLNT_SHAREMODE_EXCLUSIVE);
    probed.emplace_back(call.format.rate, call.format.channels);
  }
  const std::vector<std::pair<uint32_t, int>> expected = {
      {48000, 1}, {48000, 2}, {44100, 1}, {44100, 2}};
  EXPECT_EQ(probed, expected);
  EXPECT_EQ(CallsOf("IAudioClient::Initialize", L"guitar").size(), 1u);
  EXPECT_EQ(monitor().capture_.info.block_align, 4);

  // The render side follows the capture rate: stereo 16-bit is refused, mono 16-bit taken.
  const auto render_probes = CallsOf("IAudioClient::IsFormatSupported", L"speakers");
  ASSERT_EQ(render_probes.size(), 2u);
  EXPECT_EQ(render_probes[0].format, Pcm(44100, 2));
  EXPECT_EQ(render_probes[1].format, Pcm(44100, 1));
  EXPECT_EQ(monitor().render_.info.channels, 1);
}

TEST_F(StreamSetupTest, RenderCandidatesCoverPacked24BitAndFloat) {
  AddGuitarAndSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats = {Float32(48000, 2)};
  audio_.AddDevice(speakers);
  ASSERT_TRUE(OpenStreams(monitor()));
  const auto probes = CallsOf("IAudioClient::IsFormatSupported", L"speakers");
  ASSERT_EQ(probes.size(), 4u);
  EXPECT_EQ(probes[2].format, Pcm(48000, 2, 24));
  EXPECT_EQ(probes[3].format, Float32(48000, 2));
  EXPECT_TRUE(monitor().render_.info.is_float);
  EXPECT_EQ(monitor().render_.info.block_align, 8);
}

// Drivers check the whole extensible record; so does the virtual device, which refuses one that
// disagrees with itself. What reached it, field by field:
TEST_F(StreamSetupTest, EveryExclusiveRecordIsACompleteExtensibleFormat) {
  AddGuitarAndSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats = {Float32(48000, 2)};
  audio_.AddDevice(speakers);
  ASSERT_TRUE(OpenStreams(monitor()));
  struct Expected {
    const wchar_t* device;
    size_t probe;
    WORD valid_bits;
    DWORD channel_mask;
  };
  for (const Expected& e : {Expected{L"guitar", 0, 16, 4}, Expected{L"speakers", 0, 16, 3},
                            Expected{L"speakers", 1, 16, 4}, Expected{L"speakers", 2, 24, 3},
                            Expected{L"speakers", 3, 32, 3}}) {
    const auto probes = CallsOf("IAudioClient::IsFormatSupported", e.device);
    ASSERT_GT(probes.size(), e.probe);
    const virtual_audio::CallRecord& probe = probes[e.probe];
    SCOPED_TRACE(testing::Message() << "probe " << e.probe);
    ASSERT_TRUE(probe.has_record);
    EXPECT_EQ(probe.format_tag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(probe.cb_size, 22);
    EXPECT_EQ(probe.valid_bits, e.valid_bits);
    EXPECT_EQ(probe.channel_mask, e.channel_mask);
    EXPECT_EQ(probe.result, e.probe == 3 || e.device == std::wstring(L"guitar")
                                ? S_OK
                                : AUDCLNT_E_UNSUPPORTED_FORMAT);
  }
  for (const auto& init : CallsOf("IAudioClient::Initialize")) {
    EXPECT_TRUE(init.has_record);
    EXPECT_EQ(init.result, S_OK);
  }
}

TEST_F(StreamSetupTest, DurationsComeFromTheDevicePeriodsWithATenMillisecondFloor) {
  struct Case {
    REFERENCE_TIME default_period, minimum_period;
    std::vector<REFERENCE_TIME> expected;
  };
  const Case cases[] = {
      {0, 0, {100000, 100000, 100000}},
      {100000, 30000, {100000, 100000, 30000}},
      {200000, 150000, {150000, 200000, 150000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.minimum_period);
    audio_.Reset();
    DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
    guitar.default_period = c.default_period;
    guitar.minimum_period = c.minimum_period;
    audio_.AddDevice(guitar);
    audio_.FailCall("IAudioClient::Initialize", AUDCLNT_E_DEVICE_IN_USE);
    EXPECT_FALSE(OpenStreams(monitor()));
    EXPECT_EQ(Durations(CallsOf("IAudioClient::Initialize", L"guitar")), c.expected);
    ExpectLine("Tonelark exclusive capture failed 0x80004005\n");
  }
}

TEST_F(StreamSetupTest, AnUnalignedDurationIsRetriedWithTheDevicesAlignedBuffer) {
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  guitar.exclusive_formats = {Pcm(44100, 1)};
  guitar.minimum_period = 10000;
  guitar.buffer_alignment_frames = 441;
  audio_.AddDevice(guitar);
  const auto format = virtual_audio::MakeWaveFormat(Pcm(44100, 1));

  AudioStream stream;
  ASSERT_TRUE(stream.OpenExclusive(Device(L"guitar").Get(), format, 80000));
  EXPECT_EQ(Durations(CallsOf("IAudioClient::Initialize")),
            (std::vector<REFERENCE_TIME>{80000, 100000}))
      << "441 frames at 44100 Hz are 100 000 units";
  EXPECT_EQ(stream.buffer_frames, 441u);
  EXPECT_EQ(stream.info.sample_rate, 44100);
  EXPECT_TRUE(stream.info.exclusive);
  EXPECT_EQ(CallsOf("IMMDevice::Activate").size(), 2u) << "a fresh client for the second try";
  stream.Close();

  // No second client to be had: the attempt fails and nothing stays open.
  audio_.ClearCalls();
  audio_.FailCall("IMMDevice::Activate", E_OUTOFMEMORY, {L"guitar", 2});
  EXPECT_FALSE(stream.OpenExclusive(Device(L"guitar").Get(), format, 80000));
  EXPECT_FALSE(stream.client);
  EXPECT_FALSE(stream.event);
}

TEST_F(StreamSetupTest, AZeroBufferCountsAsAFailedAttempt) {
  AddGuitarAndSpeakers();
  audio_.FailCall("IAudioClient::GetBufferSize", E_FAIL, {L"guitar", 1});
  ASSERT_TRUE(OpenStreams(monitor()));
  EXPECT_EQ(CallsOf("IAudioClient::Initialize", L"guitar").size(), 2u) << "the next duration";
  EXPECT_EQ(monitor().capture_.buffer_frames, 480u);

  tonelark::CloseStreams(monitor());
  audio_.Reset();
  AddGuitarAndSpeakers();
  DeviceConfig empty = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  empty.zero_buffer = true;
  audio_.AddDevice(empty);
  DebugOutput();
  EXPECT_FALSE(OpenStreams(monitor()));
  EXPECT_EQ(CallsOf("IAudioClient::Initialize", L"guitar").size(), 3u);
  ExpectLine("Tonelark exclusive capture failed 0x80004005\n");
}

TEST_F(StreamSetupTest, ARenderDeviceRefusingEveryExclusiveFormatIsOpenedShared) {
  AddGuitarAndSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats.clear();
  speakers.mix_format = Float32(44100, 2);
  audio_.AddDevice(speakers);
  ASSERT_TRUE(OpenStreams(monitor()));
  ExpectLine("Tonelark exclusive 48000 Hz capture, render shared 44100 Hz\n");

  const tonelark::StreamInfo& render = monitor().render_.info;
  EXPECT_FALSE(render.exclusive);
  EXPECT_EQ(render.sample_rate, 44100);
  EXPECT_TRUE(render.is_float);
  EXPECT_EQ(render.block_align, 8);
  EXPECT_EQ(monitor().render_.buffer_frames, 1056u);
  const auto inits = CallsOf("IAudioClient::Initialize", L"speakers");
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].share_mode, AUDCLNT_SHAREMODE_SHARED);
  EXPECT_EQ(inits[0].duration, 0);
  EXPECT_EQ(inits[0].periodicity, 0);
  EXPECT_EQ(inits[0].stream_flags, AUDCLNT_STREAMFLAGS_EVENTCALLBACK);
  EXPECT_EQ(inits[0].format, Float32(44100, 2));
}

// Windows refuses shared mode too while another program holds the device exclusively: the start
// fails with the shared step's line instead of claiming speakers it cannot play through.
TEST_F(StreamSetupTest, ARenderDeviceHeldByAnotherProgramRefusesSharedModeToo) {
  AddGuitarAndSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.held_exclusively = true;
  audio_.AddDevice(speakers);
  EXPECT_FALSE(OpenStreams(monitor()));
  ExpectLine("Tonelark shared init failed 0x8889000a\n");
  tonelark::CloseStreams(monitor());
}

TEST_F(StreamSetupTest, ASharedRenderStreamTakesTheMixFormatAndTheEnginePeriod) {
  AddGuitarAndSpeakers();
  DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
  speakers.exclusive_formats.clear();
  speakers.mix_format = Pcm(48000, 2, 32);
  speakers.default_period = 100000;
  audio_.AddDevice(speakers);
  ASSERT_TRUE(OpenStreams(monitor()));
  ExpectLine("Tonelark exclusive 48000 Hz capture, render shared 48000 Hz\n");
  EXPECT_FALSE(monitor().render_.info.is_float) << "a 32-bit integer mix format";
  EXPECT_EQ(monitor().render_.period_frames, 480u);
  EXPECT_EQ(monitor().render_.buffer_frames, 1056u);
  EXPECT_EQ(monitor().capture_.period_frames, monitor().capture_.buffer_frames);
}

TEST_F(StreamSetupTest, OnlyTheNamedStepsWriteALine) {
  struct Case {
    const char* method;
    std::wstring device;
    HRESULT hr;
    const char* line;
  };
  const Case cases[] = {
      {"IAudioClient::Initialize", L"speakers", AUDCLNT_E_DEVICE_IN_USE,
       "Tonelark shared init failed 0x8889000a\n"},
      {"IAudioClient::IsFormatSupported", L"guitar", AUDCLNT_E_UNSUPPORTED_FORMAT,
       "Tonelark exclusive capture failed 0x80004005\n"},
      {"IAudioClient::GetMixFormat", L"speakers", E_OUTOFMEMORY, ""},
      {"IAudioClient::GetService", L"guitar", E_NOINTERFACE, ""},
      {"IAudioClient::GetService", L"speakers", E_NOINTERFACE, ""},
      {"IMMDeviceEnumerator::GetDefaultAudioEndpoint", L"", E_FAIL, ""},
      {"IMMDeviceEnumerator::EnumAudioEndpoints", L"", E_FAIL, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    audio_.Reset();
    AddGuitarAndSpeakers();
    if (std::string(c.line).find("shared") != std::string::npos ||
        std::string(c.method) == "IAudioClient::GetMixFormat") {
      DeviceConfig speakers = RenderDevice(L"speakers", L"Speakers");
      speakers.exclusive_formats.clear();
      audio_.AddDevice(speakers);
    }
    audio_.FailCall(c.method, c.hr, {c.device, 0});
    EXPECT_FALSE(OpenStreams(monitor()));
    ExpectLine(c.line);
    tonelark::CloseStreams(monitor());
  }
}

TEST_F(StreamSetupTest, TheNameOfTheInputStaysSetWhenALaterStepFails) {
  DeviceConfig guitar = CaptureDevice(L"guitar", L"Rocksmith Guitar Adapter");
  guitar.exclusive_formats.clear();
  audio_.AddDevice(guitar);
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  EXPECT_FALSE(OpenStreams(monitor()));
  ExpectLine("Tonelark exclusive capture failed 0x80004005\n");
  EXPECT_EQ(monitor().device_name_, "Rocksmith Guitar Adapter");
  EXPECT_TRUE(CallsOf("IMMDevice::Activate", L"speakers").empty());
}

TEST_F(StreamSetupTest, AMissingEnumeratorClassIsLogged) {
  AddGuitarAndSpeakers();
  audio_.Unregister();
  platform::ComPtr<IMMDeviceEnumerator> probe;
  if (SUCCEEDED(CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                 platform::kIidIMMDeviceEnumerator,
                                 probe.ReleaseAndGetVoidAddress()))) {
    GTEST_SKIP() << "a device enumerator is installed system-wide";
  }
  EXPECT_FALSE(OpenStreams(monitor()));
  if (DebugOutputSupported()) {
    const std::string line = DebugOutput();
    EXPECT_EQ(line.rfind("Tonelark enumerator failed 0x8", 0), 0u) << line;
    EXPECT_EQ(line.size(), std::string("Tonelark enumerator failed 0x80040154\n").size());
  }
}

TEST(FloatFormatTest, RecognisesPlainAndExtensibleFloat) {
  WAVEFORMATEXTENSIBLE format = virtual_audio::MakeWaveFormat(tonelark_test::Float32(48000, 2));
  EXPECT_TRUE(tonelark::IsFloatFormat(format.Format));
  format.Format.cbSize = 21;
  EXPECT_FALSE(tonelark::IsFloatFormat(format.Format)) << "too short for the sub-format";
  format = virtual_audio::MakeWaveFormat(tonelark_test::Pcm(48000, 2, 32));
  EXPECT_FALSE(tonelark::IsFloatFormat(format.Format));
  WAVEFORMATEX plain{};
  plain.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  EXPECT_TRUE(tonelark::IsFloatFormat(plain));
  plain.wFormatTag = WAVE_FORMAT_PCM;
  EXPECT_FALSE(tonelark::IsFloatFormat(plain));
}

}  // namespace
}  // namespace tonelark_test
