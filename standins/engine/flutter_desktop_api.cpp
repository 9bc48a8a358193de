// The engine library's C interface, implemented by the stand-in.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "channels/flutter_desktop.h"
#include "standins/engine/standin_state.h"

using engine_standin::Call;
using engine_standin::CallName;
using engine_standin::DestroyedBy;
using engine_standin::Direction;
using engine_standin::State;

namespace {

constexpr UINT kDefaultDpi = 96;

std::string Describe(Call call, const char* what) { return std::string(CallName(call)) + what; }

// Logs call (its index in the call log goes to *index); false (and a misuse) when the engine
// handle was destroyed before.
bool EnterEngine(FlutterDesktopEngine* engine, Call call, int64_t* index = nullptr) {
  State& state = State::Get();
  bool destroyed = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    int64_t logged = state.LogLocked(call);
    if (index != nullptr) {
      *index = logged;
    }
    destroyed = engine->destroyed_by != DestroyedBy::kNotDestroyed;
  }
  if (destroyed) {
    state.ReportMisuse(Describe(call, " on a destroyed engine"));
    return false;
  }
  return true;
}

bool EnterController(FlutterDesktopViewController* controller, Call call,
                     int64_t* index = nullptr) {
  State& state = State::Get();
  bool destroyed = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    int64_t logged = state.LogLocked(call);
    if (index != nullptr) {
      *index = logged;
    }
    destroyed = controller->destroyed;
  }
  if (destroyed) {
    state.ReportMisuse(Describe(call, " on a destroyed view controller"));
    return false;
  }
  return true;
}

// Logs call; false (and a misuse) for a released messenger, or, when require_available, for one
// whose engine has ended.
bool EnterMessenger(FlutterDesktopMessenger* messenger, Call call, bool require_available,
                    const char* channel = nullptr) {
  State& state = State::Get();
  state.Log(call);
  const char* problem = nullptr;
  if (messenger->ref_count.load() <= 0) {
    problem = " on a released messenger";
  } else if (require_available && !messenger->available.load()) {
    problem = " on a messenger whose engine has ended";
  }
  if (problem == nullptr) {
    return true;
  }
  std::string what = Describe(call, problem);
  if (channel != nullptr) {
    what += std::string(" (channel ") + channel + ")";
  }
  state.ReportMisuse(what);
  return false;
}

engine_standin::EngineProperties CopyProperties(const FlutterDesktopEngineProperties& record) {
  engine_standin::EngineProperties copy;
  std::memcpy(copy.raw.data(), &record, sizeof(record));
  copy.assets_path = record.assets_path != nullptr ? record.assets_path : L"";
  copy.icu_data_path = record.icu_data_path != nullptr ? record.icu_data_path : L"";
  copy.aot_library_path = record.aot_library_path != nullptr ? record.aot_library_path : L"";
  copy.entrypoint_null = record.entrypoint == nullptr;
  copy.entrypoint = record.entrypoint != nullptr ? record.entrypoint : "";
  copy.entrypoint_argc = record.entrypoint_argc;
  copy.entrypoint_argv_null = record.entrypoint_argv == nullptr;
  if (record.entrypoint_argv != nullptr) {
    for (int32_t i = 0; i < record.entrypoint_argc; ++i) {
      const char* argument = record.entrypoint_argv[i];
      copy.entrypoint_argv_pointers.push_back(argument);
      copy.entrypoint_arguments.push_back(argument != nullptr ? argument : "");
    }
  }
  for (size_t i = 0; i < copy.engine_options.size(); ++i) {
    copy.engine_options[i] = record.engine_options[i];
  }
  copy.engine_switch = record.engine_switch;
  return copy;
}

UINT DpiFromEnvironment() {
  char text[16] = {};
#ifdef _WIN32
  DWORD length = GetEnvironmentVariableA("TONELARK_STANDIN_DPI", text, sizeof(text));
  if (length == 0 || length >= sizeof(text)) {
    return 0;
  }
#else
  const char* value = std::getenv("TONELARK_STANDIN_DPI");
  if (value == nullptr || std::strlen(value) >= sizeof(text)) {
    return 0;
  }
  std::strcpy(text, value);
#endif
  char* end = nullptr;
  unsigned long dpi = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || dpi == 0 || dpi > 10000) {
    return 0;
  }
  return static_cast<UINT>(dpi);
}

// Keeps a message the program sent for the user interface: always when it awaits a reply (the
// user interface has to find and answer it), else only while recording and keeping them.
bool RecordSent(FlutterDesktopMessenger* messenger, const char* channel, const uint8_t* message,
                size_t message_size, FlutterDesktopBinaryReply reply, void* user_data,
                bool wants_reply) {
  State& state = State::Get();
  std::shared_ptr<const engine_standin::TrafficObserver> observer;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    uint64_t id = state.next_id++;
    if (wants_reply && reply != nullptr) {
      messenger->engine->awaited_replies[id] = engine_standin::AwaitedReply{reply, user_data};
    }
    if (wants_reply || (state.recording.load(std::memory_order_relaxed) && state.keep_sent)) {
      engine_standin::SentMessage sent;
      sent.id = id;
      sent.channel = channel;
      if (message != nullptr) {
        sent.bytes.assign(message, message + message_size);
      }
      sent.data_null = message == nullptr;
      sent.wants_reply = wants_reply;
      messenger->engine->sent.push_back(std::move(sent));
    }
    observer = state.TrafficObserverLocked();
  }
  if (observer) {
    State::Notify(observer, Direction::kFromProgram, channel, message, message_size);
  }
  return true;
}

}  // namespace

extern "C" {

// ---- Engine ----

FlutterDesktopEngineRef FlutterDesktopEngineCreate(
    const FlutterDesktopEngineProperties* properties) {
  State& state = State::Get();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.LogLocked(Call::kEngineCreate);
    if (properties == nullptr || state.engine_creation_fails) {
      return nullptr;
    }
  }
  auto engine = std::make_unique<FlutterDesktopEngine>();
  auto messenger = std::make_unique<FlutterDesktopMessenger>();
  engine->properties = CopyProperties(*properties);
  engine->messenger = messenger.get();
  messenger->engine = engine.get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.messengers.push_back(std::move(messenger));
  state.engines.push_back(std::move(engine));
  return state.engines.back().get();
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  if (engine == nullptr || !EnterEngine(engine, Call::kEngineGetMessenger)) {
    return nullptr;
  }
  return engine->messenger;
}

bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  int64_t index = 0;
  if (engine == nullptr || !EnterEngine(engine, Call::kEngineDestroy, &index)) {
    return false;
  }
  State& state = State::Get();
  bool handed_over = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    handed_over = engine->controller != nullptr;
  }
  if (handed_over) {
    state.ReportMisuse("FlutterDesktopEngineDestroy on an engine owned by a view controller");
    return false;
  }
  state.EndEngine(engine);
  std::lock_guard<std::mutex> guard(state.mutex);
  engine->destroyed_by = DestroyedBy::kEngineDestroy;
  engine->destroyed_at = index;
  return true;
}

FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(
    FlutterDesktopEngineRef engine, const char* plugin_name) {
  if (engine == nullptr || !EnterEngine(engine, Call::kEngineGetPluginRegistrar)) {
    return nullptr;
  }
  auto registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
  registrar->engine = engine;
  registrar->plugin_name = plugin_name != nullptr ? plugin_name : "";
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  engine->registrar_requests.push_back(registrar->plugin_name);
  engine->registrars.push_back(std::move(registrar));
  return engine->registrars.back().get();
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine) {
  if (engine == nullptr || !EnterEngine(engine, Call::kEngineReloadSystemFonts)) {
    return;
  }
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  ++state.font_reloads;
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                              FlutterDesktopOnNextFrameCallback callback,
                                              void* user_data) {
  if (engine == nullptr || !EnterEngine(engine, Call::kEngineSetNextFrameCallback)) {
    return;
  }
  State& state = State::Get();
  FlutterDesktopViewController* controller = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (!engine->running) {
      return;
    }
    engine->frame_callback = callback;
    engine->frame_user_data = user_data;
    controller = engine->controller;
  }
#ifdef _WIN32
  if (controller != nullptr && controller->view && controller->view->window) {
    controller->view->window->ScheduleFrame();
  }
#else
  (void)controller;
#endif
}

// ---- View controller and view ----

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine) {
  int64_t index = 0;
  if (engine == nullptr || !EnterEngine(engine, Call::kViewControllerCreate, &index)) {
    return nullptr;
  }
  State& state = State::Get();
  bool fails = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (engine->controller != nullptr) {
      fails = true;
    }
  }
  if (fails) {
    state.ReportMisuse("FlutterDesktopViewControllerCreate with an engine that has one already");
    return nullptr;
  }
  auto controller = std::make_unique<FlutterDesktopViewController>();
  controller->engine = engine;
  controller->width = width;
  controller->height = height;
  controller->view = std::make_unique<FlutterDesktopView>();
  controller->view->controller = controller.get();
  HWND view_window = reinterpret_cast<HWND>(controller->view.get());
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    fails = state.view_controller_creation_fails;
  }
#ifdef _WIN32
  if (!fails) {
    controller->view->window = engine_standin::ViewWindow::Create(width, height, engine);
    fails = !controller->view->window;
    if (!fails) {
      view_window = controller->view->window->hwnd();
    }
  }
#endif
  if (fails) {
    // The engine was handed over: it goes with the failed controller.
    state.EndEngine(engine);
    std::lock_guard<std::mutex> guard(state.mutex);
    engine->destroyed_by = DestroyedBy::kViewControllerCreate;
    engine->destroyed_at = index;
    return nullptr;
  }
  FlutterDesktopViewController* result = controller.get();
  std::shared_ptr<const engine_standin::ViewControllerCreatedObserver> observer;
  bool frame_pending = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    engine->controller = result;
    state.controllers.push_back(std::move(controller));
    observer = state.view_controller_created_observer;
    frame_pending = engine->frame_callback != nullptr;
  }
#ifdef _WIN32
  if (frame_pending) {
    result->view->window->ScheduleFrame();
  }
#else
  (void)frame_pending;
#endif
  if (observer && *observer) {
    (*observer)(engine, view_window);
  }
  return result;
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  if (controller == nullptr || !EnterController(controller, Call::kViewControllerGetView)) {
    return nullptr;
  }
  return controller->view.get();
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  int64_t index = 0;
  if (controller == nullptr || !EnterController(controller, Call::kViewControllerDestroy, &index)) {
    return;
  }
  State& state = State::Get();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    controller->destroyed = true;
  }
  controller->DestroyViewWindow();
  FlutterDesktopEngine* engine = controller->engine;
  state.EndEngine(engine);
  std::lock_guard<std::mutex> guard(state.mutex);
  engine->destroyed_by = DestroyedBy::kViewControllerDestroy;
  engine->destroyed_at = index;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller) {
  if (controller == nullptr || !EnterController(controller, Call::kViewControllerForceRedraw)) {
    return;
  }
  State& state = State::Get();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    ++state.redraws;
  }
#ifdef _WIN32
  if (controller->view && controller->view->window) {
    controller->view->window->Invalidate();
  }
#endif
}

bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result) {
  (void)hwnd;
  (void)wparam;
  (void)lparam;
  if (controller == nullptr ||
      !EnterController(controller, Call::kViewControllerHandleTopLevelWindowProc)) {
    return false;
  }
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  ++state.top_level_window_procs;
  auto claimed = state.claimed_messages.find(message);
  if (claimed == state.claimed_messages.end()) {
    return false;
  }
  if (result != nullptr) {
    *result = claimed->second;
  }
  return true;
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) {
  State::Get().Log(Call::kViewGetHWND);
  if (view == nullptr) {
    return nullptr;
  }
#ifdef _WIN32
  return view->window ? view->window->hwnd() : nullptr;
#else
  return reinterpret_cast<HWND>(view);
#endif
}

// ---- Process-wide ----

UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor) {
  (void)monitor;
  State& state = State::Get();
  UINT dpi = 0;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.LogLocked(Call::kGetDpiForMonitor);
    dpi = state.dpi;
  }
  if (dpi == 0) {
    dpi = DpiFromEnvironment();
  }
  return dpi != 0 ? dpi : kDefaultDpi;
}

void FlutterDesktopResyncOutputStreams(void) {
  // The stand-in writes through the C run-time's shared stdout and stderr, which already follow
  // a re-opened console; only the call is counted.
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.LogLocked(Call::kResyncOutputStreams);
  ++state.resyncs;
}

// ---- Messenger ----

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, size_t message_size) {
  if (messenger == nullptr || channel == nullptr ||
      !EnterMessenger(messenger, Call::kMessengerSend, true, channel)) {
    return false;
  }
  return RecordSent(messenger, channel, message, message_size, nullptr, nullptr, false);
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* message, size_t message_size,
                                          FlutterDesktopBinaryReply reply, void* user_data) {
  if (messenger == nullptr || channel == nullptr ||
      !EnterMessenger(messenger, Call::kMessengerSendWithReply, true, channel)) {
    return false;
  }
  return RecordSent(messenger, channel, message, message_size, reply, user_data, true);
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  if (messenger == nullptr || channel == nullptr ||
      !EnterMessenger(messenger, Call::kMessengerSetCallback, true, channel)) {
    return;
  }
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  messenger->set_callback_calls.push_back(
      engine_standin::SetCallbackCall{channel, callback, user_data});
  if (callback == nullptr) {
    messenger->callbacks.erase(channel);
  } else {
    messenger->callbacks[channel] = engine_standin::ChannelCallback{callback, user_data};
  }
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  if (messenger == nullptr || !EnterMessenger(messenger, Call::kMessengerSendResponse, true)) {
    return;
  }
  State& state = State::Get();
  const auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
  std::shared_ptr<engine_standin::ResponseState> response;
  std::shared_ptr<const engine_standin::TrafficObserver> observer;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    observer = state.TrafficObserverLocked();
    wake = state.response_waiters > 0;
    auto& open = messenger->open_responses;
    auto found = std::find_if(open.begin(), open.end(),
                              [id](const auto& candidate) { return candidate->id == id; });
    if (found != open.end()) {
      response = std::move(*found);
      *found = std::move(open.back());
      open.pop_back();
      response->answered = true;
      response->data_null = data == nullptr;
      if (data != nullptr) {
        response->bytes.assign(data, data + data_length);
      }
    }
  }
  if (!response) {
    state.ReportMisuse(
        "FlutterDesktopMessengerSendResponse with an unknown or already answered response "
        "handle");
    return;
  }
  if (wake) {
    state.responses_changed.notify_all();
  }
  State::Notify(observer, Direction::kResponse, response->channel, data, data_length);
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return nullptr;
  }
  State& state = State::Get();
  state.Log(Call::kMessengerAddRef);
  if (messenger->ref_count.fetch_add(1) <= 0) {
    state.ReportMisuse("FlutterDesktopMessengerAddRef on a released messenger");
  }
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return;
  }
  State& state = State::Get();
  state.Log(Call::kMessengerRelease);
  if (messenger->ref_count.fetch_sub(1) <= 0) {
    messenger->ref_count.fetch_add(1);
    state.ReportMisuse("FlutterDesktopMessengerRelease on a released messenger");
  }
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return nullptr;
  }
  EnterMessenger(messenger, Call::kMessengerLock, false);
  messenger->lock.lock();
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return;
  }
  State::Get().Log(Call::kMessengerUnlock);
  messenger->lock.unlock();
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return false;
  }
  State::Get().Log(Call::kMessengerIsAvailable);
  return messenger->available.load();
}

}  // extern "C"
