// The "start" argument map and the "status" command, through the channel as the user interface
// sends them; and the Monitor's attachment rules that the channels depend on.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include "channels/method_result.h"
#include "channels/standard_method_codec.h"
#include "gtest/gtest.h"
#include "guitar/engine_status.h"
#include "guitar/start_options.h"
#include "tests/guitar/engine_fixture.h"

namespace tonelark_test {
namespace {

using flutter::EncodableValue;
using flutter::ValueMap;
using tonelark::StartOptions;

// The value of a success envelope; null for anything else.
class SuccessValue : public flutter::MethodResult<EncodableValue> {
 public:
  explicit SuccessValue(EncodableValue* out) : out_(out) {}
  void Success(const EncodableValue* result = nullptr) override {
    if (result != nullptr) *out_ = *result;
  }
  void Error(const std::string&, const std::string& = "",
             const EncodableValue* = nullptr) override {}
  void NotImplemented() override {}

 private:
  EncodableValue* out_;
};

ValueMap ReplyMap(const std::optional<Bytes>& reply) {
  EncodableValue value;
  if (reply) {
    SuccessValue result(&value);
    flutter::StandardMethodCodec::ForSerializer(nullptr).DecodeResponse(reply->data(),
                                                                        reply->size(), &result);
  }
  const ValueMap* map = std::get_if<ValueMap>(&value);
  return map != nullptr ? *map : ValueMap();
}

TEST(StartOptionsTest, ReadsEachKeyAndIgnoresEveryOtherShape) {
  const auto options = [](const EncodableValue& argument) {
    const StartOptions parsed = StartOptions::FromArgument(&argument);
    return std::make_tuple(parsed.low_latency, parsed.shared_capture, parsed.share_speakers);
  };
  const auto Pair = [](bool low_latency, bool shared_capture, bool share_speakers = false) {
    return std::make_tuple(low_latency, shared_capture, share_speakers);
  };
  EXPECT_EQ(options(EncodableValue(ValueMap{{"lowLatency", true}})), Pair(true, false));
  EXPECT_EQ(options(EncodableValue(ValueMap{{"sharedCapture", true}})), Pair(false, true));
  EXPECT_EQ(options(EncodableValue(ValueMap{{"lowLatency", true}, {"sharedCapture", true}})),
            Pair(true, true));
  EXPECT_EQ(options(EncodableValue(ValueMap{{"shareSpeakers", true}})), Pair(false, false, true));
  // A wrong type, a false, a near miss of a key, and keys that are no strings count as false.
  EXPECT_EQ(options(EncodableValue(
                ValueMap{{"lowLatency", int32_t{1}}, {"sharedCapture", std::string("true")}})),
            Pair(false, false));
  EXPECT_EQ(options(EncodableValue(ValueMap{{"lowLatency", false}, {"sharedcapture", true}})),
            Pair(false, false));
  EXPECT_EQ(options(EncodableValue(ValueMap{{int32_t{1}, true}, {EncodableValue(), true}})),
            Pair(false, false));
  // Anything but a map is the plain start.
  for (const EncodableValue& other :
       {EncodableValue(), EncodableValue(true), EncodableValue(std::string("lowLatency")),
        EncodableValue(flutter::ValueList{EncodableValue("lowLatency"), EncodableValue(true)})}) {
    EXPECT_EQ(options(other), Pair(false, false));
  }
  EXPECT_FALSE(StartOptions::FromArgument(nullptr).low_latency);
}

class StartAndStatusTest : public GuitarEngineTest {
 protected:
  // Runs the fake audio thread with a record of the options it was started with.
  void RecordOptions() {
    auto report = ReportingBody(&runs_, true, 48000, true, "Rocksmith USB Guitar Adapter");
    monitor().audio_thread_body_ = [this, report](tonelark::Monitor& monitor) {
      seen_ = monitor.start_options_;
      report(monitor);
    };
  }

  StartOptions seen_;
};

TEST_F(StartAndStatusTest, AStartMapReachesTheAudioThreadAndTheReplyKeepsItsFourEntries) {
  RecordOptions();
  const Bytes both =
      Wire().Map(2).String("lowLatency").Bool(true).String("sharedCapture").Bool(true).bytes();
  EXPECT_EQ(Call(kCommands, "start", both),
            StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  EXPECT_TRUE(seen_.low_latency);
  EXPECT_TRUE(seen_.shared_capture);

  // A start without the map is the plain one again, not the previous options.
  EXPECT_EQ(Call(kCommands, "start"),
            StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  EXPECT_FALSE(seen_.low_latency);
  EXPECT_FALSE(seen_.shared_capture);
  EXPECT_EQ(Call(kCommands, "stop"), SuccessWithoutValue());
}

TEST_F(StartAndStatusTest, StatusReportsTheEngineWithoutChangingIt) {
  const ValueMap idle = ReplyMap(Call(kCommands, "status"));
  EXPECT_EQ(idle.at("running"), EncodableValue(false));
  EXPECT_EQ(idle.at("deviceLost"), EncodableValue(false));
  EXPECT_EQ(idle.at("sampleRate"), EncodableValue(int32_t{0}));
  for (const char* counter :
       {"captureDiscontinuities", "captureSamplesLost", "renderUnderrunFrames",
        "ringDroppedSamples", "pcmChunksDropped", "outputClippedSamples"}) {
    EXPECT_EQ(idle.at(counter), EncodableValue(int64_t{0})) << counter;
  }
  for (const char* period :
       {"capturePeriodMs", "renderPeriodMs", "latencyMs", "cushionMs", "engineDelayMs"}) {
    EXPECT_TRUE(std::holds_alternative<double>(idle.at(period))) << period;
  }
  for (const char* flag :
       {"captureExclusive", "renderExclusive", "lowLatency", "sharedCapture", "shareSpeakers"}) {
    EXPECT_TRUE(std::holds_alternative<bool>(idle.at(flag))) << flag;
  }
  EXPECT_TRUE(std::holds_alternative<std::string>(idle.at("name")));
  EXPECT_TRUE(std::holds_alternative<std::string>(idle.at("renderName")));
  EXPECT_TRUE(std::holds_alternative<int32_t>(idle.at("renderSampleRate")));
  EXPECT_EQ(idle.at("pcmSampleRate"), EncodableValue(int32_t{0}));
  EXPECT_EQ(idle.size(), 23u);
  EXPECT_EQ(runs_.started.load(), 0) << "status starts nothing";

  RecordOptions();
  ASSERT_EQ(Call(kCommands, "start", Wire().Map(1).String("lowLatency").Bool(true).bytes()),
            StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  // Chunks pushed out of a full queue while nobody drains.
  ProduceChunks(0, 35);
  const ValueMap running = ReplyMap(Call(kCommands, "status"));
  EXPECT_EQ(running.at("running"), EncodableValue(true));
  EXPECT_EQ(running.at("lowLatency"), EncodableValue(true));
  EXPECT_EQ(running.at("pcmChunksDropped"), EncodableValue(int64_t{3}));
  EXPECT_EQ(runs_.started.load(), 1);

  EXPECT_EQ(Call(kCommands, "stop"), SuccessWithoutValue());
  EXPECT_EQ(ReplyMap(Call(kCommands, "status")).at("running"), EncodableValue(false));
  // The counters start again with the next start.
  ASSERT_EQ(Call(kCommands, "start"),
            StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  EXPECT_EQ(ReplyMap(Call(kCommands, "status")).at("pcmChunksDropped"), EncodableValue(int64_t{0}));
}

// The audio thread loses and finds its devices while "status" is read: a reply never shows a lost
// device beside open streams, nor streams gone without the loss.
TEST(EngineStatusTest, ALossAndAReturnAreSeenWhole) {
  tonelark::EngineStatus status;
  tonelark::StreamSummary open;
  open.name = "Rocksmith";
  open.sample_rate = 48000;
  status.Publish(open);
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (int i = 0; i < 20000; ++i) {
      status.MarkLost();
      status.Publish(open);
    }
    done = true;
  });
  long contradictions = 0;
  long reads = 0;
  while (!done) {
    const tonelark::StreamSummary seen = status.Snapshot();
    contradictions += seen.device_lost == (seen.sample_rate != 0) ? 1 : 0;
    ++reads;
  }
  audio.join();
  EXPECT_EQ(contradictions, 0) << "in " << reads << " reads";
}

// The listener of the old channels is no listener of the new ones: its sink may point at a
// messenger that is gone, and the new stream has not been listened to.
TEST_F(StartAndStatusTest, ASecondAttachDropsTheOldListener) {
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  GuitarMonitorAttach(window_->hwnd(), messenger_.get());
  EXPECT_EQ(monitor().sink_, nullptr);
  ProduceChunks(0, 2);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_TRUE(TakePcmEvents().empty());
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(2, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(2))});
}

TEST_F(StartAndStatusTest, AttachWithoutAMessengerRegistersNoChannels) {
  GuitarMonitorDetach();
  GuitarMonitorAttach(window_->hwnd(), nullptr);
  EXPECT_EQ(monitor().method_channel_, nullptr);
  EXPECT_EQ(monitor().event_channel_, nullptr);
  EXPECT_FALSE(Handled(kCommands));
  EXPECT_FALSE(Handled(kPcm));
  EXPECT_EQ(monitor().hwnd_.load(), window_->hwnd());
  GuitarMonitorAttach(window_->hwnd(), messenger_.get());
  EXPECT_TRUE(Handled(kCommands));
}

}  // namespace
}  // namespace tonelark_test
