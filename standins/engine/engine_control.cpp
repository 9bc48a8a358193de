#include "standins/engine/engine_control.h"

#include <mutex>
#include <utility>

#include "standins/engine/standin_state.h"

namespace engine_standin {

namespace {

// With State::mutex held: engine, or the newest engine when engine is null.
FlutterDesktopEngine* ResolveLocked(State& state, FlutterDesktopEngineRef engine) {
  if (engine != nullptr) {
    return engine;
  }
  return state.engines.empty() ? nullptr : state.engines.back().get();
}

FlutterDesktopEngine* Resolve(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return ResolveLocked(state, engine);
}

}  // namespace

// ---- Response ----

Response::Response(std::shared_ptr<ResponseState> state) : state_(std::move(state)) {}

bool Response::delivered() const {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state_->delivered;
}

std::optional<std::vector<uint8_t>> Response::Get() const {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state_->answered) {
    return std::nullopt;
  }
  return state_->bytes;
}

std::optional<std::vector<uint8_t>> Response::Wait(std::chrono::milliseconds timeout) const {
  State& state = State::Get();
  std::unique_lock<std::mutex> lock(state.mutex);
  ++state.response_waiters;
  bool answered =
      state.responses_changed.wait_for(lock, timeout, [this] { return state_->answered; });
  --state.response_waiters;
  if (!answered) {
    return std::nullopt;
  }
  return state_->bytes;
}

bool Response::answered_with_null() const {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state_->answered && state_->data_null;
}

// ---- Engines ----

FlutterDesktopEngineRef CurrentEngine() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  for (auto it = state.engines.rbegin(); it != state.engines.rend(); ++it) {
    if ((*it)->running) {
      return it->get();
    }
  }
  return nullptr;
}

FlutterDesktopEngineRef LastEngine() { return Resolve(nullptr); }

FlutterDesktopMessengerRef MessengerOf(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->messenger : nullptr;
}

EngineProperties PropertiesOf(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->properties : EngineProperties();
}

DestroyedBy DestroyedByOf(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->destroyed_by : DestroyedBy::kNotDestroyed;
}

int64_t DestroyedAtOf(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->destroyed_at : -1;
}

bool IsRunning(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr && resolved->running;
}

void EndEngine(FlutterDesktopEngineRef engine) {
  FlutterDesktopEngine* resolved = Resolve(engine);
  if (resolved != nullptr) {
    State::Get().EndEngine(resolved);
  }
}

std::vector<std::string> RegistrarRequests(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->registrar_requests : std::vector<std::string>();
}

std::string RegistrarPluginName(FlutterDesktopPluginRegistrarRef registrar) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return registrar != nullptr ? registrar->plugin_name : std::string();
}

bool DrawFrame(FlutterDesktopEngineRef engine) {
  FlutterDesktopEngine* resolved = Resolve(engine);
  return resolved != nullptr && State::Get().FireNextFrame(resolved);
}

// ---- Messages ----

Response DeliverMessage(FlutterDesktopEngineRef engine, const std::string& channel,
                        const uint8_t* data, size_t size) {
  State& state = State::Get();
  std::shared_ptr<ResponseState> response;
  FlutterDesktopMessenger* messenger = nullptr;
  ChannelCallback callback;
  std::shared_ptr<const TrafficObserver> observer;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    response = state.NewResponseLocked(channel);
    observer = state.TrafficObserverLocked();
    FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
    if (resolved == nullptr || !resolved->running) {
      return Response(response);
    }
    messenger = resolved->messenger;
    response->id = state.next_id++;
    auto registered = messenger->callbacks.find(channel);
    if (registered != messenger->callbacks.end()) {
      callback = registered->second;
      response->delivered = true;
      messenger->open_responses.push_back(response);
    } else {
      // The engine answers a channel without a callback itself, with an empty reply.
      response->answered = true;
      response->data_null = true;
    }
  }
  State::Notify(observer, Direction::kToProgram, channel, data, size);
  if (callback.callback == nullptr) {
    return Response(response);
  }
  FlutterDesktopMessage message{};
  message.struct_size = sizeof(message);
  message.channel = response->channel.c_str();
  message.message = data;
  message.message_size = size;
  message.response_handle = reinterpret_cast<const FlutterDesktopMessageResponseHandle*>(
      static_cast<uintptr_t>(response->id));
  callback.callback(messenger, &message, callback.user_data);
  return Response(response);
}

Response DeliverMessage(const std::string& channel, const std::vector<uint8_t>& bytes) {
  return DeliverMessage(nullptr, channel, bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

std::vector<SentMessage> SentMessages(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->sent : std::vector<SentMessage>();
}

bool AnswerSentMessage(uint64_t id, const std::vector<uint8_t>& reply) {
  State& state = State::Get();
  AwaitedReply awaited;
  std::string channel;
  std::shared_ptr<const TrafficObserver> observer;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    observer = state.TrafficObserverLocked();
    for (const auto& engine : state.engines) {
      auto found = engine->awaited_replies.find(id);
      if (found == engine->awaited_replies.end()) {
        continue;
      }
      awaited = found->second;
      engine->awaited_replies.erase(found);
      for (const SentMessage& sent : engine->sent) {
        if (sent.id == id) {
          channel = sent.channel;
        }
      }
      break;
    }
  }
  if (awaited.reply == nullptr) {
    return false;
  }
  const uint8_t* data = reply.empty() ? nullptr : reply.data();
  State::Notify(observer, Direction::kReplyToProgram, channel, data, reply.size());
  awaited.reply(data, reply.size(), awaited.user_data);
  return true;
}

SetCallbackCall RegistrationOf(const std::string& channel, FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  SetCallbackCall registration;
  registration.channel = channel;
  if (resolved == nullptr) {
    return registration;
  }
  auto found = resolved->messenger->callbacks.find(channel);
  if (found != resolved->messenger->callbacks.end()) {
    registration.callback = found->second.callback;
    registration.user_data = found->second.user_data;
  }
  return registration;
}

std::vector<SetCallbackCall> SetCallbackCalls(FlutterDesktopEngineRef engine) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  FlutterDesktopEngine* resolved = ResolveLocked(state, engine);
  return resolved != nullptr ? resolved->messenger->set_callback_calls
                             : std::vector<SetCallbackCall>();
}

int MessengerRefCount(FlutterDesktopMessengerRef messenger) {
  return messenger != nullptr ? messenger->ref_count.load() : 0;
}

// ---- Behaviour ----

void SetEngineCreationFails(bool fails) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.engine_creation_fails = fails;
}

void SetViewControllerCreationFails(bool fails) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.view_controller_creation_fails = fails;
}

void SetDpi(UINT dpi) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.dpi = dpi;
}

void ClaimWindowMessage(UINT message, LRESULT result) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.claimed_messages[message] = result;
}

void SetRecording(bool recording) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.recording = recording;
}

void SetKeepSentMessages(bool keep) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.keep_sent = keep;
}

// ---- Counters and logs ----

int RedrawCount() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.redraws;
}

int FontReloadCount() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.font_reloads;
}

int ResyncCount() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.resyncs;
}

int TopLevelWindowProcCount() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.top_level_window_procs;
}

int MisuseCount() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.misuses;
}

std::vector<std::string> CallLog() {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  std::vector<std::string> names;
  names.reserve(state.call_log.size());
  for (Call call : state.call_log) {
    names.push_back(CallName(call));
  }
  return names;
}

// ---- Observers ----

void SetViewControllerCreatedObserver(ViewControllerCreatedObserver observer) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.view_controller_created_observer =
      std::make_shared<const ViewControllerCreatedObserver>(std::move(observer));
}

void SetFrameObserver(FrameObserver observer) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.frame_observer = std::make_shared<const FrameObserver>(std::move(observer));
}

void SetTrafficObserver(TrafficObserver observer) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.traffic_observer = std::make_shared<const TrafficObserver>(std::move(observer));
}

#ifdef _WIN32
void SetViewPainter(ViewPainter painter) {
  State& state = State::Get();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.view_painter = std::make_shared<const ViewPainter>(std::move(painter));
}
#endif

void Reset() {
  State& state = State::Get();
  std::vector<FlutterDesktopEngine*> running;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    for (const auto& engine : state.engines) {
      if (engine->running) {
        running.push_back(engine.get());
      }
    }
  }
  // Ending them answers the replies they still owe, which frees what the program handed over.
  for (FlutterDesktopEngine* engine : running) {
    state.EndEngine(engine);
  }
  std::vector<std::unique_ptr<FlutterDesktopEngine>> engines;
  std::vector<std::unique_ptr<FlutterDesktopMessenger>> messengers;
  std::vector<std::unique_ptr<FlutterDesktopViewController>> controllers;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    engines.swap(state.engines);
    messengers.swap(state.messengers);
    controllers.swap(state.controllers);
    state.call_log.clear();
    state.call_count = 0;
    state.recording = true;
    state.keep_sent = true;
    state.redraws = 0;
    state.font_reloads = 0;
    state.resyncs = 0;
    state.top_level_window_procs = 0;
    state.misuses = 0;
    state.engine_creation_fails = false;
    state.view_controller_creation_fails = false;
    state.dpi = 0;
    state.claimed_messages.clear();
    state.spare_responses.clear();
    state.view_controller_created_observer.reset();
    state.traffic_observer.reset();
    state.frame_observer.reset();
#ifdef _WIN32
    state.view_painter.reset();
#endif
  }
  // Windows go first, outside the lock: their procedures may still look at the state.
  for (const auto& controller : controllers) {
    controller->DestroyViewWindow();
  }
}

}  // namespace engine_standin
