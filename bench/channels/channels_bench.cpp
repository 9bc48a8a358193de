// What the channel layer adds to the codec on the two hot paths of this program, measured through
// the stand-in engine. "<Case>/baseline" is the codec's own work on the same message, measured in
// the same run; "<Case>/channel" is the whole path (scripts/bench prints the ratio).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "channels/encodable_value.h"
#include "channels/event_channel.h"
#include "channels/method_call.h"
#include "channels/method_channel.h"
#include "channels/standard_method_codec.h"
#include "channels/stream_handler_functions.h"
#include "standins/engine/engine_control.h"

namespace {

using flutter::EncodableValue;

constexpr char kCommandChannel[] = "tonelark/guitar";
constexpr char kPcmChannel[] = "tonelark/guitar_pcm";
constexpr size_t kPcmEventBytes = 512;  // 256 mono 16-bit samples

const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::ForSerializer(nullptr);
}

std::vector<uint8_t> SetVolumeMessage() {
  return *Codec().EncodeCall(
      flutter::MethodCall<>("setVolume", std::make_unique<EncodableValue>(0.8)));
}

EncodableValue PcmEvent() {
  std::vector<uint8_t> samples(kPcmEventBytes);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<uint8_t>(i * 31);
  }
  return EncodableValue(std::move(samples));
}

// An engine without recording, so that the stand-in keeps no per-message history.
class BenchEngine {
 public:
  BenchEngine() {
    engine_standin::Reset();
    engine_standin::SetRecording(false);
    FlutterDesktopEngineProperties properties{};
    engine_ = FlutterDesktopEngineCreate(&properties);
    messenger_ =
        std::make_unique<flutter::BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
  }
  ~BenchEngine() {
    FlutterDesktopEngineDestroy(engine_);
    messenger_.reset();
    engine_standin::Reset();
  }

  FlutterDesktopEngineRef engine() const { return engine_; }
  flutter::BinaryMessengerImpl* messenger() const { return messenger_.get(); }

 private:
  FlutterDesktopEngineRef engine_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
};

// Decode the call, read the volume, encode the success envelope.
void SetVolumeRoundTripBaseline(benchmark::State& state) {
  const std::vector<uint8_t> message = SetVolumeMessage();
  double volume = 0;
  for (auto _ : state) {
    std::unique_ptr<flutter::MethodCall<>> call =
        Codec().DecodeCall(message.data(), message.size());
    volume = std::get<double>(*call->arguments());
    std::unique_ptr<std::vector<uint8_t>> reply = Codec().EncodeSuccess(nullptr);
    benchmark::DoNotOptimize(reply->data());
  }
  benchmark::DoNotOptimize(volume);
}

// The user interface delivers the call; the method channel decodes it, the handler answers and
// the reply goes back through the messenger's lock to the engine.
void SetVolumeRoundTripChannel(benchmark::State& state) {
  BenchEngine engine;
  flutter::MethodChannel<> channel(engine.messenger(), kCommandChannel, &Codec());
  double volume = 0;
  channel.SetMethodCallHandler([&volume](const flutter::MethodCall<>& call,
                                         std::unique_ptr<flutter::MethodResult<>> result) {
    volume = std::get<double>(*call.arguments());
    result->Success();
  });
  const std::vector<uint8_t> message = SetVolumeMessage();
  for (auto _ : state) {
    engine_standin::Response response = engine_standin::DeliverMessage(
        engine.engine(), kCommandChannel, message.data(), message.size());
    benchmark::DoNotOptimize(response);
  }
  benchmark::DoNotOptimize(volume);
  std::optional<std::vector<uint8_t>> last =
      engine_standin::DeliverMessage(engine.engine(), kCommandChannel, message.data(),
                                     message.size())
          .Get();
  if (!last || *last != std::vector<uint8_t>{0x00, 0x00}) {
    state.SkipWithError("the round trip gave no success reply");
  }
}

// Encode one PCM event.
void PcmEventBaseline(benchmark::State& state) {
  const EncodableValue event = PcmEvent();
  for (auto _ : state) {
    std::unique_ptr<std::vector<uint8_t>> bytes = Codec().EncodeSuccess(&event);
    benchmark::DoNotOptimize(bytes->data());
  }
}

// Send one PCM event through the sink that "listen" handed out.
void PcmEventChannel(benchmark::State& state) {
  BenchEngine engine;
  flutter::EventChannel<> channel(engine.messenger(), kPcmChannel, &Codec());
  std::unique_ptr<flutter::EventSink<>> sink;
  channel.SetStreamHandler(std::make_unique<flutter::StreamHandlerFunctions<>>(
      [&sink](const EncodableValue*, std::unique_ptr<flutter::EventSink<>>&& events)
          -> std::unique_ptr<flutter::StreamHandlerError<>> {
        sink = std::move(events);
        return nullptr;
      },
      [&sink](const EncodableValue*) -> std::unique_ptr<flutter::StreamHandlerError<>> {
        sink.reset();
        return nullptr;
      }));
  const std::vector<uint8_t> listen = *Codec().EncodeCall(flutter::MethodCall<>("listen", nullptr));
  engine_standin::DeliverMessage(engine.engine(), kPcmChannel, listen.data(), listen.size());
  if (!sink) {
    state.SkipWithError("listen gave no sink");
    return;
  }
  const EncodableValue event = PcmEvent();
  for (auto _ : state) {
    sink->Success(&event);
  }
  sink.reset();
}

BENCHMARK(SetVolumeRoundTripBaseline)->Name("SetVolumeRoundTrip/baseline");
BENCHMARK(SetVolumeRoundTripChannel)->Name("SetVolumeRoundTrip/channel");
BENCHMARK(PcmEventBaseline)->Name("PcmEvent/baseline");
BENCHMARK(PcmEventChannel)->Name("PcmEvent/channel");

}  // namespace

BENCHMARK_MAIN();
