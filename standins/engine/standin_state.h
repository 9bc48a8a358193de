// The stand-in engine's objects behind the opaque handles of the C interface, and the one
// process-wide record that owns them.
//
// Threads: the fields marked "state" are guarded by State::mutex; the messenger's reference
// count and availability are atomics; its lock is the mutex handed out by
// FlutterDesktopMessengerLock. Lock order: a messenger's lock before State::mutex, never the
// other way round. Program callbacks and observers run with neither held (a response is sent
// by the program under its messenger's lock, and its observer call happens there too).
#ifndef STANDINS_ENGINE_STANDIN_STATE_H_
#define STANDINS_ENGINE_STANDIN_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/flutter_desktop.h"
#include "standins/engine/engine_control.h"

#ifdef _WIN32
#include "standins/engine/view_window.h"
#endif

namespace engine_standin {

// The C functions, for the call log.
enum class Call : uint8_t {
  kEngineCreate,
  kEngineGetMessenger,
  kEngineDestroy,
  kEngineGetPluginRegistrar,
  kEngineReloadSystemFonts,
  kEngineSetNextFrameCallback,
  kViewControllerCreate,
  kViewControllerGetView,
  kViewControllerDestroy,
  kViewControllerForceRedraw,
  kViewControllerHandleTopLevelWindowProc,
  kViewGetHWND,
  kGetDpiForMonitor,
  kResyncOutputStreams,
  kMessengerSend,
  kMessengerSendWithReply,
  kMessengerSetCallback,
  kMessengerSendResponse,
  kMessengerAddRef,
  kMessengerRelease,
  kMessengerLock,
  kMessengerUnlock,
  kMessengerIsAvailable,
};

const char* CallName(Call call);

// One message delivered to the program, until answered. All fields: state.
struct ResponseState {
  uint64_t id = 0;
  std::string channel;
  bool delivered = false;
  bool answered = false;
  bool data_null = false;
  std::vector<uint8_t> bytes;
};

struct ChannelCallback {
  FlutterDesktopMessageCallback callback = nullptr;
  void* user_data = nullptr;
};

struct AwaitedReply {
  FlutterDesktopBinaryReply reply = nullptr;
  void* user_data = nullptr;
};

}  // namespace engine_standin

struct FlutterDesktopMessenger {
  FlutterDesktopEngine* engine = nullptr;
  // The engine holds one reference until it ends; the messenger counts as freed at 0.
  std::atomic<int> ref_count{1};
  std::atomic<bool> available{true};
  std::mutex lock;  // FlutterDesktopMessengerLock / Unlock
  // state:
  std::map<std::string, engine_standin::ChannelCallback> callbacks;
  // Unanswered messages; a handful at most, so a vector reused without allocating.
  std::vector<std::shared_ptr<engine_standin::ResponseState>> open_responses;
  std::vector<engine_standin::SetCallbackCall> set_callback_calls;
};

struct FlutterDesktopPluginRegistrar {
  FlutterDesktopEngine* engine = nullptr;
  std::string plugin_name;
};

// All fields: state.
struct FlutterDesktopEngine {
  engine_standin::EngineProperties properties;
  FlutterDesktopMessenger* messenger = nullptr;
  bool running = true;
  engine_standin::DestroyedBy destroyed_by = engine_standin::DestroyedBy::kNotDestroyed;
  int64_t destroyed_at = -1;                           // index in the call log
  FlutterDesktopViewController* controller = nullptr;  // set once handed over
  std::vector<std::string> registrar_requests;
  std::vector<std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars;
  FlutterDesktopOnNextFrameCallback frame_callback = nullptr;
  void* frame_user_data = nullptr;
  std::vector<engine_standin::SentMessage> sent;
  std::map<uint64_t, engine_standin::AwaitedReply> awaited_replies;
};

struct FlutterDesktopView {
  FlutterDesktopViewController* controller = nullptr;
#ifdef _WIN32
  std::unique_ptr<engine_standin::ViewWindow> window;
#endif
};

// All fields: state, except view's window, which the user-interface thread creates and destroys.
struct FlutterDesktopViewController {
  FlutterDesktopEngine* engine = nullptr;
  int width = 0;   // physical pixels
  int height = 0;  // physical pixels
  bool destroyed = false;
  std::unique_ptr<FlutterDesktopView> view;

  // Destroys the view's window (under Windows a real child window); the view record stays.
  void DestroyViewWindow() {
#ifdef _WIN32
    if (view) view->window.reset();
#endif
  }
};

namespace engine_standin {

class State {
 public:
  static State& Get();

  std::mutex mutex;
  std::condition_variable responses_changed;  // with mutex
  int response_waiters = 0;                   // state: threads in Response::Wait
  // state: response records kept for reuse once no Response refers to them any more, so a
  // delivery allocates nothing in the steady state.
  std::vector<std::shared_ptr<ResponseState>> spare_responses;

  // state: every object since Reset, in creation order; freed only by Reset.
  std::vector<std::unique_ptr<FlutterDesktopEngine>> engines;
  std::vector<std::unique_ptr<FlutterDesktopMessenger>> messengers;
  std::vector<std::unique_ptr<FlutterDesktopViewController>> controllers;

  // Read without mutex on every call, so that benchmarks pay no lock for the log they turn off.
  std::atomic<bool> recording{true};
  // state:
  bool keep_sent = true;  // SetKeepSentMessages
  std::vector<Call> call_log;
  int64_t call_count = 0;  // only counted while recording
  uint64_t next_id = 1;
  int redraws = 0;
  int font_reloads = 0;
  int resyncs = 0;
  int top_level_window_procs = 0;
  int misuses = 0;
  bool engine_creation_fails = false;
  bool view_controller_creation_fails = false;
  UINT dpi = 0;  // 0: default
  std::map<UINT, LRESULT> claimed_messages;
  std::shared_ptr<const ViewControllerCreatedObserver> view_controller_created_observer;
  std::shared_ptr<const TrafficObserver> traffic_observer;
  std::shared_ptr<const FrameObserver> frame_observer;
#ifdef _WIN32
  std::shared_ptr<const ViewPainter> view_painter;
#endif

  // With mutex held: a fresh record for a message on channel.
  std::shared_ptr<ResponseState> NewResponseLocked(const std::string& channel);
  // With mutex held: appends to the call log while recording; returns the call's index.
  int64_t LogLocked(Call call);
  // Takes mutex while recording.
  void Log(Call call);
  // Counts a misuse and writes "engine stand-in: " + what on standard error. Takes mutex.
  void ReportMisuse(const std::string& what);
  // With mutex held: the traffic observer to call once it is released (may be null).
  std::shared_ptr<const TrafficObserver> TrafficObserverLocked() const { return traffic_observer; }
  static void Notify(const std::shared_ptr<const TrafficObserver>& observer, Direction direction,
                     const std::string& channel, const uint8_t* data, size_t size);
  // Ends engine once: messenger unavailable, callbacks dropped, awaited replies answered empty,
  // the engine's messenger reference dropped. Must not be called with mutex held.
  void EndEngine(FlutterDesktopEngine* engine);
  // Runs and clears the engine's next-frame callback; true when there was one.
  bool FireNextFrame(FlutterDesktopEngine* engine);

 private:
  State() = default;
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_STANDIN_STATE_H_
