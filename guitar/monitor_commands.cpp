// The "tonelark/guitar" command set.
#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include "guitar/monitor.h"

namespace tonelark {

namespace {

constexpr float kMaxGain = 4.0f;  // gain at volume 1.0

// True only for the bool true; every other shape, and no argument, reads as false.
bool IsTrue(const flutter::EncodableValue* argument) {
  if (argument == nullptr) return false;
  const bool* value = std::get_if<bool>(argument);
  return value != nullptr && *value;
}

}  // namespace

float VolumeFromArgument(const flutter::EncodableValue* argument) {
  double volume = 1.0;
  if (argument != nullptr) {
    if (const double* value = std::get_if<double>(argument)) {
      volume = *value;
    } else if (const int32_t* integer = std::get_if<int32_t>(argument)) {
      volume = static_cast<double>(*integer);
    }
  }
  // A NaN survives any clamp and would turn every monitored sample into NaN.
  if (std::isnan(volume)) volume = 1.0;
  if (volume < 0.0) volume = 0.0;
  if (volume > 1.0) volume = 1.0;
  return static_cast<float>(volume) * kMaxGain;
}

void Monitor::HandleMethodCall(const flutter::MethodCall<Value>& call,
                               std::unique_ptr<flutter::MethodResult<Value>> result) {
  const std::string& method = call.method_name();
  const Value* arguments = call.arguments();
  if (method == "start") {
    const bool ok = StartAudio(StartOptions::FromArgument(arguments));
    flutter::ValueMap reply;
    reply[Value("ok")] = Value(ok);
    reply[Value("name")] = Value(device_name_);
    reply[Value("sampleRate")] = Value(sample_rate_);
    reply[Value("renderExclusive")] = Value(render_exclusive_);
    const Value value(std::move(reply));
    result->Success(&value);
  } else if (method == "stop") {
    StopAudio();
    result->Success();
  } else if (method == "setSpeaker") {
    speaker_.exchange(IsTrue(arguments));
    result->Success();
  } else if (method == "setVolume") {
    volume_.exchange(VolumeFromArgument(arguments));
    result->Success();
  } else if (method == "click") {
    click_request_.exchange(IsTrue(arguments) ? 2 : 1);
    result->Success();
  } else if (method == "status") {
    const Value reply = StatusReply();
    result->Success(&reply);
  } else {
    result->NotImplemented();
  }
}

Monitor::Value Monitor::StatusReply() const {
  const StreamSummary streams = status_.Snapshot();
  const GlitchCounts glitches = glitches_.Snapshot();
  flutter::ValueMap reply;
  reply[Value("running")] = Value(audio_thread_.joinable() && started_.load());
  reply[Value("deviceLost")] = Value(streams.device_lost);
  reply[Value("name")] = Value(streams.name);
  reply[Value("renderName")] = Value(streams.render_name);
  reply[Value("sampleRate")] = Value(streams.sample_rate);
  reply[Value("captureExclusive")] = Value(streams.capture_exclusive);
  reply[Value("renderExclusive")] = Value(streams.render_exclusive);
  reply[Value("renderSampleRate")] = Value(streams.render_sample_rate);
  reply[Value("pcmSampleRate")] = Value(streams.pcm_sample_rate);
  reply[Value("capturePeriodMs")] = Value(streams.capture_period_ms);
  reply[Value("renderPeriodMs")] = Value(streams.render_period_ms);
  reply[Value("latencyMs")] = Value(streams.latency_ms);
  reply[Value("cushionMs")] = Value(streams.cushion_ms);
  reply[Value("engineDelayMs")] = Value(streams.engine_delay_ms);
  reply[Value("lowLatency")] = Value(start_options_.low_latency);
  reply[Value("sharedCapture")] = Value(start_options_.shared_capture);
  reply[Value("shareSpeakers")] = Value(start_options_.share_speakers);
  reply[Value("captureDiscontinuities")] = Value(glitches.capture_discontinuities);
  reply[Value("captureSamplesLost")] = Value(glitches.capture_samples_lost);
  reply[Value("renderUnderrunFrames")] = Value(glitches.render_underrun_frames);
  reply[Value("ringDroppedSamples")] = Value(glitches.ring_dropped_samples);
  reply[Value("pcmChunksDropped")] = Value(glitches.pcm_chunks_dropped);
  reply[Value("outputClippedSamples")] = Value(glitches.output_clipped_samples);
  return Value(std::move(reply));
}

}  // namespace tonelark
