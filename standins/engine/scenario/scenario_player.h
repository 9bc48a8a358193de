// The user interface the stand-in plays: it runs a scenario's actions at their times, follows
// the traffic both ways (traffic.log), keeps the PCM the program streams (pcm.wav and a short
// waveform for the view), and sums everything up for report.txt.
//
// Threads: RunDue, RecordAnswer and Snapshot run on the user-interface thread. The traffic
// entry points (OnMessage, OnReply, OnEvent, Note) may run on any thread, since the program may
// answer from another one; they and Snapshot share the fields marked "shared", under mutex_.
// No callback (deliver, close) is called with mutex_ held.
#ifndef STANDINS_ENGINE_SCENARIO_SCENARIO_PLAYER_H_
#define STANDINS_ENGINE_SCENARIO_SCENARIO_PLAYER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "standins/engine/scenario/pcm_wav_writer.h"
#include "standins/engine/scenario/scenario.h"
#include "standins/engine/scenario/standin_report.h"
#include "standins/engine/scenario/traffic_log.h"

namespace engine_standin {

// The event channel whose byte-list events are the guitar's PCM.
inline constexpr char kPcmChannel[] = "tonelark/guitar_pcm";

class ScenarioPlayer {
 public:
  // Delivers one action's message; the player does not wait for the answer.
  using DeliverFn = std::function<void(const ScenarioAction& action)>;
  using CloseFn = std::function<void()>;

  // What the view shows; a copy taken under the lock.
  struct ViewSnapshot {
    std::vector<std::string> replies;  // newest last
    std::vector<int16_t> waveform;     // the most recent PCM samples, oldest first
    uint64_t pcm_events = 0;
    double pcm_rate = 0.0;      // events per second while streaming
    double pcm_rms_dbfs = 0.0;  // level of `waveform`, dBFS (-inf for silence)
    uint32_t sample_rate = 0;   // Hz, 0 until a "start" reply reported it
    size_t actions_done = 0;
    size_t actions_total = 0;
  };

  static constexpr size_t kRecentReplies = 24;
  static constexpr size_t kWaveformSamples = 4800;  // 100 ms at 48000 Hz

  // out_dir empty: nothing is written to files.
  explicit ScenarioPlayer(const std::string& out_dir);

  // Takes the scenario to play; each rejected line is reported once on standard error.
  void SetScenario(Scenario scenario);

  // Runs every action due at elapsed_ms after the first frame, in order. Returns the
  // milliseconds until the next action, or -1 when the scenario is done.
  int64_t RunDue(int64_t elapsed_ms, const DeliverFn& deliver, const CloseFn& close);

  // Traffic, time in ms after the first frame.
  void OnMessage(double time_ms, const std::string& channel, const uint8_t* data, size_t size);
  void OnReply(double time_ms, const std::string& channel, const uint8_t* data, size_t size);
  void OnEvent(double time_ms, const std::string& channel, const uint8_t* data, size_t size);
  void Note(double time_ms, const std::string& note);

  // The answer to one delivered action, for the view (nullopt: not answered).
  void RecordAnswer(double time_ms, const ScenarioAction& action,
                    const std::optional<std::vector<uint8_t>>& reply);

  ViewSnapshot Snapshot() const;
  // Adds the player's keys (scenario_*, replies, pcm_*) to report.
  void FillReport(StandinReport* report) const;

 private:
  void AppendPcm(double time_ms, const uint8_t* data, size_t size);
  // Events per second between the first and the last PCM event; with mutex_ held.
  double EventsPerSecondLocked() const;

  const std::string out_dir_;
  TrafficLog log_;

  // User-interface thread only:
  Scenario scenario_;
  size_t next_action_ = 0;

  mutable std::mutex mutex_;
  // shared:
  std::deque<std::string> recent_replies_;
  std::deque<int16_t> waveform_;
  uint64_t replies_ = 0;
  uint64_t pcm_events_ = 0;
  uint64_t pcm_samples_ = 0;
  uint64_t other_events_ = 0;  // program messages that are no PCM byte-list events
  std::set<size_t> pcm_event_bytes_;
  double first_pcm_ms_ = 0.0;
  double last_pcm_ms_ = 0.0;
  uint32_t sample_rate_ = 0;   // Hz, from the first reply that reported one
  bool rate_assumed_ = false;  // PCM came before any rate was reported: 48000 Hz assumed
  PcmWavWriter wav_;
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_SCENARIO_PLAYER_H_
