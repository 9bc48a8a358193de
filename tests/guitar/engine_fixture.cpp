#include "tests/guitar/engine_fixture.h"

#include <utility>

#include "guitar/audio_loop.h"

namespace tonelark_test {

std::vector<int16_t> NumberedChunkSamples(int index) {
  std::vector<int16_t> samples(256);
  for (int i = 0; i < 256; ++i) {
    samples[i] = static_cast<int16_t>(index * 257 + i * 131 - 20000);
  }
  return samples;
}

Bytes ChunkBytes(int index) {
  Bytes bytes;
  for (int16_t sample : NumberedChunkSamples(index)) {
    const uint16_t bits = static_cast<uint16_t>(sample);
    bytes.push_back(static_cast<uint8_t>(bits & 0xFF));
    bytes.push_back(static_cast<uint8_t>(bits >> 8));
  }
  return bytes;
}

GuitarEngineTest::GuitarEngineTest() {
  tonelark::Monitor& m = monitor();
  m.audio_thread_body_ = ReportingBody(&runs_, true, 48000, true, "Rocksmith USB Guitar Adapter");
  FlutterDesktopEngineProperties properties = {};
  engine_ = FlutterDesktopEngineCreate(&properties);
  messenger_ =
      std::make_unique<flutter::BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
  window_ = std::make_unique<platform_test::TestWindow>();
  GuitarMonitorAttach(window_->hwnd(), messenger_.get());
}

GuitarEngineTest::~GuitarEngineTest() {
  GuitarMonitorDetach();
  // The Monitor outlives the test: put back what a fresh process would find.
  tonelark::Monitor& m = monitor();
  m.audio_thread_body_ = tonelark::AudioLoop;
  m.thread_starter_ = nullptr;
  m.on_report_ = nullptr;
  m.start_options_ = tonelark::StartOptions();
  m.glitches_.Reset();
  m.status_.Reset();
  m.speaker_ = true;
  m.volume_ = 4.0f;
  m.click_request_ = 0;
  m.pending_.clear();
  m.capture_.info = tonelark::StreamInfo();
  m.sample_rate_ = 0;
  m.render_exclusive_ = false;
  m.device_name_.clear();
  {
    std::lock_guard<std::mutex> lock(m.pcm_mutex_);
    m.pcm_queue_.clear();
    m.pcm_posted_ = false;
  }
  messenger_.reset();
  FlutterDesktopEngineDestroy(engine_);
  window_.reset();
  engine_standin::Reset();
}

std::optional<Bytes> GuitarEngineTest::Deliver(const std::string& channel, const Bytes& message) {
  return engine_standin::DeliverMessage(engine_, channel, message.data(), message.size()).Get();
}

std::optional<Bytes> GuitarEngineTest::Call(const std::string& channel, const std::string& method,
                                            const Bytes& argument) {
  Wire message;
  message.String(method);
  if (argument.empty()) {
    message.Null();
  } else {
    message.Append(argument);
  }
  return Deliver(channel, message.bytes());
}

bool GuitarEngineTest::Handled(const std::string& channel) {
  const Bytes message = Wire().String("probe").Null().bytes();
  return engine_standin::DeliverMessage(engine_, channel, message.data(), message.size())
      .delivered();
}

std::vector<Bytes> GuitarEngineTest::TakePcmEvents() {
  std::vector<Bytes> events;
  size_t seen = 0;
  for (const engine_standin::SentMessage& sent : engine_standin::SentMessages(engine_)) {
    if (sent.channel != kPcm) continue;
    if (seen++ < pcm_events_taken_) continue;
    EXPECT_FALSE(sent.wants_reply);
    events.push_back(sent.bytes);
  }
  pcm_events_taken_ = seen;
  return events;
}

void GuitarEngineTest::ProduceChunks(int first, int count, int32_t rate) {
  tonelark::Monitor& m = monitor();
  m.capture_.info.sample_rate = rate;
  for (int index = first; index < first + count; ++index) {
    const std::vector<int16_t> samples = NumberedChunkSamples(index);
    m.pending_.insert(m.pending_.end(), samples.begin(), samples.end());
  }
  m.ProducePcmChunks();
}

int GuitarEngineTest::PumpPcmReady(int expected, DWORD timeout_ms) {
  int consumed = 0;
  const platform_test::TestWindow::Handler handler = [&](UINT message, WPARAM, LPARAM) {
    if (GuitarMonitorHandleMessage(message)) ++consumed;
  };
  if (expected > 0) window_->Pump(handler, timeout_ms, [&] { return consumed >= expected; });
  window_->Pump(handler, 50);
  return consumed;
}

}  // namespace tonelark_test
