#include "standins/engine/scenario/scenario_player.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "standins/engine/scenario/wire_value.h"

namespace engine_standin {
namespace {

constexpr uint32_t kAssumedSampleRate = 48000;  // Hz
constexpr size_t kViewTextLimit = 160;          // characters of one reply line on the view

std::string FormatSeconds(double time_ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3f s", time_ms / 1000.0);
  return text;
}

std::string Shorten(std::string text) {
  if (text.size() > kViewTextLimit) text = text.substr(0, kViewTextLimit - 3) + "...";
  return text;
}

std::string DescribeAction(const ScenarioAction& action) {
  if (action.kind == ScenarioAction::Kind::kRaw) {
    return "raw [" + HexBytes(action.message.data(), action.message.size()) + "]";
  }
  return DescribeCall(action.message.data(), action.message.size());
}

}  // namespace

ScenarioPlayer::ScenarioPlayer(const std::string& out_dir) : out_dir_(out_dir) {
  if (!out_dir_.empty() && !log_.Open(JoinPath(out_dir_, "traffic.log"))) {
    std::cerr << "engine stand-in: cannot write " << JoinPath(out_dir_, "traffic.log") << std::endl;
  }
}

void ScenarioPlayer::SetScenario(Scenario scenario) {
  scenario_ = std::move(scenario);
  next_action_ = 0;
  for (const std::string& error : scenario_.errors) {
    std::cerr << "engine stand-in: scenario " << error << std::endl;
  }
}

int64_t ScenarioPlayer::RunDue(int64_t elapsed_ms, const DeliverFn& deliver, const CloseFn& close) {
  while (next_action_ < scenario_.actions.size() &&
         scenario_.actions[next_action_].at_ms <= elapsed_ms) {
    // Advance first: a delivery may pump messages and re-enter.
    const ScenarioAction& action = scenario_.actions[next_action_++];
    if (action.kind == ScenarioAction::Kind::kClose) {
      Note(static_cast<double>(elapsed_ms), "close the window");
      if (close) close();
    } else if (deliver) {
      deliver(action);
    }
  }
  if (next_action_ >= scenario_.actions.size()) return -1;
  return scenario_.actions[next_action_].at_ms - elapsed_ms;
}

void ScenarioPlayer::OnMessage(double time_ms, const std::string& channel, const uint8_t* data,
                               size_t size) {
  log_.Write(FormatTrafficLine(time_ms, TrafficKind::kMessage, channel, data, size));
}

void ScenarioPlayer::OnReply(double time_ms, const std::string& channel, const uint8_t* data,
                             size_t size) {
  log_.Write(FormatTrafficLine(time_ms, TrafficKind::kReply, channel, data, size));
  const WireEnvelope envelope = DecodeWireEnvelope(data, size);
  std::lock_guard<std::mutex> lock(mutex_);
  ++replies_;
  if (envelope.kind != WireEnvelope::Kind::kSuccess || sample_rate_ != 0) return;
  const WireValue* rate = envelope.result.Find("sampleRate");
  if (rate != nullptr && rate->kind == WireValue::Kind::kInt32 && rate->integer > 0) {
    sample_rate_ = static_cast<uint32_t>(rate->integer);
  }
}

void ScenarioPlayer::OnEvent(double time_ms, const std::string& channel, const uint8_t* data,
                             size_t size) {
  log_.Write(FormatTrafficLine(time_ms, TrafficKind::kEvent, channel, data, size));
  const WireEnvelope envelope = DecodeWireEnvelope(data, size);
  const bool pcm = channel == kPcmChannel && envelope.kind == WireEnvelope::Kind::kSuccess &&
                   envelope.complete && envelope.result.kind == WireValue::Kind::kBytes;
  if (pcm) {
    const std::string& bytes = envelope.result.text;
    AppendPcm(time_ms, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++other_events_;
}

void ScenarioPlayer::Note(double time_ms, const std::string& note) {
  log_.Write(FormatNoteLine(time_ms, note));
}

void ScenarioPlayer::AppendPcm(double time_ms, const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pcm_events_ == 0) first_pcm_ms_ = time_ms;
  last_pcm_ms_ = time_ms;
  ++pcm_events_;
  pcm_event_bytes_.insert(size);
  pcm_samples_ += size / 2;
  for (size_t i = 0; i + 1 < size; i += 2) {
    waveform_.push_back(static_cast<int16_t>(static_cast<uint16_t>(data[i] | (data[i + 1] << 8))));
  }
  while (waveform_.size() > kWaveformSamples) waveform_.pop_front();
  if (!wav_.is_open() && !out_dir_.empty()) {
    if (sample_rate_ == 0) rate_assumed_ = true;
    const uint32_t rate = sample_rate_ != 0 ? sample_rate_ : kAssumedSampleRate;
    if (!wav_.Open(JoinPath(out_dir_, "pcm.wav"), rate)) {
      std::cerr << "engine stand-in: cannot write " << JoinPath(out_dir_, "pcm.wav") << std::endl;
    }
  }
  wav_.Append(data, size);
}

double ScenarioPlayer::EventsPerSecondLocked() const {
  if (pcm_events_ < 2 || last_pcm_ms_ <= first_pcm_ms_) return 0.0;
  return static_cast<double>(pcm_events_ - 1) * 1000.0 / (last_pcm_ms_ - first_pcm_ms_);
}

void ScenarioPlayer::RecordAnswer(double time_ms, const ScenarioAction& action,
                                  const std::optional<std::vector<uint8_t>>& reply) {
  std::string line = FormatSeconds(time_ms) + "  " + action.channel + "  " + DescribeAction(action);
  if (reply) {
    line += "  ->  " + DescribeEnvelope(reply->data(), reply->size());
  } else {
    line += "  ->  (no answer yet)";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  recent_replies_.push_back(Shorten(line));
  while (recent_replies_.size() > kRecentReplies) recent_replies_.pop_front();
}

ScenarioPlayer::ViewSnapshot ScenarioPlayer::Snapshot() const {
  ViewSnapshot snapshot;
  snapshot.actions_done = next_action_;
  snapshot.actions_total = scenario_.actions.size();
  std::lock_guard<std::mutex> lock(mutex_);
  snapshot.replies.assign(recent_replies_.begin(), recent_replies_.end());
  snapshot.waveform.assign(waveform_.begin(), waveform_.end());
  snapshot.pcm_events = pcm_events_;
  snapshot.sample_rate = sample_rate_;
  snapshot.pcm_rate = EventsPerSecondLocked();
  double sum = 0.0;
  for (int16_t sample : waveform_) sum += static_cast<double>(sample) * sample;
  const double rms = waveform_.empty() ? 0.0 : std::sqrt(sum / waveform_.size()) / 32768.0;
  snapshot.pcm_rms_dbfs = rms > 0.0 ? 20.0 * std::log10(rms) : -INFINITY;
  return snapshot;
}

void ScenarioPlayer::FillReport(StandinReport* report) const {
  report->Set("scenario_actions", static_cast<long long>(scenario_.actions.size()));
  report->Set("scenario_errors", static_cast<long long>(scenario_.errors.size()));
  report->Set("scenario_played", static_cast<long long>(next_action_));
  std::lock_guard<std::mutex> lock(mutex_);
  report->Set("replies", static_cast<long long>(replies_));
  report->Set("pcm_events", static_cast<long long>(pcm_events_));
  std::string sizes;
  for (size_t size : pcm_event_bytes_) sizes += (sizes.empty() ? "" : ",") + std::to_string(size);
  report->Set("pcm_event_bytes", sizes);
  report->Set("pcm_sample_rate",
              static_cast<long long>(wav_.is_open() ? wav_.sample_rate() : sample_rate_));
  report->Set("pcm_sample_rate_assumed", rate_assumed_ ? 1 : 0);
  report->Set("pcm_samples", static_cast<long long>(pcm_samples_));
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.2f", EventsPerSecondLocked());
  report->Set("pcm_events_per_second", rate);
  report->Set("other_events", static_cast<long long>(other_events_));
}

}  // namespace engine_standin
