// Plugs the scenario player into the engine stand-in DLL: at load it registers the stand-in's
// observers; at the first view controller it reads the scenario, then plays it on the
// user-interface thread from a thread timer (never blocking that thread beyond what the program
// itself does with a message), logs the traffic, repaints the view and keeps report.txt current,
// sampling the process's resources into resources.log at each write. From the load on it keeps
// the program's debugger output in debug.log.
//
// Threads: everything runs on the user-interface thread except the traffic observer, which may
// be called wherever the program answers; it only reaches the player's thread-safe entry points.
#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "standins/engine/engine_control.h"
#include "standins/engine/scenario/debug_output_log.h"
#include "standins/engine/scenario/output_file.h"
#include "standins/engine/scenario/resource_log.h"
#include "standins/engine/scenario/scenario.h"
#include "standins/engine/scenario/scenario_player.h"
#include "standins/engine/scenario/standin_report.h"
#include "standins/engine/scenario/view_painter.h"
#include "standins/engine/scenario/wire_value.h"

namespace engine_standin {
namespace {

constexpr UINT kTickMs = 5;         // timer period; Windows rounds it up to about 10 ms
constexpr int64_t kRepaintMs = 33;  // about 30 repaints per second while something changes
constexpr int64_t kReportMs = 500;  // report.txt is rewritten this often while running
constexpr char kGuitarChannel[] = "tonelark/guitar";

using Clock = std::chrono::steady_clock;

std::string DestroyedByName(DestroyedBy by) {
  switch (by) {
    case DestroyedBy::kNotDestroyed:
      return "none";
    case DestroyedBy::kEngineDestroy:
      return "FlutterDesktopEngineDestroy";
    case DestroyedBy::kViewControllerDestroy:
      return "FlutterDesktopViewControllerDestroy";
    case DestroyedBy::kViewControllerCreate:
      return "FlutterDesktopViewControllerCreate";
  }
  return "unknown";
}

std::string PlainHex(const std::string& bytes) {
  std::string hex;
  char digits[4];
  for (char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    hex += digits;
  }
  return hex;
}

// Whether both guitar channels had their callbacks removed by the time the engine ended: the
// SetCallback calls made before the destroying call, replayed in order.
bool ChannelsClearedBeforeEnd(FlutterDesktopEngineRef engine) {
  const int64_t destroyed_at = DestroyedAtOf(engine);
  if (destroyed_at < 0) return false;
  const std::vector<std::string> calls = CallLog();
  size_t set_callbacks_before = 0;
  for (int64_t i = 0; i < destroyed_at && i < static_cast<int64_t>(calls.size()); ++i) {
    if (calls[static_cast<size_t>(i)] == "FlutterDesktopMessengerSetCallback") {
      ++set_callbacks_before;
    }
  }
  const std::vector<SetCallbackCall> set_calls = SetCallbackCalls(engine);
  bool guitar_registered = false;
  bool pcm_registered = false;
  bool guitar_seen = false;
  bool pcm_seen = false;
  for (size_t i = 0; i < set_callbacks_before && i < set_calls.size(); ++i) {
    const bool registered = set_calls[i].callback != nullptr;
    if (set_calls[i].channel == kGuitarChannel) {
      guitar_registered = registered;
      guitar_seen = true;
    } else if (set_calls[i].channel == kPcmChannel) {
      pcm_registered = registered;
      pcm_seen = true;
    }
  }
  return guitar_seen && pcm_seen && !guitar_registered && !pcm_registered;
}

void SetArgumentKeys(const EngineProperties& properties, StandinReport* report) {
  report->Set("arg_count", static_cast<long long>(properties.entrypoint_argc));
  for (size_t i = 0; i < properties.entrypoint_arguments.size(); ++i) {
    report->Set("arg" + std::to_string(i), PlainHex(properties.entrypoint_arguments[i]));
  }
}

void SetEngineEndKeys(FlutterDesktopEngineRef engine, StandinReport* report) {
  report->Set("engine_destroyed_by", DestroyedByName(DestroyedByOf(engine)));
  report->Set("channels_cleared_before_engine_end", ChannelsClearedBeforeEnd(engine) ? 1 : 0);
  report->Set("misuse_count", static_cast<long long>(MisuseCount()));
}

std::atomic<bool> host_created{false};  // set by the first observer call, read at unload

// Created when the DLL loads, before the program can write anything, and gone only after the
// host: the last output of a run still has a log.
DebugOutputLog& DebugLog() {
  static DebugOutputLog log;
  return log;
}

class ScenarioHost {
 public:
  static ScenarioHost& Get() {
    static ScenarioHost host;
    host_created = true;
    return host;
  }

  ~ScenarioHost() { WriteReport(); }

  void OnViewControllerCreated(FlutterDesktopEngineRef engine, HWND view);
  void OnFrame(FlutterDesktopEngineRef engine, bool after);
  void OnTraffic(const TrafficEvent& event);
  void Paint(HWND view, HDC dc, const RECT& client);

 private:
  struct Pending {
    ScenarioAction action;
    Response response;
  };

  ScenarioHost() = default;

  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
  void Tick();
  void Deliver(const ScenarioAction& action);
  void CloseWindow();
  void PollPending();
  void WriteReport();
  double NowMs() const;
  HWND TopLevel() const;

  std::unique_ptr<ScenarioPlayer> player_;  // created with the first view controller
  std::string report_path_;
  StandinReport report_;
  ResourceLog resources_;  // sampled at each report write
  FlutterDesktopEngineRef engine_ = nullptr;
  HWND view_ = nullptr;
  UINT_PTR timer_ = 0;
  Clock::time_point created_;
  std::optional<Clock::time_point> first_frame_;
  bool first_frame_done_ = false;
  bool ticking_ = false;  // a delivery runs program code; the timer must not re-enter
  bool scenario_done_ = false;
  std::vector<Pending> pending_;  // delivered actions still waiting for their answer
  int64_t last_repaint_ms_ = -kRepaintMs;
  int64_t last_report_ms_ = 0;
  uint64_t painted_events_ = ~0ull;
  size_t painted_replies_ = ~static_cast<size_t>(0);
  bool dirty_ = true;
};

double ScenarioHost::NowMs() const {
  const Clock::time_point origin = first_frame_ ? *first_frame_ : created_;
  return std::chrono::duration<double, std::milli>(Clock::now() - origin).count();
}

HWND ScenarioHost::TopLevel() const {
  if (view_ == nullptr || !IsWindow(view_)) return nullptr;
  // Before the program adopts the view its root is the stand-in's hidden parking window.
  return GetAncestor(view_, GA_ROOT);
}

void ScenarioHost::OnViewControllerCreated(FlutterDesktopEngineRef engine, HWND view) {
  engine_ = engine;
  view_ = view;
  created_ = Clock::now();
  if (!first_frame_) DebugLog().SetOrigin(created_);
  if (player_) return;  // one user interface per process; later controllers are only tracked
  const std::string out_dir = EnvironmentValue("TONELARK_STANDIN_OUT");
  player_ = std::make_unique<ScenarioPlayer>(out_dir);
  if (!out_dir.empty()) {
    report_path_ = JoinPath(out_dir, "report.txt");
    const std::string resources_path = JoinPath(out_dir, "resources.log");
    if (!resources_.Open(resources_path)) {
      std::cerr << "engine stand-in: cannot write " << resources_path << std::endl;
    }
  }

  const EngineProperties properties = PropertiesOf(engine);
  std::string scenario_path = EnvironmentValue("TONELARK_SCENARIO");
  if (scenario_path.empty()) {
    scenario_path = JoinPath(Utf8FromWide(properties.assets_path), "scenario.txt");
  }
  std::string text;
  const bool have_scenario = ReadWholeFile(scenario_path, &text);
  player_->SetScenario(have_scenario ? ParseScenario(text) : Scenario());
  report_.Set("scenario", have_scenario ? scenario_path : std::string("none"));
  report_.Set("visible_before_first_frame", "");
  report_.Set("visible_after_first_frame", "");
  report_.Set("window_rect", "");
  report_.Set("view_created", 1);
  SetArgumentKeys(properties, &report_);
  player_->Note(0.0, "view controller created; scenario " +
                         (have_scenario ? scenario_path : std::string("none")));
  timer_ = SetTimer(nullptr, 0, kTickMs, &ScenarioHost::OnTimer);
  WriteReport();
}

void ScenarioHost::OnFrame(FlutterDesktopEngineRef engine, bool after) {
  // Only the first frame of the first view counts: it starts the scenario's clock.
  if (!player_ || engine != engine_ || first_frame_done_ || (after && !first_frame_)) return;
  HWND root = TopLevel();
  const bool visible = root != nullptr && IsWindowVisible(root);
  if (!after) {
    report_.Set("visible_before_first_frame", visible ? 1 : 0);
    first_frame_ = Clock::now();
    DebugLog().SetOrigin(*first_frame_);
    return;
  }
  first_frame_done_ = true;
  report_.Set("visible_after_first_frame", visible ? 1 : 0);
  RECT rect{};
  if (root != nullptr && GetWindowRect(root, &rect)) {
    report_.Set("window_rect", std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
                                   std::to_string(rect.right - rect.left) + "," +
                                   std::to_string(rect.bottom - rect.top));
  }
  player_->Note(0.0, "first frame; window " + report_.Get("window_rect") + " visible " +
                         report_.Get("visible_before_first_frame") + " -> " +
                         report_.Get("visible_after_first_frame"));
  WriteReport();
}

void ScenarioHost::OnTraffic(const TrafficEvent& event) {
  if (!player_) return;
  const double now = NowMs();
  switch (event.direction) {
    case Direction::kToProgram:
      player_->OnMessage(now, event.channel, event.data, event.size);
      break;
    case Direction::kResponse:
      player_->OnReply(now, event.channel, event.data, event.size);
      break;
    case Direction::kFromProgram:
      player_->OnEvent(now, event.channel, event.data, event.size);
      break;
    case Direction::kReplyToProgram:
      player_->Note(now, "answered a message sent with a reply on " + event.channel);
      break;
  }
  dirty_ = true;
}

void ScenarioHost::Paint(HWND view, HDC dc, const RECT& client) {
  if (!player_ || view != view_) return;
  const ScenarioPlayer::ViewSnapshot snapshot = player_->Snapshot();
  PaintScenarioView(dc, client, snapshot);
}

void CALLBACK ScenarioHost::OnTimer(HWND, UINT, UINT_PTR, DWORD) { Get().Tick(); }

void ScenarioHost::Tick() {
  if (ticking_ || !player_) return;
  ticking_ = true;
  PollPending();
  if (first_frame_ && !scenario_done_) {
    const auto elapsed = static_cast<int64_t>(NowMs());
    const int64_t next = player_->RunDue(
        elapsed, [this](const ScenarioAction& action) { Deliver(action); },
        [this] { CloseWindow(); });
    scenario_done_ = next < 0;
  }
  const auto now = static_cast<int64_t>(NowMs());
  if (dirty_ && now - last_repaint_ms_ >= kRepaintMs && view_ != nullptr && IsWindow(view_)) {
    dirty_ = false;
    last_repaint_ms_ = now;
    InvalidateRect(view_, nullptr, FALSE);
  }
  if (now - last_report_ms_ >= kReportMs) {
    last_report_ms_ = now;
    WriteReport();
  }
  ticking_ = false;
}

void ScenarioHost::Deliver(const ScenarioAction& action) {
  const std::vector<uint8_t>& bytes = action.message;
  Response response =
      DeliverMessage(engine_, action.channel, bytes.empty() ? nullptr : bytes.data(), bytes.size());
  const std::optional<std::vector<uint8_t>> answer = response.Get();
  if (!response.delivered()) {
    // The engine answered by itself (no callback on the channel) or is no longer running; the
    // program never saw the message, so no traffic passed through the observer.
    const double now = NowMs();
    player_->OnMessage(now, action.channel, bytes.data(), bytes.size());
    if (answer) {
      player_->Note(now, "no handler on " + action.channel + ": the engine answers empty");
      player_->OnReply(now, action.channel, answer->data(), answer->size());
    } else {
      player_->Note(now, "engine not running: message on " + action.channel + " dropped");
    }
  }
  if (answer || !response.delivered()) {
    player_->RecordAnswer(NowMs(), action, answer);
  } else {
    pending_.push_back({action, response});
  }
  dirty_ = true;
}

void ScenarioHost::PollPending() {
  for (size_t i = 0; i < pending_.size();) {
    const std::optional<std::vector<uint8_t>> answer = pending_[i].response.Get();
    if (!answer) {
      ++i;
      continue;
    }
    player_->RecordAnswer(NowMs(), pending_[i].action, answer);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    dirty_ = true;
  }
}

void ScenarioHost::CloseWindow() {
  HWND root = TopLevel();
  if (root == nullptr || root == view_) {
    player_->Note(NowMs(), "close: no top-level window");
    return;
  }
  PostMessageW(root, WM_CLOSE, 0, 0);
}

void ScenarioHost::WriteReport() {
  if (!player_) return;
  player_->FillReport(&report_);
  SetEngineEndKeys(engine_, &report_);
  report_.Set("unanswered", static_cast<long long>(pending_.size()));
  resources_.Sample(NowMs());
  if (!report_path_.empty() && !report_.Write(report_path_)) {
    std::cerr << "engine stand-in: cannot write " << report_path_ << std::endl;
    report_path_.clear();
  }
}

// Without a view there was no user interface to play; the report still tells how the engine
// ended, for a program whose view could not be created.
void WriteReportWithoutView() {
  const std::string out_dir = EnvironmentValue("TONELARK_STANDIN_OUT");
  FlutterDesktopEngineRef engine = LastEngine();
  if (out_dir.empty() || engine == nullptr) return;
  StandinReport report;
  report.Set("view_created", 0);
  SetArgumentKeys(PropertiesOf(engine), &report);
  SetEngineEndKeys(engine, &report);
  report.Write(JoinPath(out_dir, "report.txt"));
}

// Registers the observers when the DLL loads, before the program creates its engine, and
// writes the report of a run without a view when it unloads.
struct Registration {
  Registration() {
    if (EnvironmentValue("TONELARK_STANDIN_FAIL_VIEW") == "1") {
      SetViewControllerCreationFails(true);
    }
    // The player sees every event through the traffic observer; kept copies of the PCM events
    // would grow the process by about 100 KB a second.
    SetKeepSentMessages(false);
    const std::string out_dir = EnvironmentValue("TONELARK_STANDIN_OUT");
    if (!out_dir.empty()) {
      const std::string debug_path = JoinPath(out_dir, "debug.log");
      if (!DebugLog().Open(debug_path)) {
        std::cerr << "engine stand-in: cannot write " << debug_path << std::endl;
      }
    }
    SetViewControllerCreatedObserver([](FlutterDesktopEngineRef engine, HWND view) {
      ScenarioHost::Get().OnViewControllerCreated(engine, view);
    });
    SetFrameObserver([](FlutterDesktopEngineRef engine, bool after) {
      ScenarioHost::Get().OnFrame(engine, after);
    });
    SetTrafficObserver([](const TrafficEvent& event) { ScenarioHost::Get().OnTraffic(event); });
    SetViewPainter(
        [](HWND view, HDC dc, const RECT& client) { ScenarioHost::Get().Paint(view, dc, client); });
  }
  ~Registration() {
    if (!host_created) WriteReportWithoutView();
  }
};

const Registration registration;

}  // namespace
}  // namespace engine_standin

#endif  // _WIN32
